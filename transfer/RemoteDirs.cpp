#include "transfer/RemoteDirs.h"

#include <algorithm>
#include <exception>
#include <vector>

namespace ct {

bool MakeRemoteDirs(const std::string& path, IFtpClient& client) {
    if (path.empty())
        return false;

    std::string startDir;
    try {
        startDir = client.RetrieveCurrentDir();
    } catch (const std::exception&) {
        return false;
    }

    bool walked = false;
    try {
        std::string rest = path;
        if (rest.front() == '/') {
            rest.erase(0, 1);
            client.ChangeDir("/");
        }
        // A normalised path ends with "/", so the last segment is empty; it is sent as well
        // (the server's answer to it changes nothing, as every directory before it exists).
        bool followedBySlash = true;
        while (followedBySlash) {
            std::string segment;
            auto slash = rest.find('/');
            if (slash == std::string::npos) {
                segment = rest;
                rest.clear();
                followedBySlash = false;
            } else {
                segment = rest.substr(0, slash);
                rest.erase(0, slash + 1);
            }
            try {
                client.MakeDir(segment);
            } catch (const std::exception&) {
                // It may exist already; the ChangeDir that follows decides.
            }
            client.ChangeDir(segment);
        }
        walked = true;
    } catch (const std::exception&) {
    }

    try {
        client.ChangeDir(startDir);
    } catch (const std::exception&) {
    }
    return walked;
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

bool EnsureRemoteDir(const std::string& path, IFtpClient& client, const std::string& base) {
    const std::string dir = NormaliseRemoteDir(path, base);

    try {
        MakeRemoteDirs(dir, client);
        client.ChangeDir(dir);
        return true;
    } catch (const std::exception&) {
    }

    // The walk from the root failed: make the elements one by one from wherever the client
    // stands now, and let the final absolute ChangeDir decide.
    std::vector<std::string> elements;
    std::string relative = dir.substr(1);
    for (std::size_t start = 0;;) {
        auto slash = relative.find('/', start);
        elements.push_back(relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    for (const auto& element : elements) {
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
