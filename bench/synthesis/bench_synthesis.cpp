// Synthesis of the largest outputs.
//
//   bench_synthesis [--benchmark_filter=...]
//
// Worst cyclic case: eight channels of awkward frequencies, 524288 samples each (4194304 in all):
// planning, filling every channel and turning the page into module words (everything before the
// transfer), against memset of the page's words measured in the same iterations.
// Streaming: the same eight channels at 24000 frames per second, 16777216 frames each, filled on
// demand one chunk (100 ms) at a time, against copying the chunk out of whole arrays; and the peak
// memory of a streaming synthesis in a child process of its own (bench_synthesis --memory-probe),
// VmHWM against VmRSS before it, beside what the whole signals would take.
//
// The module words need a configured module: the bench starts its own vekd (found beside it).
//
// The arbitrary shape: the fill of one channel against the sine's fill of the same length, in
// samples per second; the band-limited table of a fresh waveform; and the preparation of a
// waveform (its spectrum) when a file is loaded. These need no vekd.

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QFile>
#include <QMutex>
#include <QProcess>

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "modulesendervek72.h"
#include "procstatus.h"
#include "synthesis.h"
#include "vekdrunner.h"
#include "waveform.h"

namespace {

using Clock = std::chrono::steady_clock;

// Frequencies that never fit whole periods into fewer samples than the limit.
const double awkward[8] = {1234.5678901, 987.6543211, 2345.6789, 2999.98765,
                           111.1111111, 555.5555557, 777.7777771, 1.23456789};

struct Bench
{
    VekdRunner service;
    TVEK72 handle;
    QList<ChannelSignal> list;
    QList<ChannelSignal> outputData;
    QMutex mutex;
    ModuleSenderVek72* sender = nullptr;
    bool ready = false;
};

Bench* bench = nullptr;

bool openModule(Bench& b)
{
    if (!b.service.start())
        return false;
    VEK72_Init(&b.handle);
    return VEK72_Open(&b.handle, 0x7F000001u, 11111, "4B210736", 3) == 0;
}

// Eight channels of the awkward frequencies: sines and two triangles.
QList<ChannelSignal> awkwardSignals()
{
    QList<ChannelSignal> list;
    for (int c = 0; c < 8; ++c) {
        ChannelSignal s;
        s.channel = c + 1;
        s.shape = c % 4 == 3 ? ChannelSignal::Triangle : ChannelSignal::Sine;
        s.amplitude = 1.0 + c;
        s.offset = 0.25 * c - 1.0;
        s.frequency = awkward[c];
        list.append(s);
    }
    return list;
}

// The awkward channels, configured at 48 kHz (6000 samples per second each).
bool configure(Bench& b, bool cyclic)
{
    b.list = awkwardSignals();
    for (int c = 0; c < 8; ++c) {
        b.handle.config.channel[c].enabled = 1;
        b.handle.config.channel[c].output = 0;
        b.handle.config.channel[c].source = 0;
    }
    b.handle.config.outputMode = cyclic ? 0 : 1;
    b.handle.config.dacEnable = 1;
    VEK72_FillOutFreq(&b.handle.config, 48000, nullptr);
    return VEK72_Configure(&b.handle) == 0;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// One synthesis of the cyclic page per iteration (timed: the plan, every channel's samples and the
// page's words), then memset of the page's words (timed separately). The counters give both times
// and their ratio.
void BM_CyclicWorst(benchmark::State& state)
{
    Bench& b = *bench;
    if (!b.ready || !configure(b, true)) {
        state.SkipWithError("no configured module");
        return;
    }
    b.outputData = b.list;
    if (b.sender->prepareFirstBlock(true) == 0 || b.sender->signalLength() != 524288) {
        state.SkipWithError("synthesis refused, or the frequencies fit shorter than the limit");
        return;
    }
    std::vector<quint32> words(size_t(b.sender->transferWordCount()));
    double synthesis = 0, memsetTime = 0;
    for (auto _ : state) {
        b.outputData = b.list;  // records rebuilt as configuration does
        const auto t0 = Clock::now();
        const int period = b.sender->prepareFirstBlock(true);
        const auto t1 = Clock::now();
        benchmark::DoNotOptimize(period);
        std::memset(words.data(), 0, words.size() * sizeof(quint32));
        benchmark::ClobberMemory();
        const auto t2 = Clock::now();
        state.SetIterationTime(seconds(t1 - t0));
        synthesis += seconds(t1 - t0);
        memsetTime += seconds(t2 - t1);
    }
    state.counters["synthesis_ms"] = 1e3 * synthesis / double(state.iterations());
    state.counters["memset_ms"] = 1e3 * memsetTime / double(state.iterations());
    state.counters["ratio"] = synthesis / memsetTime;
    state.counters["MiB"] = double(words.size() * sizeof(quint32)) / 1048576.0;
}

// Streaming's work per chunk: 100 ms of the eight awkward channels at 24000 frames per second each
// (2400 frames), filled on demand at random positions of a signal of 16777216 frames and
// interleaved, against copying the same frames out of whole arrays of the signals, as a sender
// that keeps the signals whole would (the arrays filled once, outside the timing).
void BM_StreamingChunk(benchmark::State& state)
{
    const QList<ChannelSignal> list = awkwardSignals();
    const synthesis::Plan plan = synthesis::makePlan(list, 24000, false);
    QList<ChannelSignal> whole = list;
    if (!plan.ok() || !synthesis::synthesizeAll(whole, 24000, false)) {
        state.SkipWithError("no plan");
        return;
    }
    synthesis::FrameSource source(plan);
    const qint64 frames = 2400;
    std::vector<double> chunk(size_t(frames * 8));
    std::vector<const double*> from(8);
    qint64 position = 0;
    double onDemand = 0, copied = 0;
    for (auto _ : state) {
        position = (position * 1103515245 + 12345) % (plan.length - frames);
        const auto t0 = Clock::now();
        source.fill(chunk.data(), position, frames);
        benchmark::ClobberMemory();
        const auto t1 = Clock::now();
        for (int i = 0; i < 8; ++i)
            from[size_t(i)] = whole.at(i).samples.constData() + position;
        synthesis::interleaveFrames(from.data(), 8, chunk.data(), frames);
        benchmark::ClobberMemory();
        const auto t2 = Clock::now();
        state.SetIterationTime(seconds(t1 - t0));
        onDemand += seconds(t1 - t0);
        copied += seconds(t2 - t1);
    }
    state.counters["L"] = double(plan.length);
    state.counters["fill_us"] = 1e6 * onDemand / double(state.iterations());
    state.counters["copy_us"] = 1e6 * copied / double(state.iterations());
    state.counters["ratio"] = onDemand / copied;
}

// The library's conversion of one whole cyclic page, on its own.
void BM_PrepareDacData_4M(benchmark::State& state)
{
    Bench& b = *bench;
    if (!b.ready || !configure(b, true)) {
        state.SkipWithError("no configured module");
        return;
    }
    QVector<double> samples(4194304);
    for (int i = 0; i < samples.size(); ++i)
        samples[i] = std::sin(i * 0.001) * 9.0;
    QVector<quint32> words(samples.size());
    for (auto _ : state) {
        const int rc = VEK72_PrepareDacData(&b.handle, samples.constData(), quint32(samples.size()), 1,
                                            words.data(), nullptr);
        benchmark::DoNotOptimize(rc);
        benchmark::ClobberMemory();
    }
    state.counters["ns_per_sample"] = benchmark::Counter(
        double(state.iterations()) * samples.size(), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The child: a streaming synthesis of the eight awkward channels (the first chunk sent) in a fresh
// process: its resident memory before, at its peak and after.
int memoryProbe()
{
    Bench b;
    b.sender = new ModuleSenderVek72(&b.handle, &b.outputData, &b.mutex);
    if (!openModule(b) || !configure(b, false))
        return 1;
    b.outputData = b.list;
    const qint64 before = procstatus::kib("VmRSS") * 1024;
    const int period = b.sender->synthesize(false);
    const qint64 peak = procstatus::kib("VmHWM") * 1024;
    std::printf("%d %lld %lld %lld\n", period, before, peak, b.sender->signalLength() * 8 * 8);
    VEK72_Close(&b.handle);
    delete b.sender;
    return period > 0 ? 0 : 1;
}

void BM_StreamingWorst_PeakMemory(benchmark::State& state)
{
    qint64 before = 0, peak = 0, whole = 0;
    for (auto _ : state) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--memory-probe")});
        if (!child.waitForFinished(120000) || child.exitCode() != 0) {
            state.SkipWithError("the memory probe failed");
            return;
        }
        const QList<QByteArray> v = child.readAllStandardOutput().simplified().split(' ');
        if (v.size() != 4) {
            state.SkipWithError("the memory probe gave no answer");
            return;
        }
        before = v.at(1).toLongLong();
        peak = v.at(2).toLongLong();
        whole = v.at(3).toLongLong();
    }
    state.counters["base_MiB"] = double(before) / 1048576.0;
    state.counters["peak_MiB"] = double(peak) / 1048576.0;
    state.counters["growth_MiB"] = double(peak - before) / 1048576.0;
    // What the whole signals would take as arrays of samples.
    state.counters["signals_MiB"] = double(whole) / 1048576.0;
}

// N points of a sine with its fifth harmonic.
QVector<double> benchPeriod(int n)
{
    QVector<double> v(n);
    for (int j = 0; j < n; ++j)
        v[j] = std::sin(2 * M_PI * j / n) + 0.3 * std::sin(2 * M_PI * double((5 * qint64(j)) % n) / n);
    return v;
}

// Arguments: points of the period, frequency in millihertz. One channel alone, cyclic, 48 kHz. The
// band-limited table is made in the first iteration and kept with the waveform from there on, so
// this is the fill itself.
void BM_ArbitraryFill(benchmark::State& state)
{
    const int n = int(state.range(0));
    const double frequency = double(state.range(1)) / 1000.0;
    ChannelSignal arbitrary;
    arbitrary.shape = ChannelSignal::Arbitrary;
    arbitrary.frequency = frequency;
    arbitrary.amplitude = 5.0;
    arbitrary.offset = 0.5;
    arbitrary.phase = 120.0;
    arbitrary.waveform = Waveform::create(benchPeriod(n), QStringLiteral("bench"));
    ChannelSignal sine = arbitrary;
    sine.shape = ChannelSignal::Sine;
    const synthesis::Plan a = synthesis::makePlan({arbitrary}, 48000, true);
    const synthesis::Plan s = synthesis::makePlan({sine}, 48000, true);
    QVector<double> out;
    if (!a.ok() || !s.ok() || a.length != s.length || !synthesis::allocateSamples(out, a.length)) {
        state.SkipWithError("no plan");
        return;
    }
    const qint64 length = a.length;
    double arbitraryTime = 0, sineTime = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        synthesis::ChannelFiller(a.channels.at(0), length).fillStreaming(out.data(), 0, length);
        benchmark::ClobberMemory();
        const auto t1 = Clock::now();
        synthesis::ChannelFiller(s.channels.at(0), length).fillStreaming(out.data(), 0, length);
        benchmark::ClobberMemory();
        const auto t2 = Clock::now();
        state.SetIterationTime(seconds(t1 - t0));
        arbitraryTime += seconds(t1 - t0);
        sineTime += seconds(t2 - t1);
    }
    const double samples = double(length) * double(state.iterations());
    const qint64 harmonics = synthesis::ChannelFiller::harmonicLimit(n, a.channels.at(0).samplesPerPeriod);
    state.counters["samples"] = double(length);
    state.counters["table"] = double(synthesis::ChannelFiller::tableSizeFor(harmonics));
    state.counters["arbitrary_Msps"] = samples / arbitraryTime / 1e6;
    state.counters["sine_Msps"] = samples / sineTime / 1e6;
    state.counters["ratio"] = arbitraryTime / sineTime;
}

// The band-limited table of a period of N points at a frequency in millihertz, made once per
// waveform and harmonic count (a fresh waveform every iteration, made outside the timing).
void BM_ArbitraryTable(benchmark::State& state)
{
    const QVector<double> points = benchPeriod(int(state.range(0)));
    ChannelSignal arbitrary;
    arbitrary.shape = ChannelSignal::Arbitrary;
    arbitrary.frequency = double(state.range(1)) / 1000.0;
    arbitrary.amplitude = 5.0;
    arbitrary.waveform = Waveform::create(points, QStringLiteral("bench"));
    synthesis::Plan plan = synthesis::makePlan({arbitrary}, 48000, true);
    if (!plan.ok()) {
        state.SkipWithError("no plan");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        plan.channels[0].waveform = Waveform::create(points, QStringLiteral("bench"));
        state.ResumeTiming();
        synthesis::ChannelFiller filler(plan.channels.at(0), plan.length);
        benchmark::DoNotOptimize(&filler);
    }
    const qint64 harmonics = synthesis::ChannelFiller::harmonicLimit(points.size(), plan.channels.at(0).samplesPerPeriod);
    state.counters["table"] = double(synthesis::ChannelFiller::tableSizeFor(harmonics));
}

// The spectrum of a period of N points, computed once when the file is loaded.
void BM_WaveformCreate(benchmark::State& state)
{
    const QVector<double> v = benchPeriod(int(state.range(0)));
    for (auto _ : state) {
        WaveformPointer w = Waveform::create(v, QStringLiteral("bench"));
        benchmark::DoNotOptimize(w.data());
    }
}

} // namespace

// Frequencies in millihertz: 1234.567 Hz fills a whole page (4194300 samples, 19 harmonics);
// 1 Hz is one period of 48000 samples (23999 harmonics); 0.1 Hz one of 480000 samples, which
// keeps every harmonic of the longest file (the largest table).
BENCHMARK(BM_ArbitraryFill)
    ->Args({64, 1234567})
    ->Args({1048576, 1234567})
    ->Args({1048576, 1000})
    ->Args({1048576, 100})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ArbitraryTable)->Args({1048576, 1234567})->Args({1048576, 1000})->Args({1048576, 100})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WaveformCreate)->Arg(1024)->Arg(1048576)->Arg(1000000)->Arg(999983)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PrepareDacData_4M)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CyclicWorst)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_StreamingChunk)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StreamingWorst_PeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--memory-probe") == 0)
        return memoryProbe();
    Bench b;
    bench = &b;
    b.sender = new ModuleSenderVek72(&b.handle, &b.outputData, &b.mutex);
    b.ready = openModule(b);
    if (!b.ready)
        std::fprintf(stderr, "bench_synthesis: no vekd, the synthesis benchmarks are skipped\n");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    b.outputData.clear();
    delete b.sender;
    if (b.ready)
        VEK72_Close(&b.handle);
    bench = nullptr;
    return 0;
}
