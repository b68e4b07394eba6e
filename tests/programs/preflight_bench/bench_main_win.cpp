// Runs the preflight over an install folder whose files all match the manifest, alternating with plain
// hashing of the core files it has to read, and prints how much the preflight costs beyond that hashing.
// Started as <install>\VESK_Updater.exe: the folder it runs from is the install folder.

#include "integrity/file_hash.h"
#include "selfupdate/preflight_updater_win.h"
#include "selfupdate/self_update_text.h"
#include "support/http_test_server.h"
#include "support/selfupdate_kit.h"
#include "support/temp_dir.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

using namespace vesk::test;
using namespace vesk::updater;
using Clock = std::chrono::steady_clock;

namespace {

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(generator());
    }
    return bytes;
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    const std::string folder = executableDirectory();
    const std::string own = folder + "\\VESK_Updater.exe";
    // Core files of about the sizes the console updater ships with.
    const std::vector<std::pair<std::string, std::size_t>> coreSizes = {
        {"Updater.exe", 1500000}, {"libcurl.dll", 4000000}, {"libsodium.dll", 350000}, {"zlib1.dll", 120000}};
    std::vector<std::string> entries = {
        manifestFileEntry("VESK_Updater.exe", {{"sha256", sha256Hex(readFileBytes(own))}},
                          {{"size", std::to_string(readFileBytes(own).size())}})};
    std::vector<std::string> corePaths;
    unsigned seed = 1;
    for (const auto& [name, size] : coreSizes) {
        const std::string bytes = randomBytes(size, seed++);
        corePaths.push_back(folder + "\\" + name);
        if (!writeFileBytes(corePaths.back(), bytes)) {
            std::fprintf(stderr, "cannot write %s\n", corePaths.back().c_str());
            return 1;
        }
        entries.push_back(manifestFileEntry(name, {{"sha256", sha256Hex(bytes)}},
                                            {{"size", std::to_string(bytes.size())}}));
    }

    HttpTestServer server;
    server.respond("/manifest.json", 200, manifestDocument(entries, "1.0", "7"));
    UpdateSources sources;
    sources.installDirectory = [&] { return folder; };
    sources.baseUrls = [&] { return std::vector<std::string>{server.baseUrl()}; };
    sources.defaultBaseUrl = server.baseUrl();
    auto preflight = [&] {
        PreflightUpdater updater(sources, [] {});
        updater.runPreflight("");
        return updater.counters();
    };
    auto hashCoreFiles = [&] {
        for (const std::string& path : corePaths) {
            if (computeFileSha256(path).empty()) {
                std::fprintf(stderr, "cannot hash %s\n", path.c_str());
            }
        }
    };

    // One round first, not counted: it fills the caches a real run fills once per process (the own
    // digest the user agent carries, the file cache) and checks that every file is current.
    const PreflightCounters first = preflight();
    if (first.checked != 4 || first.needingUpdate != 0) {
        std::fprintf(stderr, "not every file is current: %d checked, %d needing update\n", first.checked,
                     first.needingUpdate);
        return 1;
    }
    std::vector<double> beyond;
    for (int round = 0; round < rounds; ++round) {
        // Hashing on both sides of the preflight, so that a slow moment of a shared machine weighs on both.
        Clock::time_point start = Clock::now();
        hashCoreFiles();
        const double hashingBefore = millisecondsSince(start);
        start = Clock::now();
        preflight();
        const double whole = millisecondsSince(start);
        start = Clock::now();
        hashCoreFiles();
        const double hashing = (hashingBefore + millisecondsSince(start)) / 2;
        std::fprintf(stderr, "round %d: hashing %.1f ms, preflight %.1f ms\n", round, hashing, whole);
        beyond.push_back(whole - hashing);
    }
    std::sort(beyond.begin(), beyond.end());
    std::printf("preflight beyond hashing, every file current: min %.1f ms, median %.1f ms (%d interleaved "
                "rounds)\n",
                beyond.front(), beyond[beyond.size() / 2], rounds);
    return 0;
}
