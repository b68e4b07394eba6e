// Measures what reading a hostile manifest costs before the window shows: the signature report and the
// trust check over one padded text, timed against a plain pass over the same bytes, and the process's
// peak memory against the text alone. One shape per process, so each peak is its own. Built for Windows
// (run under Wine: the times) and natively from the same pure sources (Wine's peak counters do not follow
// the heap, so the native run gives the memory figures).
//   manifest_parse_bench SHAPE [rounds]   SHAPE: objects1m | zeros64m | strings64m | objects64m | inside64m

#include "integrity/manifest_signature.h"
#include "integrity/manifest_trust.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

using namespace vesk::updater;
using Clock = std::chrono::steady_clock;

namespace {

double peakMiB() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters{};
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<double>(counters.PeakPagefileUsage) / (1 << 20);
#else
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024;
#endif
}

// A signed-looking manifest whose bulk is padding of the given element repeated to about size bytes,
// either beside the manifest object or inside it (then it is part of the signed text). Built in place, so
// the text is the only large allocation before the parse.
std::string padded(const std::string& element, std::size_t size, bool inside) {
    const std::string block = "\"signature\":{\"algorithm\":\"RSA-SHA256\",\"signature\":\"AAAA\","
                              "\"public_key\":\"x\",\"timestamp\":\"t\",\"signer\":\"s\"}";
    std::string text;
    text.reserve(size + block.size() + 256);
    text = "{\"manifest\":{\"version\":\"2.1\",\"build_number\":345,\"channel\":\"stable\",\"files\":[]";
    text += inside ? ",\"pad\":[" : "}," + block + ",\"padding\":[";
    while (text.size() + element.size() + 2 < size) {
        text += element;
        text += ',';
    }
    text += element + "]";
    text += inside ? "}," + block + "}" : "}";
    return text;
}

bool neverVerifies(const std::string&, const std::string&, const std::string&, std::string& error) {
    error = "not checked in the benchmark";
    return false;
}

} // namespace

int main(int argc, char** argv) {
    const std::string shape = argc > 1 ? argv[1] : "objects1m";
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::size_t mebi = 1 << 20;
    std::string text;
    if (shape == "objects1m") {
        text = padded("{}", mebi, false);
    } else if (shape == "zeros64m") {
        text = padded("0", 64 * mebi - 4096, false);
    } else if (shape == "strings64m") {
        text = padded("\"\"", 64 * mebi - 4096, false);
    } else if (shape == "objects64m") {
        text = padded("{}", 64 * mebi - 4096, false);
    } else if (shape == "inside64m") {
        text = padded("{}", 64 * mebi - 4096, true);
    } else {
        std::fprintf(stderr, "unknown shape %s\n", shape.c_str());
        return 2;
    }
    const double textPeak = peakMiB();
    double parseMs = 0;
    double passMs = 0;
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        std::size_t lines = 0;
        reportManifestSignature(
            text, SignatureReportStyle::Detailed, [&](const std::string&, const std::string&) { ++lines; },
            &neverVerifies);
        TrustPolicy policy;
        policy.builtInKeys = {"key"};
        policy.channel = "stable";
        const TrustVerdict verdict = judgeManifestTrust(text, policy, &neverVerifies);
        parseMs += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        start = Clock::now();
        // The least any reader must do: look at every byte once.
        const std::size_t quotes = static_cast<std::size_t>(std::count(text.begin(), text.end(), '"'));
        passMs += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (lines == 0 || verdict.trusted() || quotes == 0) {
            return 1;
        }
    }
    std::printf("%-10s %6.1f MiB text: report + trust check %8.1f ms, plain pass %6.1f ms (ratio %6.1f); "
                "peak %6.1f MiB (text alone %6.1f MiB)\n",
                shape.c_str(), static_cast<double>(text.size()) / mebi, parseMs / rounds, passMs / rounds,
                passMs > 0 ? parseMs / passMs : 0.0, peakMiB(), textPeak);
    return 0;
}
