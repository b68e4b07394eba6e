#include "core/current_channel.h"
#include "app/update_thread_win.h"
#include "core/logger.h"
#include "core/settings.h"
#include "support/console_simulator.h"
#include "support/log_follower.h"
#include "support/recording_callback.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using vesk::test::containsInOrder;
using vesk::test::installSimulator;
using vesk::test::LogFollower;
using vesk::test::readSimulatorRecord;
using vesk::test::RecordingCallback;
using vesk::test::TempDir;
using vesk::updater::FinalStepsGate;
using vesk::updater::runUpdateThread;
using vesk::updater::UpdateThreadParts;
using Events = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

std::string info(const std::string& message) {
    return "[INFO] [] " + message;
}

class UpdateThread : public testing::Test {
protected:
    void TearDown() override { vesk::updater::currentChannel.clear(); }

    // Runs the thread body to its end on this thread.
    void run(const std::string& channel, bool handoffStarts = false) {
        vesk::updater::currentChannel = channel;
        UpdateThreadParts parts;
        parts.gate = &gate;
        parts.consoleUpdaterDirectory = dir.path();
        parts.tempCopyHandoff = [this, handoffStarts] {
            ++handoffCalls;
            return handoffStarts;
        };
        LogFollower follower(vesk::updater::logger().path());
        runUpdateThread(callback, parts);
        log = follower.lines();
    }

    Events tail(size_t count) const {
        const Events all = callback.events();
        return all.size() < count ? all : Events(all.end() - static_cast<long>(count), all.end());
    }

    TempDir dir;
    FinalStepsGate gate;
    RecordingCallback callback;
    int handoffCalls = 0;
    std::vector<std::string> log;
};

TEST_F(UpdateThread, SuccessWithoutTempCopyLogsEveryStepAndCompletesTwice) {
    const std::string simulator =
        installSimulator(dir.path(), "line Update completed successfully\nexit 0\n");
    run("");
    const std::string manifestUrl = vesk::updater::getManifestUrl("");
    EXPECT_TRUE(containsInOrder(
        log, {info("=== Update Thread Starting ==="), info("Channel for update: stable"),
              info("Update client initialized successfully"), info("Built manifest URL: " + manifestUrl),
              info("Console updater process completed with exit code: 0"),
              info("Update process completed with result: SUCCESS"), info("Update thread completed"),
              info("Checking for pending self-update after successful update...")}))
        << testing::PrintToString(log);
    // The web manifest URL is left to the console updater, and no channel was given.
    EXPECT_EQ(readSimulatorRecord(simulator).at("command_line"), "\"" + simulator + "\" --verbose");
    const Events events = callback.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(Events(events.begin(), events.begin() + 2),
              (Events{"status:Initializing update client...", "progress:5"}));
    EXPECT_EQ(tail(3), (Events{"progress:100", "complete:true", "complete:true"}));
    EXPECT_EQ(handoffCalls, 1);
    EXPECT_EQ(gate.waitAfterWindowClosed(0ms), FinalStepsGate::Outcome::Finished);
}

TEST_F(UpdateThread, StartedHandoffLogsItAndStillCompletesTwice) {
    installSimulator(dir.path(), "exit 0\n");
    run("", true);
    EXPECT_TRUE(containsInOrder(log, {info("Update process completed with result: SUCCESS"),
                                      info("Checking for pending self-update after successful update..."),
                                      info("Self-update detected - bootstrap process initiated"),
                                      info("VESK_Updater.exe will exit after user acknowledges")}))
        << testing::PrintToString(log);
    EXPECT_EQ(tail(2), (Events{"complete:true", "complete:true"}));
    EXPECT_EQ(handoffCalls, 1);
}

TEST_F(UpdateThread, FailedUpdateSkipsTheHandoff) {
    installSimulator(dir.path(), "line ERROR: Failed to stop service\nexit 1\n");
    run("beta");
    EXPECT_TRUE(containsInOrder(log, {info("Channel for update: beta"),
                                      info("Built manifest URL: " + vesk::updater::getManifestUrl("beta")),
                                      info("Update process completed with result: FAILURE"),
                                      info("Update thread completed")}))
        << testing::PrintToString(log);
    for (const std::string& line : log) {
        EXPECT_EQ(line.find("Checking for pending self-update"), std::string::npos);
    }
    EXPECT_EQ(handoffCalls, 0);
    EXPECT_EQ(tail(4), (Events{"error:Failed to stop service", "error:Update process failed",
                               "complete:false", "complete:false"}));
}

TEST_F(UpdateThread, ChannelIsPassedUnchanged) {
    const std::string simulator = installSimulator(dir.path(), "exit 0\n");
    run("beta");
    EXPECT_EQ(readSimulatorRecord(simulator).at("command_line"),
              "\"" + simulator + "\" --verbose --channel beta");
}

TEST_F(UpdateThread, MissingConsoleUpdaterCompletesOnce) {
    // The console updater is looked for two levels below an empty folder.
    ASSERT_TRUE(::CreateDirectoryA(dir.file("a").c_str(), nullptr));
    vesk::updater::currentChannel = "";
    UpdateThreadParts parts;
    parts.gate = &gate;
    parts.consoleUpdaterDirectory = dir.file("a\\b");
    parts.tempCopyHandoff = [this] {
        ++handoffCalls;
        return false;
    };
    LogFollower follower(vesk::updater::logger().path());
    runUpdateThread(callback, parts);
    EXPECT_TRUE(containsInOrder(follower.lines(),
                                {"[ERROR] [] Could not find or download Updater.exe console version",
                                 info("Update process completed with result: FAILURE")}));
    EXPECT_EQ(tail(2),
              (Events{"error:Could not find Updater.exe console version. Please ensure it's in the same "
                      "directory.",
                      "complete:false"}));
    EXPECT_EQ(handoffCalls, 0);
}

TEST_F(UpdateThread, AnErrorNobodyExpectedIsLoggedAndReportedAsAFailedUpdate) {
    struct Case {
        std::string thrownAt; // the report during which it is thrown
        std::function<void()> raise;
        std::string logged;
    };
    const std::vector<Case> cases{
        {"status:Initializing update client...", [] { throw std::bad_alloc(); }, "std::bad_alloc"},
        // While the console updater runs and its output is being read.
        {"status:Starting VESK Update Client...", [] { throw std::bad_alloc(); }, "std::bad_alloc"},
        {"progress:15", [] { throw std::runtime_error("disk on fire"); }, "disk on fire"},
        {"status:Initializing update client...", [] { throw 7; }, "unknown error"},
    };
    for (const Case& c : cases) {
        installSimulator(dir.path(), "line VESK Update Client starting\nsleep 200\nexit 0\n");
        callback.clear();
        bool thrown = false;
        callback.afterEach = [&](const std::string& event) {
            if (event == c.thrownAt && !thrown) {
                thrown = true;
                c.raise();
            }
        };
        FinalStepsGate fresh;
        UpdateThreadParts parts;
        parts.gate = &fresh;
        parts.consoleUpdaterDirectory = dir.path();
        parts.tempCopyHandoff = [] { return false; };
        LogFollower follower(vesk::updater::logger().path());
        runUpdateThread(callback, parts);
        EXPECT_TRUE(thrown) << c.thrownAt;
        EXPECT_TRUE(containsInOrder(follower.lines(),
                                    {"[ERROR] [] Update thread stopped by an unexpected error: " + c.logged}))
            << c.thrownAt << testing::PrintToString(follower.lines());
        EXPECT_EQ(tail(2), (Events{"error:Update process failed", "complete:false"})) << c.thrownAt;
        EXPECT_EQ(fresh.waitAfterWindowClosed(0ms), FinalStepsGate::Outcome::Finished) << c.thrownAt;
    }
}

TEST_F(UpdateThread, WindowClosingAfterTheFirstCompletionWaitsForTheLastSteps) {
    installSimulator(dir.path(), "exit 0\n");
    std::atomic<bool> firstCompletion{false};
    callback.afterEach = [&](const std::string& event) {
        if (event == "complete:true" && !firstCompletion) {
            firstCompletion = true;
            // Like the window's final pause: the window closes while the report is still under way.
            std::this_thread::sleep_for(500ms);
        }
    };
    vesk::updater::currentChannel = "";
    UpdateThreadParts parts;
    parts.gate = &gate;
    parts.consoleUpdaterDirectory = dir.path();
    parts.tempCopyHandoff = [] {
        std::this_thread::sleep_for(300ms); // a handoff takes a moment
        return false;
    };
    std::thread worker([&] { runUpdateThread(callback, parts); });

    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!firstCompletion && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(firstCompletion);
    // Here the window would close: the main thread waits for the thread to be done.
    const FinalStepsGate::Outcome outcome = gate.waitAfterWindowClosed(30s);
    if (outcome != FinalStepsGate::Outcome::Finished) {
        worker.detach(); // left waiting for the process's end, as the program would leave it
        FAIL() << "the main thread did not wait for the last steps";
    }
    EXPECT_EQ(tail(2), (Events{"complete:true", "complete:true"}));
    worker.join();
}

} // namespace
