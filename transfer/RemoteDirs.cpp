#include "transfer/RemoteDirs.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <vector>

namespace ct {

namespace {

using Batch = std::vector<FolderCommand>;

FolderCommand Mkd(const std::string& name) {
    return {FolderCommand::Verb::MakeDir, name};
}

FolderCommand Cwd(const std::string& name) {
    return {FolderCommand::Verb::ChangeDir, name};
}

// The pieces of path between its separators, empty ones included: a path that ends with "/"
// ends with an empty segment.
std::vector<std::string> Segments(const std::string& path) {
    std::vector<std::string> segments;
    for (std::size_t start = 0;;) {
        const auto slash = path.find('/', start);
        segments.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos)
            return segments;
        start = slash + 1;
    }
}

// The segments of the folder the client knows it stands in, without the empty one a trailing
// "/" gives; none when it knows none (or the path holds an empty segment, "a//b").
std::optional<std::vector<std::string>> KnownSegments(const std::string& known) {
    if (known.empty() || known.front() != '/')
        return std::nullopt;
    std::vector<std::string> segments = Segments(known.substr(1));
    if (segments.back().empty())
        segments.pop_back();
    if (std::any_of(segments.begin(), segments.end(), [](const std::string& s) { return s.empty(); }))
        return std::nullopt;
    return segments;
}

struct WalkResult {
    bool walked = false;           // every step of the walk succeeded
    std::vector<bool> followers;   // the outcomes of the commands sent after the walk
};

// MakeRemoteDirs's walk, followed by `followers`: commands that go out once the walk has
// returned to the starting directory, whatever it achieved. Commands whose sending does not
// depend on an answer still awaited go out together (each MakeDir with its ChangeDir; the last
// segment's pair with the return and the followers), so a client that pipelines them saves a
// round trip each; one that does not sends the same commands in the same order.
//
// What the client knows of where it stands spares commands whose outcome is known: the
// starting directory needs no PWD, and an absolute walk begins at the deepest folder on its way
// that the client knows to exist rather than at the root (the MakeDir of an existing folder
// fails and its ChangeDir succeeds, so the folders made and where the walk ends are the same).
// Should that folder have gone meanwhile, the walk begins at the root after all.
WalkResult WalkThen(const std::string& path, ITransferClient& client, const Batch& followers) {
    WalkResult result;
    // Sends lead and the followers together; gives lead's outcomes.
    auto finish = [&](Batch lead) {
        const std::size_t leading = lead.size();
        lead.insert(lead.end(), followers.begin(), followers.end());
        const std::vector<bool> done = client.RunFolderCommands(lead);
        result.followers.assign(done.begin() + static_cast<std::ptrdiff_t>(leading), done.end());
        return std::vector<bool>(done.begin(), done.begin() + static_cast<std::ptrdiff_t>(leading));
    };

    if (path.empty()) {
        finish({});
        return result;
    }

    const std::string known = client.KnownCurrentDir();
    std::string startDir = known;
    if (startDir.empty()) {
        try {
            startDir = client.RetrieveCurrentDir();
        } catch (const std::exception&) {
            finish({});
            return result;
        }
    }

    // The steps down the segments before the last: false when a ChangeDir is refused. The
    // MakeDir of a segment may fail (it may exist already); its ChangeDir decides.
    auto descend = [&](const std::vector<std::string>& segments) {
        for (std::size_t i = 0; i + 1 < segments.size(); ++i)
            if (!client.RunFolderCommands({Mkd(segments[i]), Cwd(segments[i])}).at(1))
                return false;
        return true;
    };
    std::vector<std::string> segments = Segments(path.front() == '/' ? path.substr(1) : path);
    if (path.front() == '/') {
        // The folders down to the one the client stands in were reached by an absolute
        // ChangeDir, so each of them existed then. The walk keeps at least its last step.
        const auto knownSegments = KnownSegments(known);
        std::size_t skip = 0;
        if (knownSegments)
            while (skip + 1 < segments.size() && skip < knownSegments->size() &&
                   segments[skip] == (*knownSegments)[skip])
                ++skip;
        const bool standingThere = knownSegments && knownSegments->size() == skip;
        std::string from = "/";
        for (std::size_t i = 0; i < skip; ++i)
            from += (i ? "/" : "") + segments[i];
        const std::vector<std::string> below(segments.begin() + static_cast<std::ptrdiff_t>(skip), segments.end());
        const bool begun = standingThere || client.RunFolderCommands({Cwd(from)}).at(0);
        if (!begun || !descend(below)) {
            // From the root, as ever, when the shorter way failed (a folder has gone).
            if (skip == 0 || !client.RunFolderCommands({Cwd("/")}).at(0) || !descend(segments)) {
                finish({Cwd(startDir)});
                return result;
            }
        } else {
            segments = below;
        }
    } else if (!descend(segments)) {
        finish({Cwd(startDir)});
        return result;
    }
    // A normalised path ends with "/", so the last segment is empty; it is sent as well (the
    // server's answer to it changes nothing, as every directory before it exists). The walk
    // returns whatever its ChangeDir answers.
    result.walked = finish({Mkd(segments.back()), Cwd(segments.back()), Cwd(startDir)}).at(1);
    return result;
}

} // namespace

bool MakeRemoteDirs(const std::string& path, ITransferClient& client) {
    return WalkThen(path, client, {}).walked;
}

std::string NormaliseRemoteDir(const std::string& path, const std::string& base) {
    std::string dir = path;
    std::replace(dir.begin(), dir.end(), '\\', '/');
    if (dir.empty() || dir.front() != '/')
        dir = "/" + dir;
    if (!base.empty())
        dir = "/" + base + dir;
    return dir;
}

bool EnsureRemoteDir(const std::string& path, ITransferClient& client, const std::string& base) {
    const std::string dir = NormaliseRemoteDir(path, base);

    // The previous walk on this connection ended here and nothing has moved the client since:
    // the folders exist and the client stands in them. Should the folder have gone meanwhile,
    // the upload into it is refused and the worker walks after all.
    if (client.KnownCurrentDir() == dir)
        return true;

    if (WalkThen(dir, client, {Cwd(dir)}).followers.at(0))
        return true;

    // The walk from the root failed: make the elements one by one from wherever the client
    // stands now, and let the final absolute ChangeDir decide. Here a ChangeDir follows only a
    // MakeDir that succeeded, so each waits for the answer before it.
    for (const auto& element : Segments(dir.substr(1))) {
        if (element.empty())
            continue;
        try {
            client.MakeDir(element);
            client.ChangeDir(element);
        } catch (const std::exception&) {
        }
    }

    try {
        client.ChangeDir(dir);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace ct
