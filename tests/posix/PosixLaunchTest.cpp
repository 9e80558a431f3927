#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
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

// HOME is handed to xdg-open only as an absolute path; anything else could be
// read as an option or a URL. Then the password database's home is opened.
TEST_F(PosixLaunch, OpensOnlyAnAbsoluteHome) {
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    const std::string databaseHome = entry->pw_dir;
    ASSERT_EQ(databaseHome.front(), '/');
    const std::pair<const char*, std::string> cases[] = {
        {"/srv/tandrel home", "/srv/tandrel home"},
        {"--version", databaseHome},
        {"-", databaseHome},
        {"https://example.invalid/", databaseHome},
        {"relative/folder", databaseHome},
        {"", databaseHome},
    };
    for (const auto& [home, opened] : cases) {
        InstallXdgOpen(0);
        setenv("HOME", home, 1);
        EXPECT_TRUE(platform.LaunchFileManager()) << "HOME=" << home;
        std::istringstream lines(Recorded());
        std::string argc, arg;
        std::getline(lines, argc);
        std::getline(lines, arg);
        EXPECT_EQ(argc, "1") << "HOME=" << home;
        EXPECT_EQ(arg, opened) << "HOME=" << home;
    }
}

// Where HOME is unusable and the password database gives no absolute home
// either, nothing is launched. The database is replaced in a private mount
// namespace of a child process.
TEST_F(PosixLaunch, NoUsableHomeIsAFailedLaunch) {
    InstallXdgOpen(0);
    const std::string passwdFile = bin.path + "/passwd";
    std::ofstream(passwdFile) << "root:x:0:0:root:relative/root:/bin/sh\n"
                              << "tandrel:x:" << getuid() << ":" << getgid() << "::-rf:/bin/sh\n";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(passwdFile.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0) {
            _exit(77);
        }
        setenv("HOME", "--version", 1);
        _exit(platform.LaunchFileManager() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) {
        if (std::getenv("CI")) FAIL() << "no private mount namespace for the password database";
        GTEST_SKIP() << "no private mount namespace for the password database";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a launch was reported although no home was usable";
    EXPECT_TRUE(Recorded().empty()) << "xdg-open was started";
}

// The service ignores SIGPIPE; xdg-open and what it starts must not inherit that.
TEST_F(PosixLaunch, LauncherGetsTheDefaultSigpipeBack) {
    const std::string script = bin.path + "/xdg-open";
    std::ofstream(script) << "#!/bin/sh\ngrep '^SigIgn:' /proc/$$/status > '" << record() << "'\n";
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    void (*saved)(int) = signal(SIGPIPE, SIG_IGN);
    const bool launched = platform.LaunchFileManager();
    signal(SIGPIPE, saved);
    EXPECT_TRUE(launched);
    const std::string line = Recorded();
    ASSERT_EQ(line.rfind("SigIgn:", 0), 0u) << line;
    const unsigned long long ignored = std::stoull(line.substr(7), nullptr, 16);
    EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u) << line;
}

// A launcher that keeps running is taken to be the file manager after three
// seconds, also where pidfd_open is refused (here by a seccomp filter in a
// child process), so the service never holds its port for as long as the
// launcher runs.
TEST_F(PosixLaunch, LauncherStillRunningIsASuccessAfterTheBoundEvenWithoutPidfd) {
    const std::string script = bin.path + "/xdg-open";
    std::ofstream(script) << "#!/bin/sh\necho $$ > '" << record() << "'\nexec sleep 60\n";
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    for (const bool withPidfd : {true, false}) {
        const auto start = std::chrono::steady_clock::now();
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (!withPidfd) {
                sock_filter filter[] = {
                    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
                    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
                    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
                };
                sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
                if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0 ||
                    syscall(SYS_pidfd_open, getpid(), 0) >= 0) {
                    _exit(77);
                }
            }
            _exit(platform.LaunchFileManager() ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        const auto waited = std::chrono::steady_clock::now() - start;
        const std::string launcher = Recorded();
        if (!launcher.empty()) kill(std::stoi(launcher), SIGKILL);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_NE(WEXITSTATUS(status), 77) << "the seccomp filter could not be installed";
        EXPECT_EQ(WEXITSTATUS(status), 0) << (withPidfd ? "with" : "without") << " a pidfd";
        EXPECT_GE(waited, std::chrono::milliseconds(2900));
        EXPECT_LT(waited, std::chrono::seconds(10)) << (withPidfd ? "with" : "without") << " a pidfd";
    }
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
