#include "app/final_steps_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using vesk::updater::FinalStepsGate;
using Outcome = FinalStepsGate::Outcome;
using namespace std::chrono_literals;

namespace {

TEST(FinalStepsGate, WindowClosedWhileTheUpdateRunsEndsAtOnceAndStopsTheThread) {
    FinalStepsGate gate;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(gate.waitAfterWindowClosed(10s), Outcome::Abandoned);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(gate.beginFinalSteps());
    EXPECT_FALSE(gate.beginFinalSteps());
}

TEST(FinalStepsGate, MainThreadWaitsForTheLastStepsOnceTheyHaveBegun) {
    FinalStepsGate gate;
    ASSERT_TRUE(gate.beginFinalSteps());
    ASSERT_TRUE(gate.beginFinalSteps()); // a second announcement changes nothing
    std::atomic<bool> lastStepDone{false};
    std::thread worker([&] {
        std::this_thread::sleep_for(300ms); // the last steps take a while
        lastStepDone = true;
        gate.finished();
    });
    EXPECT_EQ(gate.waitAfterWindowClosed(10s), Outcome::Finished);
    EXPECT_TRUE(lastStepDone);
    worker.join();
}

TEST(FinalStepsGate, AlreadyFinishedThreadNeedsNoWait) {
    FinalStepsGate gate;
    ASSERT_TRUE(gate.beginFinalSteps());
    gate.finished();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(gate.waitAfterWindowClosed(10s), Outcome::Finished);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(FinalStepsGate, HungLastStepsDoNotKeepTheProcessAlive) {
    FinalStepsGate gate;
    ASSERT_TRUE(gate.beginFinalSteps());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(gate.waitAfterWindowClosed(200ms), Outcome::TimedOut);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 180ms);
    EXPECT_LT(waited, 3s);
}

TEST(FinalStepsGate, ProcessGateIsOneObject) {
    EXPECT_EQ(&vesk::updater::updateThreadGate(), &vesk::updater::updateThreadGate());
}

} // namespace
