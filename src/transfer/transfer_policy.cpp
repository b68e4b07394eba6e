#include "transfer/transfer_policy.h"

#include "core/trusted_key.h"

namespace vesk::updater {

namespace {

// "60 s" for whole seconds, "1500 ms" otherwise.
std::string durationText(std::chrono::milliseconds duration) {
    if (duration.count() % 1000 == 0) {
        return std::to_string(duration.count() / 1000) + " s";
    }
    return std::to_string(duration.count()) + " ms";
}

} // namespace

TransferPolicy TransferPolicy::forThisProgram() {
    TransferPolicy policy;
    policy.strict = trustedReleaseMode();
    return policy;
}

LowSpeedMonitor::LowSpeedMonitor(std::uint64_t minimumBytes, std::chrono::milliseconds window,
                                 std::chrono::steady_clock::time_point start)
    : minimumBytes(minimumBytes), window(window), windowStart(start) {}

bool LowSpeedMonitor::progress(std::uint64_t bytes, std::chrono::steady_clock::time_point now) {
    bytesInWindow += bytes;
    if (now - windowStart < window) {
        return true;
    }
    // The window is judged with what arrived by its end; a read that blocked past it counts against it.
    if (bytesInWindow < minimumBytes) {
        return false;
    }
    windowStart = now;
    bytesInWindow = 0;
    return true;
}

bool isSuccessStatus(unsigned long status) {
    return status >= 200 && status <= 299;
}

std::string sizeExceededMessage(const SizeLimit& limit, const std::string& url) {
    return std::string(limit.isExpectedSize ? "Download exceeded the expected size of "
                                            : "Download exceeded the size limit of ") +
           std::to_string(limit.bytes) + " bytes: " + url;
}

std::string statusFailedMessage(unsigned long status, const std::string& url) {
    return "Download failed: HTTP status " + std::to_string(status) + " from " + url;
}

std::string tooSlowMessage(const TransferPolicy& policy, const std::string& url) {
    return "Download too slow: fewer than " + std::to_string(policy.minimumBytes) + " bytes in " +
           durationText(policy.lowSpeedWindow) + " from " + url;
}

std::string timedOutMessage(const std::string& url) {
    return "Download timed out: " + url;
}

std::string interruptedMessage(const std::string& url) {
    return "Download interrupted: " + url;
}

std::string deadlineMessage(std::chrono::seconds deadline, const std::string& url) {
    return "Download took longer than its deadline of " + durationText(deadline) + ": " + url;
}

std::string archiveSizeExceededMessage(const SizeLimit& limit, const std::string& url) {
    return std::string(limit.isExpectedSize ? "Archive entry exceeded the expected size of "
                                            : "Archive exceeded the size limit of ") +
           std::to_string(limit.bytes) + " bytes: " + url;
}

} // namespace vesk::updater
