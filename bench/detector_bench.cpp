// Samples per second through FeedSample, its lines going to a null sink and
// to a pipe that another thread drains.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "PtyDevice.h"
#include "RecognitionDetector.h"

namespace {

const std::string& Samples() {
    static const std::string samples = NonCompletingSamples(1 << 16);
    return samples;
}

void Feed(benchmark::State& state, std::FILE* out) {
    RecognitionDetector detector(out);
    const std::string& samples = Samples();
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(detector.FeedSample(static_cast<unsigned char>(samples[next])));
        next = (next + 1) % samples.size();
    }
    state.SetItemsProcessed(state.iterations());
}

void NullSink(benchmark::State& state) {
    std::FILE* out = std::fopen("/dev/null", "w");
    Feed(state, out);
    std::fclose(out);
}

void Pipe(benchmark::State& state) {
    int ends[2];
    if (pipe(ends) != 0) {
        state.SkipWithError("pipe");
        return;
    }
    std::thread drain([reader = ends[0]] {
        char chunk[65536];
        while (read(reader, chunk, sizeof chunk) > 0) {
        }
    });
    std::FILE* out = fdopen(ends[1], "w");
    Feed(state, out);
    std::fclose(out);  // ends the drain
    drain.join();
    close(ends[0]);
}

}  // namespace

BENCHMARK(NullSink);
BENCHMARK(Pipe);
BENCHMARK_MAIN();
