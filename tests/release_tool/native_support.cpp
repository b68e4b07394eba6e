#include "native_support.h"

#include "cli.h"
#include "live_manifests.h"
#include "manifest_check.h"
#include "server_files.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <sstream>
#include <stdexcept>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vesk::release::test {

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "vesk-release-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeBytes(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::string noiseBytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& b : bytes) {
        b = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

int runTool(const std::vector<std::string>& args, std::string& out, std::string& err) {
    std::ostringstream outStream, errStream;
    const int code = runCli(args, outStream, errStream);
    out = outStream.str();
    err = errStream.str();
    return code;
}

int runToolProcess(const std::vector<std::string>& args, const std::vector<std::string>& environment,
                   const fs::path& output) {
    std::vector<std::string> argv{VESK_RELEASE_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env(environment);
    for (char** item = environ; *item; ++item) {
        env.emplace_back(*item);
    }
    std::vector<char*> argvPointers, envPointers;
    for (std::string& a : argv) {
        argvPointers.push_back(a.data());
    }
    for (std::string& e : env) {
        envPointers.push_back(e.data());
    }
    argvPointers.push_back(nullptr);
    envPointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argvPointers[0], &actions, nullptr, argvPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + argv[0]);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::vector<std::pair<std::string, std::string>> treeSnapshot(const fs::path& root) {
    std::vector<std::pair<std::string, std::string>> out;
    if (!fs::exists(root)) {
        return out;
    }
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        out.emplace_back(item.path().lexically_relative(root).string(),
                         item.is_regular_file() ? readBytes(item.path()) : std::string("<folder>"));
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> manifestProblems(const fs::path& serverRoot) {
    std::vector<std::string> problems;
    auto server = localServerTree(serverRoot);
    for (const LiveManifest& live : readLiveManifests(serverRoot)) {
        const ManifestCheckResult check = checkManifest(readBytes(serverRoot / live.fileName));
        if (!check.ok()) {
            problems.push_back(live.fileName + ": does not read correctly");
        }
        for (const FileFinding& finding : checkServerFiles(*server, check).findings) {
            problems.push_back(live.fileName + ": " + finding.message);
        }
    }
    return problems;
}

LoopbackFileServer::LoopbackFileServer(fs::path root) : root_(std::move(root)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0; // other test runs share this machine: let the system pick a free port
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot start the loopback server");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

LoopbackFileServer::~LoopbackFileServer() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
}

std::string LoopbackFileServer::origin() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> LoopbackFileServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void LoopbackFileServer::serve() {
    while (!stopping_) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (stopping_) {
                return;
            }
            continue;
        }
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            request.append(buffer, static_cast<size_t>(n));
        }
        const size_t pathStart = request.find(' ') + 1;
        const std::string path = request.substr(pathStart, request.find(' ', pathStart) - pathStart);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(path);
        }
        const fs::path file = root_ / fs::path(path).relative_path();
        std::string response;
        std::error_code ec;
        if (path.find("..") == std::string::npos && fs::is_regular_file(file, ec)) {
            const std::string body = readBytes(file);
            response =
                "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        } else {
            response = "HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found";
        }
        for (size_t sent = 0; sent < response.size();) {
            const ssize_t n = ::send(client, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            sent += static_cast<size_t>(n);
        }
        ::close(client);
    }
}

} // namespace vesk::release::test
