#pragma once

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "CapturedOutput.h"
#include "Platform.h"

// A scripted platform: which ports exist, how each step answers, and what the
// device sends. Every call is recorded in `calls`.
struct FakePlatform : Platform {
    // One read: a byte that arrives, or a timeout / failure. A queued byte
    // came with the one before it, so the read returns it without waiting.
    struct Read {
        ReadResult result;
        unsigned char byte = 0;
        bool queued = false;
    };
    static Read Byte(char c) { return {ReadResult::kByte, static_cast<unsigned char>(c)}; }
    static Read Queued(char c) { return {ReadResult::kByte, static_cast<unsigned char>(c), true}; }
    static Read Timeout() { return {ReadResult::kTimeout}; }
    static Read Failure() { return {ReadResult::kFailed}; }

    std::set<int> present;
    bool opens = true;
    bool timeoutsSet = true;
    bool settingsSet = true;
    std::vector<Read> reads;  // once they run out, reads fail
    bool launches = true;

    // When set, every read that waits notes whether all that was written to
    // this stream had reached the file by then.
    std::FILE* watched = nullptr;
    std::vector<bool> flushedBeforeWaiting;

    std::vector<std::string> calls;
    std::vector<int> probed;
    int closes = 0;

    bool IsComPortPresent(int number) override {
        probed.push_back(number);
        return present.count(number) != 0;
    }
    std::string DevicePath(int number) override { return "fake:COM" + std::to_string(number); }
    std::unique_ptr<SerialPort> OpenPort(const std::string& path) override;
    bool LaunchFileManager() override {
        calls.push_back("launch");
        return launches;
    }
};

class FakePort : public SerialPort {
public:
    explicit FakePort(FakePlatform& platform) : platform(platform) {}
    bool SetTimeouts() override {
        platform.calls.push_back("timeouts");
        return platform.timeoutsSet;
    }
    bool SetLineSettings() override {
        platform.calls.push_back("settings");
        return platform.settingsSet;
    }
    ReadResult ReadByte(unsigned char& buffer) override {
        platform.calls.push_back("read");
        if (platform.watched && !HasPendingInput()) {
            platform.flushedBeforeWaiting.push_back(EverythingFlushed(platform.watched));
        }
        if (next == platform.reads.size()) return ReadResult::kFailed;
        const FakePlatform::Read& read = platform.reads[next++];
        if (read.result == ReadResult::kByte) buffer = read.byte;
        return read.result;
    }
    bool HasPendingInput() const override { return next < platform.reads.size() && platform.reads[next].queued; }
    void Close() override {
        platform.calls.push_back("close");
        ++platform.closes;
    }

private:
    FakePlatform& platform;
    size_t next = 0;
};

inline std::unique_ptr<SerialPort> FakePlatform::OpenPort(const std::string& path) {
    calls.push_back("open " + path);
    if (!opens) return nullptr;
    return std::make_unique<FakePort>(*this);
}
