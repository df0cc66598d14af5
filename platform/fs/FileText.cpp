#include "platform/fs/FileText.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace ct {

#ifdef _WIN32

namespace {

std::string Convert(std::string_view bytes, UINT from, UINT to) {
    if (bytes.empty())
        return {};
    int wide = MultiByteToWideChar(from, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(from, 0, bytes.data(), static_cast<int>(bytes.size()), w.data(), wide);
    int narrow = WideCharToMultiByte(to, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(narrow), '\0');
    WideCharToMultiByte(to, 0, w.data(), wide, out.data(), narrow, nullptr, nullptr);
    return out;
}

} // namespace

bool FileTextIsUtf8() {
    return false;
}

std::string FileTextToUtf8(std::string_view bytes) {
    return Convert(bytes, CP_ACP, CP_UTF8);
}

std::string Utf8ToFileText(std::string_view text) {
    return Convert(text, CP_UTF8, CP_ACP);
}

#else

bool FileTextIsUtf8() {
    return true;
}

std::string FileTextToUtf8(std::string_view bytes) {
    return std::string(bytes);
}

std::string Utf8ToFileText(std::string_view text) {
    return std::string(text);
}

#endif

} // namespace ct
