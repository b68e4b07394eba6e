#pragma once

// Helpers for the release tool's native tests: scratch folders, whole-file access, a loopback file server.

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vesk::release::test {

namespace fs = std::filesystem;

// A fresh folder under the system temp folder, removed with its content on destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& relative) const { return path_ / relative; }

private:
    fs::path path_;
};

std::string readBytes(const fs::path& path);
void writeBytes(const fs::path& path, const std::string& bytes);
// Deterministic pseudo-random bytes (so failures reproduce).
std::string noiseBytes(size_t size, unsigned seed);

// Runs the tool in-process; returns its exit code and fills out/err.
int runTool(const std::vector<std::string>& args, std::string& out, std::string& err);

// Runs the built vesk-release executable with args and extra environment entries ("NAME=value"); its
// standard output and error go to the files given. Returns the wait status.
int runToolProcess(const std::vector<std::string>& args, const std::vector<std::string>& environment,
                   const fs::path& output);

// Every file below a folder with its content, by relative path: two snapshots are equal when nothing in the
// tree changed.
std::vector<std::pair<std::string, std::string>> treeSnapshot(const fs::path& root);

// The problems of every manifest in a server tree: each must read correctly and name files that are there
// and match, plain and archived (a missing archive counts too). Empty when every manifest is sound.
std::vector<std::string> manifestProblems(const fs::path& serverRoot);

// Serves the files below a folder over HTTP/1.0 on 127.0.0.1 and an ephemeral port (404 for anything
// missing), and records each request path.
class LoopbackFileServer {
public:
    explicit LoopbackFileServer(fs::path root);
    ~LoopbackFileServer();
    LoopbackFileServer(const LoopbackFileServer&) = delete;
    LoopbackFileServer& operator=(const LoopbackFileServer&) = delete;
    // "http://127.0.0.1:<port>"
    std::string origin() const;
    std::vector<std::string> requests() const;

private:
    void serve();

    fs::path root_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

} // namespace vesk::release::test
