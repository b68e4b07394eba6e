#!/usr/bin/env bash
# Times the updater's manifest search (built natively from src/manifest) on two manifests of the same size
# (1 MiB): an ordinary one, and a hostile one whose "manifest" object holds an object with 50,000 keys
# named "files" before the real list. Both lookups return the same entry; the search must stay linear in
# the text, so the hostile one may cost only a small factor more (it logs one line per key).
# It then times the hostile shape at 1 MiB and at 2 MiB (twice the keys, twice the entries): a linear search
# takes about twice as long on the larger one, a quadratic one about four times.
#   VESK_BENCH_ROUNDS    rounds (default 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out="$root/build/bench/manifest-search"
mkdir -p "$out"
cat >"$out/bench.cpp" <<'CPP'
#include "manifest/manifest_text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using vesk::updater::ManifestText;

namespace {

constexpr std::size_t kSize = 1 << 20;
const std::string kHead = "{\"manifest\": {\"version\": \"1.0\", \"build_number\": 7, ";

std::string withEntries(std::string text, std::size_t size = kSize) {
    text += "\"files\": [";
    for (int i = 0; text.size() < size - 200; ++i) {
        text += (i ? ", " : "") + std::string("{\"name\": \"file") + std::to_string(i) +
                ".dll\", \"size\": 1024, \"sha256\": \"" + std::string(64, 'a') + "\"}";
    }
    text += ", {\"name\": \"Updater.exe\", \"size\": 1}]}}";
    return text;
}

double seconds(const std::string& text, std::size_t& lines) {
    bool dumped = true;
    const auto start = std::chrono::steady_clock::now();
    const std::string found = ManifestText::findFileObject(
        text, "Updater.exe", [&lines](const std::string&, const std::string&) { ++lines; }, dumped);
    const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (found != "{\"name\": \"Updater.exe\", \"size\": 1}") {
        std::fprintf(stderr, "wrong entry: %s\n", found.c_str());
        std::exit(1);
    }
    return spent;
}

// The hostile shape scaled to `megabytes` MiB: 50,000 decoy keys per MiB, then the real list.
std::string hostileOf(int megabytes) {
    std::string keys = kHead + "\"x\": {";
    for (int i = 0; i < 50000 * megabytes; ++i) {
        keys += (i ? ", " : "") + std::string("\"files\": 0");
    }
    return withEntries(keys + "}, ", kSize * megabytes);
}

double median(std::vector<double> list) {
    std::sort(list.begin(), list.end());
    return list[(list.size() - 1) / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    const std::string ordinary = withEntries(kHead);
    const std::string hostile = hostileOf(1);
    std::vector<double> ratios, hostileTimes, ordinaryTimes;
    for (int round = 0; round < rounds; ++round) {
        std::size_t lines = 0;
        hostileTimes.push_back(seconds(hostile, lines));
        ordinaryTimes.push_back(seconds(ordinary, lines));
        ratios.push_back(hostileTimes.back() / ordinaryTimes.back());
    }
    for (auto* list : {&ratios, &hostileTimes, &ordinaryTimes}) {
        std::sort(list->begin(), list->end());
    }
    const std::size_t mid = (ratios.size() - 1) / 2;
    std::printf("findFileObject hostile/ordinary, %zu KiB manifests: min %.2f, median %.2f (%d rounds; medians "
                "%.4f s / %.4f s)\n",
                std::min(hostile.size(), ordinary.size()) / 1024, ratios.front(), ratios[mid], rounds,
                hostileTimes[mid], ordinaryTimes[mid]);

    const std::string larger = hostileOf(2);
    std::vector<double> smallTimes, largeTimes, growth;
    for (int round = 0; round < rounds; ++round) {
        std::size_t lines = 0;
        smallTimes.push_back(seconds(hostile, lines));
        largeTimes.push_back(seconds(larger, lines));
        growth.push_back(largeTimes.back() / smallTimes.back());
    }
    std::printf("findFileObject hostile %zu KiB vs %zu KiB: medians %.4f s / %.4f s, ratio median %.2f "
                "(linear about 2)\n",
                hostile.size() / 1024, larger.size() / 1024, median(smallTimes), median(largeTimes),
                median(growth));
}
CPP
g++ -std=c++20 -O2 -I"$root/src" "$out/bench.cpp" "$root/src/manifest/manifest_text.cpp" -o "$out/bench"
"$out/bench" "${VESK_BENCH_ROUNDS:-5}"
