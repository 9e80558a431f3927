#include "TandrelService.h"

#include "RecognitionDetector.h"
#include "TraceLine.h"

std::optional<int> SelectComPort(Platform& platform) {
    std::optional<int> highest;
    for (int number = 0; number <= kHighestComPort; ++number) {
        if (platform.IsComPortPresent(number)) highest = number;
    }
    return highest;
}

namespace {

constexpr int kFailure = -1;

// Ends a run that got as far as opening the port: one close on every way out.
int CloseAndReturn(SerialPort& port, int status) {
    port.Close();
    return status;
}

}  // namespace

int RunTandrelService(Platform& platform, std::FILE* out) {
    TraceLine(out, "Tandrel-Win64  v0.1\n");
    TraceLine(out, "Copyright (C) 2026 The Tandrel developers\n");
    TraceLine(out, "\n");

    const std::optional<int> number = SelectComPort(platform);
    if (!number) {
        TraceLine(out, "[Debug] No serial port found\n");
        return kFailure;
    }
    TraceLine(out, "[Debug] Selected port %d\n", *number);

    const std::string path = platform.DevicePath(*number);
    TraceLine(out, "[Debug] Filename : %s\n", path.c_str());

    const std::unique_ptr<SerialPort> port = platform.OpenPort(path);
    if (!port) {
        // The timeouts cannot be set on a port that did not open; the trace
        // says so, without handing the failed open to the platform again.
        TraceLine(out, "[Debug] Error in opening serial port\n");
        TraceLine(out, "[Debug] Failed to set serial timeouts\n");
        return kFailure;
    }
    TraceLine(out, "[Debug] opening serial port successful\n");

    if (!port->SetTimeouts()) {
        TraceLine(out, "[Debug] Failed to set serial timeouts\n");
        return CloseAndReturn(*port, kFailure);
    }
    if (!port->SetLineSettings()) {
        TraceLine(out, "[Debug] Failed to set serial settings\n");
        return CloseAndReturn(*port, kFailure);
    }

    // The detector's lines are flushed before every wait for the device, so
    // nothing is held back while the service listens, but the lines of a
    // burst of bytes that arrived together leave in one write.
    RecognitionDetector detector(out, RecognitionDetector::Flush::kByCaller);
    // A read that times out leaves the buffer alone, so the last byte is fed
    // again; before the first byte arrives that is 0, which means nothing.
    unsigned char buffer = 0;
    for (;;) {
        if (!port->HasPendingInput()) std::fflush(out);
        if (port->ReadByte(buffer) == ReadResult::kFailed) {
            TraceLine(out, "[Debug] Error reading serial port\n");
            return CloseAndReturn(*port, kFailure);
        }
        if (detector.FeedSample(buffer)) break;
    }
    std::fflush(out);

    if (!platform.LaunchFileManager()) {
        TraceLine(out, "[Debug] Failed to open the file manager\n");
        return CloseAndReturn(*port, kFailure);
    }
    return CloseAndReturn(*port, 0);
}
