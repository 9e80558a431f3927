#include "RecognitionDetector.h"

#include <limits>

#include "TraceLine.h"

RecognitionDetector::RecognitionDetector(std::FILE* out, Flush flush) : RecognitionDetector(State{}, out, flush) {}

RecognitionDetector::RecognitionDetector(const State& start, std::FILE* out, Flush flush)
    : armed(start.armed),
      outCount(start.outCount),
      gapCount(start.gapCount),
      gapSeen(start.gapSeen),
      output(out),
      flush(flush) {}

bool RecognitionDetector::FeedSample(unsigned char sample) {
    bool recognized = false;
    if (!armed) {
        // The arming "1" is not reported.
        armed = sample == '1';
    } else if (sample == '1') {
        Line("[Debug] First recognition detected\n");
        const std::int32_t gap = gapCount - outCount;
        if (outCount <= kCountLimit && gapSeen && gap >= -kGapTolerance && gap <= kGapTolerance) {
            Line("[Debug] Second recognition detected\n");
            recognized = true;
            armed = false;
            outCount = 0;
        }
        gapCount = 0;
    } else if (sample == '2') {
        if (outCount <= kCountLimit) {
            gapSeen = true;
            // gapCount survives returns to idle, so a long run of them could
            // otherwise overflow; it saturates instead.
            if (gapCount < std::numeric_limits<std::int32_t>::max()) ++gapCount;
            ++outCount;
        } else {
            armed = false;
            outCount = 0;
        }
    }
    Line("[Debug] OutCount : %d - %d\n", static_cast<int>(outCount), static_cast<int>(gapCount));
    return recognized;
}

void RecognitionDetector::Line(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    WriteTraceLine(output, flush == Flush::kEachLine, format, args);
    va_end(args);
}
