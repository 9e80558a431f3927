// Measures the real Linux service against a device played on a pty, in a
// private namespace where that pty is the only serial port (as the
// end-to-end tests run it). Prints one JSON object per measure:
//
//   tandrel-service-bench --service PATH --private-dev PATH [--short] [--only GROUP]
//
// With --stamp-exec FILE PROGRAM this binary notes the time and becomes
// PROGRAM, which marks the service's start; tandrel-launch-stamp, beside it,
// stands in for xdg-open and marks the launch.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "PtyDevice.h"
#include "RecognitionDetector.h"

namespace {

long long NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

void WriteStamp(const char* path) {
    if (!path) return;
    std::FILE* file = std::fopen(path, "w");
    if (!file) return;
    std::fprintf(file, "%lld\n", NowNs());
    std::fclose(file);
}

long long ReadStamp(const std::string& path) {
    long long value = -1;
    std::ifstream(path) >> value;
    return value;
}

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "tandrel-service-bench: %s\n", what.c_str());
    std::exit(1);
}

struct Options {
    std::string service, privateDev, self;
    bool shortMode = false;
    std::string only;  // one measure group: rounds, waiting or throughput
};

// A scratch folder with a fixture /sys/class/tty (ttyACM0) and a bin folder
// whose xdg-open is tandrel-launch-stamp.
struct Scratch {
    std::string dir;
    explicit Scratch(const std::string& self) {
        char pattern[] = "/tmp/tandrel-bench-XXXXXX";
        if (!mkdtemp(pattern)) Fail("mkdtemp");
        dir = pattern;
        const std::string tty = dir + "/sys/ttyACM0";
        if (std::system(("mkdir -p '" + tty + "' '" + dir + "/bin'").c_str()) != 0) Fail("mkdir");
        if (symlink("../../../1-1:1.0", (tty + "/device").c_str()) != 0) Fail("symlink");
        const std::string stamp = self.substr(0, self.rfind('/') + 1) + "tandrel-launch-stamp";
        if (symlink(stamp.c_str(), (dir + "/bin/xdg-open").c_str()) != 0) Fail("symlink");
    }
    ~Scratch() { std::system(("rm -rf '" + dir + "'").c_str()); }
};

// One run of the service, its standard output on a pipe we read.
class ServiceRun {
public:
    ServiceRun(const Options& options, const Scratch& scratch, const PtyDevice& device) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) Fail("pipe");
        startStamp = scratch.dir + "/start.stamp";
        launchStamp = scratch.dir + "/launch.stamp";
        unlink(startStamp.c_str());
        unlink(launchStamp.c_str());
        const std::vector<std::string> args = {
            options.privateDev, "--sys-class-tty", scratch.dir + "/sys", "--link", "ttyACM0=" + device.slavePath(),
            "--", "/usr/bin/env", "PATH=" + scratch.dir + "/bin:/usr/bin:/bin", "TANDREL_LAUNCH_STAMP=" + launchStamp,
            options.self, "--stamp-exec", startStamp, options.service};
        pid = fork();
        if (pid < 0) Fail("fork");
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            std::vector<char*> argv;
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        output = out[0];
        fcntl(output, F_SETFL, O_NONBLOCK);
    }
    ~ServiceRun() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            Wait();
        }
        close(output);
    }

    // Reads until `text` has arrived (searching from `from`); returns the
    // time of the read that brought it, or -1 on end of file or timeout.
    long long WaitFor(const std::string& text, size_t from = 0, int timeoutMs = 10000) {
        const long long deadline = NowNs() + timeoutMs * 1000000LL;
        for (;;) {
            const size_t at = received.find(text, from);
            if (at != std::string::npos) {
                found = at + text.size();
                return lastRead;
            }
            if (NowNs() > deadline || !ReadSome(deadline)) return -1;
        }
    }

    // Reads until at least `size` bytes have arrived; returns the time of the last read.
    long long WaitForBytes(size_t size, int timeoutMs) {
        const long long deadline = NowNs() + timeoutMs * 1000000LL;
        while (received.size() < size) {
            if (NowNs() > deadline || !ReadSome(deadline)) return -1;
        }
        return lastRead;
    }

    // Keeps reading (so the service never blocks on a full pipe) for `ms`.
    void Drain(int ms) {
        const long long deadline = NowNs() + ms * 1000000LL;
        while (NowNs() < deadline && ReadSome(deadline)) {
        }
    }

    int Wait() {
        int status = 0;
        if (pid > 0) waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }

    pid_t pid = -1;
    std::string received;
    size_t found = 0;
    std::string startStamp, launchStamp;

private:
    bool ReadSome(long long deadline) {
        pollfd ready{output, POLLIN, 0};
        const long long left = (deadline - NowNs()) / 1000000;
        if (poll(&ready, 1, static_cast<int>(std::max(left, 0LL))) <= 0) return NowNs() < deadline;
        char chunk[65536];
        const ssize_t got = read(output, chunk, sizeof chunk);
        if (got < 0 && errno == EAGAIN) return true;
        if (got <= 0) return false;
        lastRead = NowNs();
        received.append(chunk, static_cast<size_t>(got));
        return true;
    }

    int output = -1;
    long long lastRead = -1;
};

const char* const kOpened = "[Debug] opening serial port successful\n";

struct Stats {
    double median, p99, min, max;
};

Stats Summarise(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    auto at = [&](double q) { return values[static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5)]; };
    return {at(0.5), at(0.99), values.front(), values.back()};
}

void Report(const std::string& name, const std::string& unit, const Stats& s, size_t rounds) {
    std::printf("{\"measure\": \"%s\", \"unit\": \"%s\", \"median\": %.4f, \"p99\": %.4f, \"min\": %.4f, "
                "\"max\": %.4f, \"rounds\": %zu}\n",
                name.c_str(), unit.c_str(), s.median, s.p99, s.min, s.max, rounds);
    std::fflush(stdout);
}

void ReportValue(const std::string& name, const std::string& unit, double value) {
    std::printf("{\"measure\": \"%s\", \"unit\": \"%s\", \"value\": %.4f}\n", name.c_str(), unit.c_str(), value);
    std::fflush(stdout);
}

// Reaction and start-up, over several runs.
void MeasureRounds(const Options& options, const Scratch& scratch) {
    const size_t rounds = options.shortMode ? 3 : 30;
    std::vector<double> reaction, launch, startup;
    for (size_t round = 0; round < rounds; ++round) {
        PtyDevice device;
        if (!device.ok()) Fail("no pty");
        // Queued before the start, so the very first read returns at once.
        device.Send("2");
        ServiceRun run(options, scratch, device);
        const long long firstLine = run.WaitFor("[Debug] OutCount : 0 - 0\n");
        if (firstLine < 0) Fail("the service did not start: " + run.received);
        device.Send("1");
        device.Send("2");
        if (run.WaitFor("[Debug] OutCount : 1 - 1\n", run.found) < 0) Fail("no 1 - 1 line: " + run.received);
        const long long sent = NowNs();
        device.Send("1");
        const long long recognized = run.WaitFor("[Debug] Second recognition detected\n", run.found);
        if (recognized < 0) Fail("no recognition: " + run.received);
        if (run.Wait() != 0) Fail("the service did not end with 0: " + run.received);
        const long long started = ReadStamp(run.startStamp);
        const long long launched = ReadStamp(run.launchStamp);
        if (started < 0 || launched < 0) Fail("missing time stamps");
        reaction.push_back(static_cast<double>(recognized - sent) / 1e6);
        launch.push_back(static_cast<double>(launched - recognized) / 1e6);
        startup.push_back(static_cast<double>(firstLine - started) / 1e6);
    }
    Report("reaction: completing byte to recognition line", "ms", Summarise(reaction), rounds);
    Report("reaction: recognition line to launched program", "ms", Summarise(launch), rounds);
    Report("start-up: process start to first read", "ms", Summarise(startup), rounds);
}

long long SchedNs(pid_t pid) {
    long long ns = -1;
    std::ifstream("/proc/" + std::to_string(pid) + "/schedstat") >> ns;
    return ns;
}

// A field of /proc/PID/status, in its own unit.
long long StatusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::atoll(line.c_str() + field.size() + 1);
    }
    return -1;
}

// CPU time and wake-ups with a silent device, and the peak resident memory.
// The window runs from 20 ms after one timeout's line to 20 ms after the line
// of the Nth timeout that follows: both ends find the service asleep in the
// same wait, so the window holds exactly N read timeouts.
void MeasureWaiting(const Options& options, const Scratch& scratch) {
    const int timeouts = options.shortMode ? 5 : 50;
    const std::string line = "[Debug] OutCount : 0 - 0\n";
    PtyDevice device;
    ServiceRun run(options, scratch, device);
    if (run.WaitFor(kOpened) < 0 || run.WaitFor(line, run.found) < 0) Fail("no start: " + run.received);
    const long long t0 = run.WaitFor(line, run.found);
    PauseMs(20);
    const long long cpu0 = SchedNs(run.pid);
    // A wake-up is a return from sleep: a voluntary switch. Being preempted
    // (a nonvoluntary switch) wakes nothing.
    const long long wake0 = StatusField(run.pid, "voluntary_ctxt_switches");
    long long t1 = t0;
    for (int n = 0; n < timeouts; ++n) t1 = run.WaitFor(line, run.found, 2000);
    if (t1 < 0) Fail("the silent device did not give one line per timeout");
    PauseMs(20);
    const long long cpu1 = SchedNs(run.pid);
    const long long wake1 = StatusField(run.pid, "voluntary_ctxt_switches");
    const double elapsed = static_cast<double>(t1 - t0) / 1e9;
    const long long peakKiB = StatusField(run.pid, "VmHWM");
    ReportValue("waiting: CPU time, share of one core", "%", static_cast<double>(cpu1 - cpu0) / 1e9 / elapsed * 100);
    ReportValue("waiting: wake-ups per second", "/s", static_cast<double>(wake1 - wake0) / elapsed);
    ReportValue("footprint: peak resident memory (Linux)", "KiB", static_cast<double>(peakKiB));
}

// A burst of non-completing samples as fast as the pty takes them; every
// sample must come out as its one OutCount line, in order.
void MeasureThroughput(const Options& options, const Scratch& scratch) {
    const size_t count = options.shortMode ? 20000 : 200000;
    PtyDevice device;
    ServiceRun run(options, scratch, device);
    if (run.WaitFor(kOpened) < 0) Fail("no start: " + run.received);
    const size_t header = run.found;
    device.WaitConfigured();

    // What the detector writes for the burst, from its start state.
    const std::string samples = NonCompletingSamples(count);
    char* text = nullptr;
    size_t textSize = 0;
    std::FILE* expectedOut = open_memstream(&text, &textSize);
    RecognitionDetector detector(expectedOut);
    for (const char sample : samples) detector.FeedSample(static_cast<unsigned char>(sample));
    std::fclose(expectedOut);
    const std::string expected(text, textSize);
    std::free(text);

    const long long start = NowNs();
    std::thread writer([&] { device.Send(samples); });
    const long long end = run.WaitForBytes(header + expected.size(), 60000);
    writer.join();
    if (end < 0) Fail("the burst's lines did not all arrive");
    const std::string got = run.received.substr(header, expected.size());
    size_t lines = 0;
    for (const char c : got) lines += c == '\n';
    const bool intact = got == expected;
    ReportValue("throughput: samples per second through a pty, trace to a pipe", "/s",
                static_cast<double>(count) / (static_cast<double>(end - start) / 1e9));
    ReportValue("throughput: samples lost or out of order", "", intact ? 0.0 : static_cast<double>(count));
    if (!intact) std::fprintf(stderr, "tandrel-service-bench: %zu lines came for %zu samples\n", lines, count);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string name = argv[0];
    if (name.size() >= 8 && name.compare(name.size() - 8, 8, "xdg-open") == 0) {
        WriteStamp(std::getenv("TANDREL_LAUNCH_STAMP"));
        return 0;
    }
    if (argc >= 4 && std::strcmp(argv[1], "--stamp-exec") == 0) {
        WriteStamp(argv[2]);
        execv(argv[3], argv + 3);
        return 127;
    }

    Options options;
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) Fail("cannot find this program");
    options.self.assign(self, static_cast<size_t>(length));
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--short") {
            options.shortMode = true;
        } else if (arg == "--service" && i + 1 < argc) {
            options.service = argv[++i];
        } else if (arg == "--only" && i + 1 < argc) {
            options.only = argv[++i];
        } else if (arg == "--private-dev" && i + 1 < argc) {
            options.privateDev = argv[++i];
        } else {
            Fail("usage: tandrel-service-bench --service PATH --private-dev PATH [--short] "
                 "[--only rounds|waiting|throughput]");
        }
    }
    if (options.service.empty() || options.privateDev.empty()) Fail("--service and --private-dev are needed");

    signal(SIGPIPE, SIG_IGN);
    Scratch scratch(options.self);
    const auto wanted = [&](const char* group) { return options.only.empty() || options.only == group; };
    if (wanted("rounds")) MeasureRounds(options, scratch);
    if (wanted("waiting")) MeasureWaiting(options, scratch);
    if (wanted("throughput")) MeasureThroughput(options, scratch);
    return 0;
}
