#pragma once

#include <cstdint>
#include <cstdio>

// Turns the stream of samples read from the device into the one event the
// service waits for: a "1", a short run of "2" samples, then another "1".
// Every sample, whatever it is, ends with an OutCount trace line.
class RecognitionDetector {
public:
    // The detector's whole state; the default value is the start state.
    struct State {
        bool armed = false;
        std::int32_t outCount = 0;
        std::int32_t gapCount = 0;
        bool gapSeen = false;
    };

    // Whether every line is flushed as it is written, or the caller flushes
    // (the service does, before it waits for the next sample).
    enum class Flush { kEachLine, kByCaller };

    static constexpr std::int32_t kCountLimit = 9;
    static constexpr std::int32_t kGapTolerance = 4;

    // Lines go to `out`, by default each flushed as soon as it is written.
    explicit RecognitionDetector(std::FILE* out = stdout, Flush flush = Flush::kEachLine);
    // Starts from a given state, so that tests can reach states that take
    // billions of samples to build up.
    RecognitionDetector(const State& start, std::FILE* out, Flush flush = Flush::kEachLine);

    // Returns true when this sample completes the pattern.
    bool FeedSample(unsigned char sample);

private:
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    void Line(const char* format, ...);

    bool armed;
    std::int32_t outCount;
    std::int32_t gapCount;
    bool gapSeen;
    std::FILE* output;
    Flush flush;
};
