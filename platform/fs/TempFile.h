#pragma once

#include <filesystem>
#include <functional>
#include <optional>

namespace ct {

// A file that is to replace `target` only once it is complete (a download in progress).
//
// It is created beside the target, exclusively and without following a link (O_CREAT |
// O_EXCL | O_NOFOLLOW; CreateFileW with CREATE_NEW on Windows), under a name nobody can
// guess ("<target name>.part-<16 hex digits>"), so that nothing planted in the folder in
// advance can be written through. It gets the target's mode when the target exists, else
// 0666 less the umask, as the target would have had if written directly.
//
// Until CommitTo or Discard the file is removed on destruction, provided the name still
// leads to the file this object created.
class TempFile {
public:
    // recordName, when given, learns each name before a file of that name is created (a
    // journal of temporaries can then name every file a crash may leave behind). It may raise;
    // nothing has been created then. Failures raise FileSystemError.
    static TempFile CreateFor(const std::filesystem::path& target,
                              const std::function<void(const std::filesystem::path&)>& recordName = {});

    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&&) = delete;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile();

    const std::filesystem::path& Path() const { return m_path; }

    // Puts the file in target's place durably (its data on disk, the rename, the folder synced).
    // Raises FileSystemError (and removes the file, leaving target as it was) when the name no
    // longer leads to the file created here, or SafeFileError when the data cannot reach the disk
    // or the rename fails.
    void CommitTo(const std::filesystem::path& target);
    // Removes the file now (quietly, and only while the name still leads to it).
    void Discard() noexcept;
    // Lets the file outlive this object (a part kept to resume on); it stays where it is.
    void Keep() noexcept;
    // Takes up again a file this program made earlier (a part to resume on): only a regular
    // file with a temporary file's name, reached without a link, owned by this user and with
    // no other name. nullopt otherwise.
    static std::optional<TempFile> Reopen(const std::filesystem::path& path);

private:
    TempFile() = default;
    // True while Path() names the very file created here (not a replacement or a link).
    bool StillOurs() const;
    void Close() noexcept;

    std::filesystem::path m_path;
    bool m_open = false;
#ifdef _WIN32
    void* m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};

// Whether candidate's file name has the form TempFile gives its files (any target).
bool IsTempFileName(const std::filesystem::path& candidate);

} // namespace ct
