// Plays a serial device on a pseudo-terminal pair, for demonstrations, tests
// and benchmarks without hardware.
//
//   tandrel-virtual-device STEP...
//
// Prints the path of the pty's slave end (the port a program opens) as the
// first line of standard output, then plays the steps on the master end:
//
//   1, 2, or any one character   write that byte
//   xHH                          write the byte with hex value HH
//   NNNms                        pause NNN milliseconds
//   configured                   wait until the other end has set the line to
//                                9600 baud and raw mode
//   settings                     report the line settings the other end set, as
//                                "settings ispeed=9600 ospeed=9600 csize=8 ..."
//   burst:N                      write N samples that never complete the
//                                pattern, as fast as the pty takes them
//   hangup                       close the master: the line hangs up
//
// Each step is announced on standard output ("sent 1", "paused 500ms", ...)
// as it finishes. After the last step the line stays open until standard
// input ends, so the other end does not see a hangup just because the script
// is over.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "PtyDevice.h"

namespace {

void Fail(const std::string& what) {
    std::fprintf(stderr, "tandrel-virtual-device: %s\n", what.c_str());
    std::exit(2);
}

void Announce(const std::string& what) {
    std::printf("%s\n", what.c_str());
    std::fflush(stdout);
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() > tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    PtyDevice device;
    if (!device.ok()) Fail("cannot create a pseudo-terminal");
    Announce(device.slavePath());

    for (int i = 1; i < argc; ++i) {
        const std::string step = argv[i];
        if (!device.ok()) Fail("step after hangup: " + step);
        bool sent = true;
        if (step.size() == 1) {
            sent = device.Send(step);
            Announce("sent " + step);
        } else if (step.size() == 3 && step[0] == 'x') {
            sent = device.Send(std::string(1, static_cast<char>(std::strtol(step.c_str() + 1, nullptr, 16))));
            Announce("sent " + step);
        } else if (EndsWith(step, "ms")) {
            PauseMs(std::atol(step.c_str()));
            Announce("paused " + step);
        } else if (step == "configured") {
            device.WaitConfigured();
            Announce("configured");
        } else if (step == "settings") {
            Announce(device.DescribeSettings());
        } else if (step.rfind("burst:", 0) == 0) {
            sent = device.Send(NonCompletingSamples(std::strtoul(step.c_str() + 6, nullptr, 10)));
            Announce("sent " + step);
        } else if (step == "hangup") {
            device.Hangup();
            Announce("hung up");
        } else {
            Fail("unknown step: " + step);
        }
        if (!sent) Fail("write to the pty failed");
    }

    // Hold the line until whoever started us lets go.
    char ignored[64];
    while (read(STDIN_FILENO, ignored, sizeof ignored) > 0) {
    }
    return 0;
}
