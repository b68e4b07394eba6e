// Runs the real VESK_Updater.exe again and again against loopback servers that break a random share of
// their answers (cut bodies, resets, stalls, wrong bytes, wrong lengths, 5xx with and without Retry-After,
// slow trickles, redirects), with a forwarding proxy in the path for part of the runs, and checks after
// every run that no core file holds anything but its old or its released bytes. Started by scripts/soak.sh.
//   soak_runner RUNS SEED BOUND_SECONDS

#include "program_run_win.h"
#include "support/default_port_server.h"
#include "support/proxy_settings.h"
#include "support/selfupdate_kit.h"
#include "support/temp_dir.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace vesk::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kRelease = "/updates/1.0.7/";
const std::vector<std::string> kRepaired = {"Updater.exe", "libcurl.dll", "libsodium.dll"};

enum Fault { None, Cut, Reset, Stall, WrongBytes, WrongLength, Busy503, Busy503RetryAfter, Error500, Trickle,
             Redirect, Dropped, FaultKinds };
const char* const kFaultNames[FaultKinds] = {"none",        "cut body",  "reset",         "stall",
                                             "wrong bytes", "wrong length", "503",        "503 Retry-After",
                                             "500",         "slow trickle", "redirect",   "dropped"};

std::string randomBytes(std::size_t size, std::mt19937_64& random) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    return bytes;
}

// Changes the answer to one request at random; counts what it did.
class FaultPlan {
public:
    explicit FaultPlan(std::uint64_t seed) : random_(seed) {}

    void inject(ScriptedResponse& response) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (response.status != 200 || response.body.empty()) {
            return; // the archive's 404 and the redirect targets stay as they are
        }
        const Fault fault = std::uniform_int_distribution<int>(0, 99)(random_) < 50
                                ? None
                                : static_cast<Fault>(std::uniform_int_distribution<int>(1, FaultKinds - 1)(random_));
        ++counts_[fault];
        const std::size_t size = response.body.size();
        const std::size_t somewhere = std::uniform_int_distribution<std::size_t>(1, size - 1)(random_);
        switch (fault) {
        case Cut:
            response.cutAfterBytes = somewhere;
            break;
        case Reset:
            response.resetConnection = true;
            response.cutAfterBytes = somewhere;
            break;
        case Stall:
            response.delay = 3s;
            break;
        case WrongBytes:
            response.body[somewhere] = static_cast<char>(response.body[somewhere] ^ 0x5a);
            break;
        case WrongLength:
            response.declaredLength = random_() % 2 ? size + 100 : size - 1;
            break;
        case Busy503:
        case Busy503RetryAfter:
        case Error500:
            response.status = fault == Error500 ? 500 : 503;
            response.body = "<html>busy</html>";
            if (fault == Busy503RetryAfter) {
                response.headers.emplace_back("Retry-After", "1");
            }
            break;
        case Trickle:
            response.trickleInterval = 5ms;
            response.trickleChunk = 16 * 1024;
            break;
        case Redirect:
            response.status = 302;
            response.headers.emplace_back("Location", redirectTarget_);
            break;
        case Dropped:
            response.dropWithoutResponse = true;
            break;
        default:
            break;
        }
    }

    void setRedirectTarget(const std::string& target) {
        std::lock_guard<std::mutex> lock(mutex_);
        redirectTarget_ = target;
    }
    std::map<Fault, int> counts() {
        std::lock_guard<std::mutex> lock(mutex_);
        return counts_;
    }

private:
    std::mutex mutex_;
    std::mt19937_64 random_;
    std::map<Fault, int> counts_;
    std::string redirectTarget_;
};

int countTempDownloads() {
    char folder[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, folder);
    WIN32_FIND_DATAA entry;
    HANDLE find = ::FindFirstFileA((std::string(folder) + "vesk*.tmp").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int count = 0;
    do {
        ++count;
    } while (::FindNextFileA(find, &entry));
    ::FindClose(find);
    return count;
}

std::set<std::string> folderNames(const std::string& folder) {
    std::set<std::string> names;
    WIN32_FIND_DATAA entry;
    HANDLE find = ::FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::string name = entry.cFileName;
        if (name != "." && name != "..") {
            names.insert(name);
        }
    } while (::FindNextFileA(find, &entry));
    ::FindClose(find);
    return names;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    const int boundSeconds = argc > 3 ? std::atoi(argv[3]) : 600;
    std::mt19937_64 random(seed);

    std::unique_ptr<HttpTestServer> server = serverOnDefaultPort(2min);
    if (!server) {
        std::fprintf(stderr, "the built-in server's port stayed busy\n");
        return 1;
    }
    HttpTestServer mirror;
    HttpTestServer proxy;
    proxy.enableProxy();
    FaultPlan faults(seed * 7919 + 1);
    auto injector = [&](const RecordedRequest&, ScriptedResponse& response) { faults.inject(response); };
    server->setFaultInjector(injector);
    mirror.setFaultInjector(injector);

    // The released core files: one above the size from which broken transfers are resumed.
    std::map<std::string, std::string> released = {{"Updater.exe", randomBytes(300000, random)},
                                                    {"libcurl.dll", randomBytes(3u << 20, random)},
                                                    {"libsodium.dll", randomBytes(200000, random)}};
    std::vector<std::string> entries;
    for (const auto& [name, bytes] : released) {
        entries.push_back(manifestFileEntry(name, {{"sha256", sha256Hex(bytes)}}, {{"size", std::to_string(bytes.size())}}));
        for (HttpTestServer* each : {server.get(), &mirror}) {
            each->respond(kRelease + name + ".zip", 404, "no archive");
            ScriptedResponse good;
            good.body = bytes;
            good.honourRanges = true;
            good.headers = {{"ETag", "\"" + sha256Hex(bytes).substr(0, 16) + "\""}};
            each->respond(kRelease + name, good);
            each->respond("/moved" + kRelease + name, good);
        }
    }

    int repaired = 0, left = 0, deletedAsWritten = 0, lost = 0, stray = 0, unexplained = 0, overBound = 0;
    int proxiedRuns = 0, proxyFallbackRuns = 0;
    double longest = 0;
    const int tempBefore = countTempDownloads();
    for (int run = 0; run < runs; ++run) {
        ProgramInstall install;
        ScopedMachineValue installPath("SOFTWARE\\Corvanne\\VESK", "InstallPath", install.path());
        ScopedMachineValue baseUrls("SOFTWARE\\VESK\\Updater", "BaseUrls", mirror.baseUrl());
        const std::string zlib = readFileBytes(install.file("zlib1.dll"));
        std::vector<std::string> manifestEntries = entries;
        manifestEntries.push_back(manifestFileEntry("zlib1.dll", {{"sha256", sha256Hex(zlib)}},
                                                    {{"size", std::to_string(zlib.size())}}));
        server->respond("/manifest.json", 200, manifestDocument(manifestEntries));
        faults.setRedirectTarget("/moved" + kRelease + "Updater.exe");

        // Old state of each core file: missing, damaged, or already current.
        std::map<std::string, std::optional<std::string>> old;
        for (const std::string& name : kRepaired) {
            const int state = static_cast<int>(random() % 4);
            if (state == 0) {
                old[name] = std::nullopt;
                continue;
            }
            std::string bytes = state == 3 ? released[name] : randomBytes(released[name].size() - (state == 1 ? 7 : 0), random);
            writeFileBytes(install.file(name), bytes);
            old[name] = bytes;
        }
        // A third of the runs go through the proxy as the machine's setting; a sixth find the machine's
        // setting dead and the proxy in the user's Internet settings.
        const int path = static_cast<int>(random() % 6);
        std::optional<ScopedMachineProxy> machineProxy;
        std::optional<ScopedUserProxy> userProxy;
        if (path < 2) {
            machineProxy.emplace("127.0.0.1:" + std::to_string(proxy.port()));
            ++proxiedRuns;
        } else if (path == 2) {
            HttpTestServer gone;
            const std::string dead = "127.0.0.1:" + std::to_string(gone.port());
            gone.stop();
            machineProxy.emplace(dead);
            userProxy.emplace(UserProxyConfig{"127.0.0.1:" + std::to_string(proxy.port()), "", "", false});
            ++proxyFallbackRuns;
        }

        const Clock::time_point start = Clock::now();
        const ProgramRun result = runProgram(install.program(), "--process-self-update",
                                             std::chrono::seconds(boundSeconds));
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        machineProxy.reset();
        userProxy.reset();
        longest = std::max(longest, seconds);
        if (!result.ended) {
            ++overBound;
            std::printf("run %d: did not end within %d s\n", run, boundSeconds);
        }
        waitUntilNoProcessInside(install.path(), 60s);

        const std::vector<std::string> log = logMessages(install.log());
        if (!containsMessage(log, "INFO Preflight update completed") &&
            !containsMessage(log, "WARNING Failed to download manifest - skipping preflight update")) {
            ++unexplained;
            std::printf("run %d: the log does not end the preflight\n", run);
        }
        // A file that needed an update and did not get one must have a line saying why.
        auto explainsFailure = [&](const std::string& name) {
            for (const std::string& line : log) {
                if (line.rfind("ERROR Failed to download " + name + ". Attempts:", 0) == 0 ||
                    line.rfind("ERROR Downloaded file verification failed for " + name + ":", 0) == 0 ||
                    line.rfind("ERROR Failed to replace " + name + ":", 0) == 0 ||
                    line == "WARNING File not found in manifest files array: " + name ||
                    line == "WARNING Failed to download manifest - skipping preflight update") {
                    return true;
                }
            }
            return false;
        };
        for (const std::string& name : kRepaired) {
            const std::string path = install.file(name);
            const bool present = fileExists(path);
            const std::string now = present ? readFileBytes(path) : "";
            if (present && now == released[name]) {
                if (!old[name] || *old[name] != now) {
                    ++repaired;
                    if (!containsMessage(log, "INFO Successfully updated: " + name)) {
                        ++unexplained;
                        std::printf("run %d: %s repaired without its log line\n", run, name.c_str());
                    }
                }
                continue;
            }
            if (!explainsFailure(name)) {
                ++unexplained;
                std::printf("run %d: %s was not repaired and the log does not say why\n", run, name.c_str());
                for (const std::string& line : log) {
                    if (line.find(name) != std::string::npos || line.rfind("DEBUG", 0) != 0) {
                        std::printf("    %s\n", line.c_str());
                    }
                }
            }
            if (present && old[name] && now == *old[name]) {
                ++left;
                continue;
            }
            // As written, a damaged file is deleted before its download; only a logged deletion is allowed.
            if (!present && (!old[name] || containsMessage(log, "INFO Successfully deleted hash-mismatched file: " + name) ||
                             containsMessage(log, "INFO Successfully deleted corrupted file: " + name))) {
                ++deletedAsWritten;
                continue;
            }
            ++lost;
            std::printf("run %d: %s holds neither its old nor its released bytes\n", run, name.c_str());
        }
        for (const std::string& name : folderNames(install.path())) {
            if (name != "VESK_Updater.exe" && name != "zlib1.dll" && name != "logs" && name != "backup" &&
                std::find(kRepaired.begin(), kRepaired.end(), name) == kRepaired.end()) {
                ++stray;
                std::printf("run %d: stray file %s\n", run, name.c_str());
            }
        }
        std::printf("run %d: %.1f s%s, exit %lu\n", run, seconds,
                    path < 3 ? (path == 2 ? " (proxy via user settings)" : " (proxy)") : "", result.exitCode);
        if (std::getenv("VESK_SOAK_VERBOSE")) {
            for (const std::string& line : log) {
                std::printf("    %s\n", line.c_str());
            }
        }
        std::fflush(stdout);
    }
    const int tempLeft = countTempDownloads() - tempBefore;

    std::printf("\n| measure | value |\n|---|---|\n");
    std::printf("| runs | %d |\n", runs);
    std::printf("| runs through the machine's proxy | %d |\n", proxiedRuns);
    std::printf("| runs with a dead machine proxy and the user's proxy | %d |\n", proxyFallbackRuns);
    std::printf("| requests forwarded by the proxy | %zu |\n", proxy.requests().size());
    const std::map<Fault, int> counts = faults.counts();
    for (int kind = 0; kind < FaultKinds; ++kind) {
        const auto found = counts.find(static_cast<Fault>(kind));
        std::printf("| answers with fault: %s | %d |\n", kFaultNames[kind], found == counts.end() ? 0 : found->second);
    }
    std::printf("| files repaired | %d |\n", repaired);
    std::printf("| files left as they were | %d |\n", left);
    std::printf("| damaged files deleted before a download that failed (as written) | %d |\n", deletedAsWritten);
    std::printf("| lost (neither old nor released bytes) | %d |\n", lost);
    std::printf("| stray files in the install folder | %d |\n", stray);
    std::printf("| temporary downloads left behind | %d |\n", std::max(tempLeft, 0));
    std::printf("| runs whose log did not say what happened | %d |\n", unexplained);
    std::printf("| runs over the %d s bound | %d |\n", boundSeconds, overBound);
    std::printf("| longest run | %.1f s |\n", longest);
    return lost == 0 && stray == 0 && tempLeft <= 0 && unexplained == 0 && overBound == 0 ? 0 : 1;
}
