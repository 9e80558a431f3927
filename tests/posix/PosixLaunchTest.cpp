#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "PosixPlatform.h"
#include "TempDir.h"

namespace {

// Puts a stand-in xdg-open first on PATH and points HOME at a folder of the
// test's; both are restored afterwards.
class PosixLaunch : public testing::Test {
protected:
    void SetUp() override {
        savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
        savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
        setenv("PATH", (bin.path + ":" + savedPath).c_str(), 1);
        setenv("HOME", "/home/tandrel test", 1);
    }
    void TearDown() override {
        setenv("PATH", savedPath.c_str(), 1);
        setenv("HOME", savedHome.c_str(), 1);
    }

    // The stand-in records its argument, its session and its output, then
    // exits with `status`.
    void InstallXdgOpen(int status) {
        const std::string script = bin.path + "/xdg-open";
        std::ofstream(script) << "#!/bin/sh\n"
                              << "streams=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
                              << "{ printf '%s\\n' \"$#\" \"$1\"; cut -d' ' -f6 /proc/$$/stat; echo $$;"
                              << " echo \"$streams\"; } > '" << record() << "'\n"
                              << "exit " << status << "\n";
        ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    }

    std::string record() const { return bin.path + "/record"; }
    std::string Recorded() const {
        std::stringstream text;
        text << std::ifstream(record()).rdbuf();
        return text.str();
    }

    TempDir bin;
    PosixPlatform platform{"/nonexistent", "/dev"};
    std::string savedPath, savedHome;
};

TEST_F(PosixLaunch, OpensTheHomeFolderInASessionOfItsOwnWithoutOurStreams) {
    InstallXdgOpen(0);
    EXPECT_TRUE(platform.LaunchFileManager());
    std::istringstream lines(Recorded());
    std::string argc, arg, session, pid, in, out, err;
    std::getline(lines, argc);
    std::getline(lines, arg);
    std::getline(lines, session);
    std::getline(lines, pid);
    std::getline(lines, in);
    std::getline(lines, out);
    std::getline(lines, err);
    EXPECT_EQ(argc, "1");
    EXPECT_EQ(arg, "/home/tandrel test");
    EXPECT_EQ(session, pid) << "the launcher leads a session of its own";
    EXPECT_EQ(in, "/dev/null");
    EXPECT_EQ(out, "/dev/null");
    EXPECT_EQ(err, "/dev/null");
}

TEST_F(PosixLaunch, LauncherReportingFailureIsAFailedLaunch) {
    InstallXdgOpen(3);
    EXPECT_FALSE(platform.LaunchFileManager());
    EXPECT_FALSE(Recorded().empty());
}

TEST_F(PosixLaunch, MissingLauncherIsAFailedLaunch) {
    setenv("PATH", bin.path.c_str(), 1);
    EXPECT_FALSE(platform.LaunchFileManager());
}

}  // namespace
