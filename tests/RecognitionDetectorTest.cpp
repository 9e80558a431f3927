#include "RecognitionDetector.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "CapturedOutput.h"

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

// Expected traces are written in a short hand: "F" and "S" are the first and
// second recognition lines, "a-b" is the OutCount line with outCount a and
// gapCount b.
std::vector<std::string> Expand(const std::vector<std::string>& shortHand) {
    std::vector<std::string> lines;
    for (const std::string& item : shortHand) {
        if (item == "F") {
            lines.push_back("[Debug] First recognition detected");
        } else if (item == "S") {
            lines.push_back("[Debug] Second recognition detected");
        } else {
            const auto dash = item.find('-');
            lines.push_back("[Debug] OutCount : " + item.substr(0, dash) + " - " + item.substr(dash + 1));
        }
    }
    return lines;
}

// OutCount lines for a run of counted "2" samples: from-from .. to-to.
std::vector<std::string> Climb(int from, int to) {
    std::vector<std::string> items;
    for (int n = from; n <= to; ++n) items.push_back(std::to_string(n) + "-" + std::to_string(n));
    return items;
}

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct Trace {
    std::vector<std::string> lines;
    std::vector<size_t> trueAt;  // indices of the samples for which FeedSample returned true
};

Trace Feed(RecognitionDetector& detector, const CapturedOutput& out, const std::string& samples) {
    Trace trace;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (detector.FeedSample(static_cast<unsigned char>(samples[i]))) trace.trueAt.push_back(i);
    }
    trace.lines = out.Lines();
    return trace;
}

struct Case {
    const char* name;
    std::string samples;
    std::vector<std::string> expected;  // short hand, see Expand
    std::vector<size_t> trueAt;
};

std::string twos(size_t n) { return std::string(n, '2'); }

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"PlainPattern", "121", {"0-0", "1-1", "F", "S", "0-0"}, {2}},
        {"OneOneWithoutAnyTwoFails", "11", {"0-0", "F", "0-0"}, {}},
        {"NineTwosStillComplete", "1" + twos(9) + "1", Join({{"0-0"}, Climb(1, 9), {"F", "S", "0-0"}}), {10}},
        {"TenTwosFailThenNextTwoReturnsToIdle",
         "1" + twos(10) + "12",
         Join({{"0-0"}, Climb(1, 10), {"F", "10-0", "0-0"}}),
         {}},
        {"EleventhTwoReturnsToIdleAndGapToleranceDecides",
         "1" + twos(11) + "12121",
         Join({{"0-0"}, Climb(1, 10), {"0-10", "0-10", "1-11", "F", "1-0", "2-1", "F", "S", "0-0"}}),
         {16}},
        {"GapSeenSurvivesReturnToIdle",
         "1" + twos(10) + "11211",
         Join({{"0-0"}, Climb(1, 10), {"F", "10-0", "F", "10-0", "0-0", "0-0", "F", "S", "0-0"}}),
         {15}},
        {"MeaninglessBytesWhileIdle", std::string("0A\r\n\0\xff", 6), {"0-0", "0-0", "0-0", "0-0", "0-0", "0-0"}, {}},
        {"MeaninglessBytesWhileArmed",
         "12" + std::string("0A\r\n\0\xff", 6) + "1",
         {"0-0", "1-1", "1-1", "1-1", "1-1", "1-1", "1-1", "1-1", "F", "S", "0-0"},
         {8}},
        {"SilentDeviceRepeatsTheArmingOne", "1111", {"0-0", "F", "0-0", "F", "0-0", "F", "0-0"}, {}},
        {"SilentDeviceRepeatsATwo", "1" + twos(12), Join({{"0-0"}, Climb(1, 10), {"0-10", "0-10"}}), {}},
        {"OnlyTheCompletingSampleReturnsTrue", "121121", {"0-0", "1-1", "F", "S", "0-0", "0-0", "1-1", "F", "S", "0-0"},
         {2, 5}},
    };
    return cases;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class DetectorSequence : public testing::TestWithParam<Case> {};

TEST_P(DetectorSequence, WritesExactTraceAndReportsTheCompletingSample) {
    const Case& c = GetParam();
    CapturedOutput out;
    RecognitionDetector detector(out.stream());
    const Trace trace = Feed(detector, out, c.samples);
    EXPECT_EQ(trace.lines, Expand(c.expected));
    EXPECT_EQ(trace.trueAt, c.trueAt);
}

INSTANTIATE_TEST_SUITE_P(Sequences, DetectorSequence, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

TEST(DetectorGapCount, SaturatesInsteadOfOverflowing) {
    CapturedOutput out;
    RecognitionDetector detector({true, 0, kMax - 1, true}, out.stream());
    const Trace trace = Feed(detector, out, "2221");
    EXPECT_EQ(trace.lines, Expand({"1-2147483647", "2-2147483647", "3-2147483647", "F", "3-0"}));
    EXPECT_TRUE(trace.trueAt.empty());
}

TEST(DetectorGapCount, StaysSaturatedAcrossReturnsToIdle) {
    CapturedOutput out;
    RecognitionDetector detector({false, 0, kMax, true}, out.stream());
    Feed(detector, out, "1" + twos(11) + "12");
    const Trace trace = Feed(detector, out, "1");
    const std::vector<std::string>& lines = trace.lines;
    ASSERT_GE(lines.size(), 4u);
    // The eleventh "2" returned to idle, the "1" re-armed, the "2" was counted
    // without moving the saturated gap, and the tested "1" reset it.
    EXPECT_EQ(std::vector<std::string>(lines.end() - 5, lines.end()),
              Expand({"0-2147483647", "0-2147483647", "1-2147483647", "F", "1-0"}));
    EXPECT_TRUE(trace.trueAt.empty());
}

TEST(DetectorOutput, EveryLineReachesTheFileAsItIsWritten) {
    const std::string path = testing::TempDir() + "detector-flush.log";
    std::FILE* log = std::fopen(path.c_str(), "w");
    ASSERT_NE(log, nullptr);
    RecognitionDetector detector(log);
    detector.FeedSample('1');
    detector.FeedSample('2');
    detector.FeedSample('1');

    // Read back through a second, independent stream while the first is still open.
    std::FILE* reader = std::fopen(path.c_str(), "r");
    ASSERT_NE(reader, nullptr);
    std::string seen;
    for (int c; (c = std::fgetc(reader)) != EOF;) seen += static_cast<char>(c);
    std::fclose(reader);
    std::fclose(log);
    std::remove(path.c_str());
    EXPECT_EQ(seen,
              "[Debug] OutCount : 0 - 0\n[Debug] OutCount : 1 - 1\n[Debug] First recognition detected\n"
              "[Debug] Second recognition detected\n[Debug] OutCount : 0 - 0\n");
}

}  // namespace
