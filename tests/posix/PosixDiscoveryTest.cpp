#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "PosixPlatform.h"
#include "TandrelService.h"
#include "TempDir.h"

namespace {

TEST(ComPortTtyName, FollowsTheFixedTable) {
    const std::pair<int, const char*> table[] = {
        {0, ""},          {1, "ttyS0"},      {32, "ttyS31"},   {33, "ttyUSB0"}, {64, "ttyUSB31"},
        {65, "ttyACM0"},  {96, "ttyACM31"},  {97, "ttyAMA0"},  {128, "ttyAMA31"}, {129, ""}, {254, ""}, {-1, ""},
    };
    for (const auto& [number, name] : table) EXPECT_EQ(ComPortTtyName(number), name) << "COM" << number;
}

// One /sys/class/tty entry of a fixture tree.
struct Entry {
    std::string name;
    std::optional<std::string> device;  // target of the `device` link; none for virtual ttys
    enum { kNoType, kType0, kType4, kTypeUnreadable, kTypeFifo } type = kNoType;
};

const char* kPnp = "../../../00:05";
const char* kReservedSlot = "../../../serial8250";
const char* kUsb = "../../../1-1:1.0";

void Build(const std::string& root, const std::vector<Entry>& entries) {
    for (const Entry& e : entries) {
        const std::string dir = root + "/" + e.name;
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        if (e.device) {
            ASSERT_EQ(symlink(e.device->c_str(), (dir + "/device").c_str()), 0);
        }
        if (e.type == Entry::kType0) std::ofstream(dir + "/type") << "0\n";
        if (e.type == Entry::kType4) std::ofstream(dir + "/type") << "4\n";
        // A directory cannot be read as a file, even by root: it stands in
        // for the root-only attribute seen by another user.
        if (e.type == Entry::kTypeUnreadable) {
            ASSERT_EQ(mkdir((dir + "/type").c_str(), 0755), 0);
        }
        // A FIFO with no writer would block a plain open for ever.
        if (e.type == Entry::kTypeFifo) {
            ASSERT_EQ(mkfifo((dir + "/type").c_str(), 0644), 0);
        }
    }
}

struct DiscoveryCase {
    const char* name;
    std::vector<Entry> entries;
    std::optional<int> expected;
};

void PrintTo(const DiscoveryCase& c, std::ostream* os) { *os << c.name; }

const DiscoveryCase kCases[] = {
    {"HighestOfSeveral",
     {{"ttyS0", kPnp, Entry::kType4}, {"ttyS2", kPnp, Entry::kType4}, {"ttyS6", kPnp, Entry::kType4}},
     7},
    {"FamiliesRankByTable", {{"ttyS0", kPnp, Entry::kType4}, {"ttyUSB0", kUsb, Entry::kNoType}, {"ttyACM0", kUsb, Entry::kNoType}}, 65},
    {"SinglePort", {{"ttyACM3", kUsb, Entry::kNoType}}, 68},
    {"VirtualTtysHaveNoDevice", {{"console", {}}, {"ptmx", {}}, {"tty0", {}}, {"ttyS1", {}}}, std::nullopt},
    {"ReservedSlotWithoutUartIsAbsent", {{"ttyS0", kReservedSlot, Entry::kType0}}, std::nullopt},
    {"ReservedSlotWithUnreadableTypeIsAbsent", {{"ttyS0", kReservedSlot, Entry::kTypeUnreadable}}, std::nullopt},
    {"ReservedSlotWithoutTypeIsAbsent", {{"ttyS0", kReservedSlot, Entry::kNoType}}, std::nullopt},
    {"ReservedSlotWithUartIsPresent", {{"ttyS3", kReservedSlot, Entry::kType4}}, 4},
    {"TypeZeroIsAbsentOnAnyDevice", {{"ttyS1", kPnp, Entry::kType4}, {"ttyS5", kPnp, Entry::kType0}}, 2},
    {"UnreadableTypeOnRealUartIsPresent", {{"ttyS4", kPnp, Entry::kTypeUnreadable}}, 5},
    {"ReservedSlotLinkWithTrailingSlashesIsStillAReservedSlot",
     {{"ttyS0", "../../../serial8250//", Entry::kNoType}, {"ttyS1", "../../../serial8250/", Entry::kType0}},
     std::nullopt},
    {"TypeThatIsAFifoDoesNotBlockAndCountsAsUnreadable",
     {{"ttyS2", kPnp, Entry::kTypeFifo}, {"ttyS3", kReservedSlot, Entry::kTypeFifo}},
     3},
    {"DanglingDeviceLinkCounts", {{"ttyUSB7", "../../../nowhere/at/all", Entry::kNoType}}, 40},
    {"NamesOutsideTheTableAreIgnored", {{"ttyACM32", kUsb, Entry::kNoType}, {"ttyUSB1", kUsb, Entry::kNoType}, {"rfcomm0", kUsb, Entry::kNoType}}, 34},
    {"HighestNumberInTable", {{"ttyAMA31", "../../../fe201000.serial", Entry::kNoType}, {"ttyS0", kPnp, Entry::kType4}}, 128},
};

class PosixDiscovery : public testing::TestWithParam<DiscoveryCase> {};

TEST_P(PosixDiscovery, SelectsTheHighestPresentPort) {
    TempDir sys;
    Build(sys.path, GetParam().entries);
    PosixPlatform platform(sys.path, "/dev");
    EXPECT_EQ(SelectComPort(platform), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(FixtureTrees, PosixDiscovery, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<DiscoveryCase>& param) {
                             return std::string(param.param.name);
                         });

TEST(PosixDevicePath, IsTheTtyUnderTheDevRoot) {
    PosixPlatform platform("/nonexistent", "/fixture/dev");
    EXPECT_EQ(platform.DevicePath(65), "/fixture/dev/ttyACM0");
    EXPECT_EQ(platform.DevicePath(1), "/fixture/dev/ttyS0");
}

TEST(PosixDiscovery, MissingSysfsRootMeansNoPort) {
    PosixPlatform platform("/nonexistent/sys/class/tty", "/dev");
    EXPECT_EQ(SelectComPort(platform), std::nullopt);
}

}  // namespace
