#pragma once

// How downloads behave on a hostile or broken network: how long each step may wait, how large a body may
// grow, and (in strict mode) which answers and speeds count as a failed download.

#include "transfer/network_rules.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace vesk::updater {

class NetworkRun;

// Largest file a download or an unpacked archive may produce when the wanted size is not known.
constexpr std::uint64_t kDownloadSizeCeiling = std::uint64_t{1} << 30;
// Largest text (the manifest) downloadToString holds in memory.
constexpr std::uint64_t kTextSizeCeiling = std::uint64_t{64} << 20;

struct TransferPolicy {
    // WinHTTP's documented defaults, set explicitly because Wine does not bound the wait for the response
    // headers unless told to. receiveTimeout covers both that wait and any stall in the middle of a body.
    std::chrono::milliseconds connectTimeout{60000};
    std::chrono::milliseconds sendTimeout{30000};
    std::chrono::milliseconds receiveTimeout{30000};

    // Strict: a final status outside 200-299, a body that breaks off, or one that moves fewer than
    // minimumBytes in any lowSpeedWindow is a failed download. Otherwise whatever arrives is the document.
    bool strict = false;
    std::uint64_t minimumBytes = 1024;
    std::chrono::milliseconds lowSpeedWindow{60000};

    // After a failed first attempt: how often and how soon to ask again (both modes), and in strict mode how
    // long one download may take in all, however steadily its bytes trickle in.
    RetryRules retry;
    DownloadDeadline deadline;
    // The size the deadline is reckoned from when it is not the download's own bound (an archive of a file
    // of known size: the file's size plus room for the archive's own bytes).
    std::optional<std::uint64_t> deadlineSize;
    // What the downloads of one run share (servers skipped, the route that worked); null: the process's.
    NetworkRun* run = nullptr;

    // Strict when the program was built to trust only signed releases, the default policy otherwise.
    static TransferPolicy forThisProgram();
};

// The most bytes a body may bring. The two kinds differ only in the wording of the log line.
struct SizeLimit {
    std::uint64_t bytes = kDownloadSizeCeiling;
    bool isExpectedSize = false; // true: the known size of the wanted file; false: a fixed ceiling

    static SizeLimit expected(std::uint64_t size) { return {size, true}; }
    static SizeLimit ceiling(std::uint64_t size = kDownloadSizeCeiling) { return {size, false}; }
};

// Watches a body's progress for the low-speed rule. Time is counted from construction (the response
// headers' arrival); each stretch of at least `window` must bring at least `minimumBytes`.
class LowSpeedMonitor {
public:
    LowSpeedMonitor(std::uint64_t minimumBytes, std::chrono::milliseconds window,
                    std::chrono::steady_clock::time_point start);
    // Records bytes that arrived at now; false once a whole window has passed with too few bytes.
    bool progress(std::uint64_t bytes, std::chrono::steady_clock::time_point now);

private:
    std::uint64_t minimumBytes;
    std::chrono::milliseconds window;
    std::chrono::steady_clock::time_point windowStart;
    std::uint64_t bytesInWindow = 0;
};

// True for a final status strict mode accepts (200-299).
bool isSuccessStatus(unsigned long status);

// The log lines of failed downloads (all logged as ERROR).
std::string sizeExceededMessage(const SizeLimit& limit, const std::string& url);
std::string statusFailedMessage(unsigned long status, const std::string& url);
std::string tooSlowMessage(const TransferPolicy& policy, const std::string& url);
std::string timedOutMessage(const std::string& url);
std::string interruptedMessage(const std::string& url);
std::string deadlineMessage(std::chrono::seconds deadline, const std::string& url);
// An archive entry larger than limit allows.
std::string archiveSizeExceededMessage(const SizeLimit& limit, const std::string& url);

} // namespace vesk::updater
