#include "TandrelService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "CapturedOutput.h"
#include "FakePlatform.h"

namespace {

using Lines = std::vector<std::string>;

const Lines kBanner = {"Tandrel-Win64  v0.1", "Copyright (C) 2026 The Tandrel developers", ""};

Lines WithBanner(const Lines& rest) {
    Lines all = kBanner;
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

struct Outcome {
    int status;
    Lines lines;
};

Outcome RunWith(FakePlatform& platform) {
    CapturedOutput out;
    const int status = RunTandrelService(platform, out.stream());
    return {status, out.Lines()};
}

FakePlatform PortFive() {
    FakePlatform platform;
    platform.present = {5};
    return platform;
}

TEST(ServiceFlow, WholeRunOnPortFive) {
    FakePlatform platform = PortFive();
    platform.reads = {FakePlatform::Byte('1'), FakePlatform::Byte('2'), FakePlatform::Byte('1')};
    const Outcome run = RunWith(platform);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.lines, WithBanner({
                             "[Debug] Selected port 5",
                             "[Debug] Filename : fake:COM5",
                             "[Debug] opening serial port successful",
                             "[Debug] OutCount : 0 - 0",
                             "[Debug] OutCount : 1 - 1",
                             "[Debug] First recognition detected",
                             "[Debug] Second recognition detected",
                             "[Debug] OutCount : 0 - 0",
                         }));
    EXPECT_EQ(platform.calls, (Lines{"open fake:COM5", "timeouts", "settings", "read", "read", "read", "launch",
                                     "close"}));
}

TEST(ServiceFlow, TimeoutFeedsThePreviousByteAgain) {
    FakePlatform platform = PortFive();
    // Before any byte arrives the buffer holds 0; after the "2" two timeouts
    // repeat it and count it twice more.
    platform.reads = {FakePlatform::Timeout(), FakePlatform::Byte('1'), FakePlatform::Timeout(),
                      FakePlatform::Byte('2'), FakePlatform::Timeout(), FakePlatform::Timeout(),
                      FakePlatform::Byte('1')};
    const Outcome run = RunWith(platform);
    EXPECT_EQ(run.status, 0);
    const Lines trace(run.lines.begin() + 6, run.lines.end());
    EXPECT_EQ(trace, (Lines{
                         "[Debug] OutCount : 0 - 0",
                         "[Debug] OutCount : 0 - 0",
                         "[Debug] First recognition detected",
                         "[Debug] OutCount : 0 - 0",
                         "[Debug] OutCount : 1 - 1",
                         "[Debug] OutCount : 2 - 2",
                         "[Debug] OutCount : 3 - 3",
                         "[Debug] First recognition detected",
                         "[Debug] Second recognition detected",
                         "[Debug] OutCount : 0 - 0",
                     }));
}

TEST(ServiceFlow, EverythingWrittenReachesTheOutputBeforeEachWait) {
    FakePlatform platform = PortFive();
    // A burst of bytes taken from the device together, a timeout, then the
    // completing bytes in a second burst.
    platform.reads = {FakePlatform::Byte('1'),     FakePlatform::Queued('2'), FakePlatform::Queued('x'),
                      FakePlatform::Queued('2'),   FakePlatform::Timeout(),   FakePlatform::Byte('2'),
                      FakePlatform::Queued('1')};
    CapturedOutput out;
    platform.watched = out.stream();
    const int status = RunTandrelService(platform, out.stream());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(platform.flushedBeforeWaiting, (std::vector<bool>{true, true, true}));
    const Lines lines = out.Lines();
    EXPECT_EQ(Lines(lines.begin() + 6, lines.end()),
              (Lines{"[Debug] OutCount : 0 - 0", "[Debug] OutCount : 1 - 1", "[Debug] OutCount : 1 - 1",
                     "[Debug] OutCount : 2 - 2", "[Debug] OutCount : 3 - 3", "[Debug] OutCount : 4 - 4",
                     "[Debug] First recognition detected", "[Debug] Second recognition detected",
                     "[Debug] OutCount : 0 - 0"}));
}

TEST(ServiceFlow, TheLastLinesAreOutBeforeTheLaunch) {
    // The launch may take a while; the recognition lines do not wait for it.
    struct LaunchWatcher : FakePlatform {
        bool flushedAtLaunch = false;
        bool LaunchFileManager() override {
            flushedAtLaunch = EverythingFlushed(watched);
            return true;
        }
    } platform;
    platform.present = {5};
    platform.reads = {FakePlatform::Byte('1'), FakePlatform::Queued('2'), FakePlatform::Queued('1')};
    CapturedOutput out;
    platform.watched = out.stream();
    EXPECT_EQ(RunTandrelService(platform, out.stream()), 0);
    EXPECT_TRUE(platform.flushedAtLaunch);
}

struct FailureCase {
    const char* name;
    void (*arrange)(FakePlatform&);
    Lines tail;          // the lines after the banner
    int closes;          // the port is closed once wherever it was opened
    bool launched;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

const FailureCase kFailures[] = {
    {"NoPortPresent", [](FakePlatform& p) { p.present.clear(); }, {"[Debug] No serial port found"}, 0, false},
    {"OpenFails",
     [](FakePlatform& p) { p.opens = false; },
     {"[Debug] Selected port 5", "[Debug] Filename : fake:COM5", "[Debug] Error in opening serial port",
      "[Debug] Failed to set serial timeouts"},
     0,
     false},
    {"TimeoutsFail",
     [](FakePlatform& p) { p.timeoutsSet = false; },
     {"[Debug] Selected port 5", "[Debug] Filename : fake:COM5", "[Debug] opening serial port successful",
      "[Debug] Failed to set serial timeouts"},
     1,
     false},
    {"SettingsFail",
     [](FakePlatform& p) { p.settingsSet = false; },
     {"[Debug] Selected port 5", "[Debug] Filename : fake:COM5", "[Debug] opening serial port successful",
      "[Debug] Failed to set serial settings"},
     1,
     false},
    {"ReadFails",
     [](FakePlatform& p) { p.reads = {FakePlatform::Byte('1'), FakePlatform::Failure(), FakePlatform::Byte('1')}; },
     {"[Debug] Selected port 5", "[Debug] Filename : fake:COM5", "[Debug] opening serial port successful",
      "[Debug] OutCount : 0 - 0", "[Debug] Error reading serial port"},
     1,
     false},
    {"LaunchFails",
     [](FakePlatform& p) {
         p.reads = {FakePlatform::Byte('1'), FakePlatform::Byte('2'), FakePlatform::Byte('1')};
         p.launches = false;
     },
     {"[Debug] Selected port 5", "[Debug] Filename : fake:COM5", "[Debug] opening serial port successful",
      "[Debug] OutCount : 0 - 0", "[Debug] OutCount : 1 - 1", "[Debug] First recognition detected",
      "[Debug] Second recognition detected", "[Debug] OutCount : 0 - 0", "[Debug] Failed to open the file manager"},
     1,
     true},
};

class ServiceFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(ServiceFailure, WritesItsLinesClosesOnceAndEndsWithMinusOne) {
    const FailureCase& c = GetParam();
    FakePlatform platform = PortFive();
    c.arrange(platform);
    const Outcome run = RunWith(platform);
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.lines, WithBanner(c.tail));
    EXPECT_EQ(platform.closes, c.closes);
    if (c.closes) {
        EXPECT_EQ(platform.calls.back(), "close");
    }
    EXPECT_EQ(std::count(platform.calls.begin(), platform.calls.end(), "launch"), c.launched ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Paths, ServiceFailure, testing::ValuesIn(kFailures),
                         [](const testing::TestParamInfo<FailureCase>& param) { return std::string(param.param.name); });

TEST(ServiceFlow, OpenFailureMakesNoFurtherPortCall) {
    FakePlatform platform = PortFive();
    platform.opens = false;
    RunWith(platform);
    EXPECT_EQ(platform.calls, (Lines{"open fake:COM5"}));
}

struct SelectionCase {
    std::set<int> present;
    std::optional<int> expected;
};

TEST(SelectComPort, ChoosesTheHighestPresentNumberUpTo254) {
    const SelectionCase cases[] = {
        {{1, 3, 7}, 7}, {{0, 254}, 254}, {{42}, 42}, {{0}, 0}, {{}, std::nullopt}, {{3, 255, 300}, 3}, {{255}, std::nullopt},
    };
    for (const SelectionCase& c : cases) {
        FakePlatform platform;
        platform.present = c.present;
        EXPECT_EQ(SelectComPort(platform), c.expected) << "present ports: " << testing::PrintToString(c.present);
    }
}

TEST(SelectComPort, ProbesEveryNumberFrom0To254InOrderOnEveryCall) {
    FakePlatform platform;
    platform.present = {7};
    std::vector<int> expected(255);
    for (int n = 0; n <= 254; ++n) expected[static_cast<size_t>(n)] = n;
    SelectComPort(platform);
    EXPECT_EQ(platform.probed, expected);
    platform.probed.clear();
    platform.present = {9};
    EXPECT_EQ(SelectComPort(platform), 9);
    EXPECT_EQ(platform.probed, expected);
}

}  // namespace
