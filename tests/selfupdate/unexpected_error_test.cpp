#include "core/logger.h"
#include "selfupdate/pending_self_update_win.h"
#include "selfupdate/preflight_updater_win.h"
#include "selfupdate/self_replacement_win.h"
#include "support/http_test_server.h"
#include "support/selfupdate_kit.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

// Every self-update operation is called straight from the entry routine or the update thread; whatever a
// step throws must end that operation with its failure result and an ERROR line, never reach the caller.

using namespace vesk::test;
using vesk::updater::IPendingUpdateConsole;
using vesk::updater::PreflightUpdater;
using vesk::updater::UpdateSources;

namespace {

struct FailingConsole : IPendingUpdateConsole {
    void open() override {}
    void writeLine(const std::string& text) override {
        if (text == "VESK_Updater: Processing self-update...") {
            throw std::bad_alloc();
        }
    }
    void waitForKey() override {}
};

std::vector<std::string> throwingBaseUrls() {
    throw std::runtime_error("base URL list unreadable");
}

} // namespace

TEST(UnexpectedErrors, PreflightEndsWithAnErrorLineAndReturns) {
    TempDir install;
    HttpTestServer server;
    server.respond("/manifest.json", 200,
                   manifestDocument({manifestFileEntry("Updater.exe", {{"sha256", sha256Hex("x")}})}));
    LogCapture log(vesk::updater::logger().path());

    // The install folder look-up fails after the manifest has arrived, in the middle of the run.
    UpdateSources sources;
    sources.baseUrls = [&server] { return std::vector<std::string>{server.baseUrl()}; };
    sources.installDirectory = []() -> std::string { throw std::runtime_error("install folder unreadable"); };
    sources.defaultBaseUrl = server.baseUrl();
    int endProcessCalls = 0;
    EXPECT_NO_THROW(PreflightUpdater(sources, [&] { ++endProcessCalls; }).runPreflight(""));

    const std::vector<std::string> messages = log.messages();
    EXPECT_TRUE(messagesInOrder(
        messages, {"INFO === Preflight Update Starting ===", "INFO === End Signature Verification ===",
                   "ERROR Preflight update stopped by an unexpected error: install folder unreadable"}));
    EXPECT_FALSE(containsMessage(messages, "INFO === Preflight Update Summary ==="));
    EXPECT_EQ(endProcessCalls, 0);
}

TEST(UnexpectedErrors, RestartModesReportAndGiveTheirFailureResults) {
    LogCapture log(vesk::updater::logger().path());
    UpdateSources sources;
    sources.installDirectory = []() -> std::string { throw std::runtime_error("install folder unreadable"); };
    sources.baseUrls = throwingBaseUrls;

    int exitCode = 0;
    EXPECT_NO_THROW(exitCode = vesk::updater::runRestartStart("", 0xFFFFFFF0u, sources));
    EXPECT_EQ(exitCode, 1);
    EXPECT_NO_THROW(vesk::updater::runRestartDone(sources));

    EXPECT_TRUE(messagesInOrder(
        log.messages(),
        {"INFO === Self-Update Flow: restart-start mode ===",
         "ERROR Self-update (restart-start) stopped by an unexpected error: install folder unreadable",
         "INFO === Self-Update Flow: restart-done mode ===",
         "ERROR Self-update cleanup (restart-done) stopped by an unexpected error: install folder "
         "unreadable"}));
}

TEST(UnexpectedErrors, DeferredSelfUpdateEndsWithExitCodeOne) {
    LogCapture log(vesk::updater::logger().path());
    FailingConsole console;
    int exitCode = 0;
    EXPECT_NO_THROW(exitCode = vesk::updater::processPendingSelfUpdate(console));
    EXPECT_EQ(exitCode, 1);
    EXPECT_TRUE(
        messagesInOrder(log.messages(), {"INFO === Self-Update Processing Starting ===",
                                         "ERROR Self-update processing stopped by an unexpected error: "
                                         "std::bad_alloc"}));
}
