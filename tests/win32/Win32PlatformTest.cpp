#include "Win32Platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "TandrelService.h"

namespace {

// What the fake lookup was asked, and which names it knows.
std::vector<std::string> asked;
std::set<std::string> defined;
DWORD lastSize = 0;

DWORD WINAPI FakeQueryDosDevice(LPCSTR name, LPSTR target, DWORD size) {
    asked.emplace_back(name);
    lastSize = size;
    if (!defined.count(name)) return 0;
    std::strcpy(target, "\\Device\\Serial0");
    return 17;
}

std::optional<int> SelectWith(std::set<std::string> names) {
    asked.clear();
    defined = std::move(names);
    Win32Platform platform(FakeQueryDosDevice);
    return SelectComPort(platform);
}

TEST(Win32Discovery, ChoosesTheHighestDefinedComName) {
    EXPECT_EQ(SelectWith({"COM1", "COM3", "COM7"}), 7);
    EXPECT_EQ(SelectWith({"COM0", "COM254"}), 254);
    EXPECT_EQ(SelectWith({"COM12"}), 12);
    EXPECT_EQ(SelectWith({"COM255", "COM300"}), std::nullopt);
    EXPECT_EQ(SelectWith({}), std::nullopt);
}

TEST(Win32Discovery, ProbesCom0ToCom254InOrderWithA5000CharacterBuffer) {
    SelectWith({"COM4"});
    ASSERT_EQ(asked.size(), 255u);
    for (size_t n = 0; n < asked.size(); ++n) EXPECT_EQ(asked[n], "COM" + std::to_string(n));
    EXPECT_EQ(lastSize, 5000u);
}

TEST(Win32DevicePath, IsTheDosDevicePathWithoutLeadingZeros) {
    Win32Platform platform;
    EXPECT_EQ(platform.DevicePath(5), "\\\\.\\COM5");
    EXPECT_EQ(platform.DevicePath(5).size(), 8u);
    EXPECT_EQ(platform.DevicePath(0), "\\\\.\\COM0");
    EXPECT_EQ(platform.DevicePath(254), "\\\\.\\COM254");
}

TEST(Win32Records, TimeoutsAreZeroedThenGivenTheServiceValues) {
    const COMMTIMEOUTS t = ServiceTimeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 200u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 100u);
}

TEST(Win32Records, LineSettingsSetExactlyFiveFieldsOfAZeroedRecord) {
    const DCB dcb = ServiceLineSettings();
    EXPECT_EQ(sizeof dcb, 28u);
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, 0);
    EXPECT_EQ(dcb.StopBits, 0);
    // Every other byte, the flags word and the special characters included, is 0.
    DCB expected;
    std::memset(&expected, 0, sizeof expected);
    expected.DCBlength = 28;
    expected.BaudRate = 9600;
    expected.ByteSize = 8;
    EXPECT_EQ(std::memcmp(&dcb, &expected, sizeof dcb), 0);
}

TEST(Win32Port, OpenOfAnUndefinedPortFails) {
    Win32Platform platform;
    EXPECT_EQ(platform.OpenPort("\\\\.\\COM253"), nullptr);
}

}  // namespace

// What the fake shell was asked, and the current directory at that moment.
struct ShellRequest {
    HWND owner = nullptr;
    std::string verb, file, parameters, currentDirectory;
    bool directoryGiven = true;
    INT show = -1;
    int calls = 0;
};
ShellRequest shellRequest;
INT_PTR shellAnswer = 42;

HINSTANCE WINAPI FakeShellExecute(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                                  INT show) {
    char current[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof current, current);
    shellRequest = {owner, verb, file, parameters, current, directory != nullptr, show, shellRequest.calls + 1};
    return reinterpret_cast<HINSTANCE>(shellAnswer);
}

// Runs the launch from a folder that stands for Downloads; restores the
// current directory afterwards.
bool LaunchFrom(const std::string& folder, INT_PTR answer) {
    char saved[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof saved, saved);
    CreateDirectoryA(folder.c_str(), nullptr);
    SetCurrentDirectoryA(folder.c_str());
    shellRequest = {};
    shellAnswer = answer;
    Win32Platform platform(QueryDosDeviceA, FakeShellExecute);
    const bool launched = platform.LaunchFileManager();
    SetCurrentDirectoryA(saved);
    return launched;
}

TEST(Win32Launch, RunsCmdSlashCExplorerFromTheSystemFolder) {
    char temp[MAX_PATH] = "";
    GetTempPathA(sizeof temp, temp);
    EXPECT_TRUE(LaunchFrom(std::string(temp) + "tandrel-downloads", 42));
    EXPECT_EQ(shellRequest.calls, 1);
    EXPECT_EQ(shellRequest.owner, GetDesktopWindow());
    EXPECT_EQ(shellRequest.verb, "open");
    EXPECT_EQ(shellRequest.file, "cmd");
    EXPECT_EQ(shellRequest.parameters, "/c explorer");
    EXPECT_FALSE(shellRequest.directoryGiven);
    EXPECT_EQ(shellRequest.show, SW_SHOW);
    char system[MAX_PATH] = "";
    GetSystemDirectoryA(system, sizeof system);
    EXPECT_EQ(shellRequest.currentDirectory, system) << "cmd and explorer must not be looked up in the folder "
                                                        "the service was started from";
}

TEST(Win32Launch, ShellAnswersOf32OrLessAreFailures) {
    EXPECT_FALSE(LaunchFrom(".", 32));
    EXPECT_FALSE(LaunchFrom(".", 2));
    EXPECT_TRUE(LaunchFrom(".", 33));
}
