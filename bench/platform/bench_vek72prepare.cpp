// VEK72_PrepareDacData on a handle whose applied configuration is set directly (the conversion is
// local to the library; no service is involved). Reports time per sample.
#include "vek72api.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

static void prepare(benchmark::State& state)
{
    const unsigned channels = unsigned(state.range(0));
    const uint32_t count = uint32_t(state.range(1));
    TVEK72 h;
    VEK72_Init(&h);
    h.info.modification = uint8_t(state.range(2));
    h.info.dacChannelCount = 8;
    h.applied = 1;
    h.appliedCount = uint8_t(channels);
    for (unsigned i = 0; i < channels; ++i) {
        h.appliedChannel[i] = uint8_t(i);
        h.appliedOutput[i] = uint8_t(i & 1);
    }
    std::vector<double> samples(count);
    for (uint32_t i = 0; i < count; ++i) samples[i] = 12.0 * std::sin(i * 0.001); // some saturate
    std::vector<uint32_t> words(count);
    for (auto _ : state) {
        int rc = VEK72_PrepareDacData(&h, samples.data(), count, VEK72_PREPARE_VOLTS, words.data(), nullptr);
        benchmark::DoNotOptimize(rc);
        benchmark::DoNotOptimize(words.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * count);
    state.counters["ns_per_sample"] =
        benchmark::Counter(double(count) * double(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                           benchmark::Counter::kIs1000);
}

// channels, samples per call, modification
BENCHMARK(prepare)
    ->Args({1, 2097152, 1})
    ->Args({3, 2097152, 2})
    ->Args({8, 2097152, 1})
    ->Args({8, 4194304, 2})
    ->Args({7, 4096, 1})
    ->Args({2, 48, 1})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
