// Synthesis of the largest outputs: planning, filling every channel, interleaving block 0 and
// turning it into module words (everything before the transfer), against memset of the same
// arrays measured in the same iterations.
//
//   bench_synthesis [--benchmark_filter=...]
//
// Worst cyclic case: eight channels of awkward frequencies, 524288 samples each (4194304 in all).
// Worst streaming case: the same eight channels streamed, 16777216 samples each (134217728 in all).
// "Restart" runs follow one another as restarts of the output do (the arrays of the last run come
// back); "first" runs start from released arrays, so the system has to supply fresh pages.
// The peak memory of a streaming synthesis is measured in a child process of its own
// (bench_synthesis --memory-probe), VmHWM against the bytes of the sample arrays and the block
// buffers.
//
// The module words need a configured module: the bench starts its own vekd (found beside it).
//
// The arbitrary shape: the fill of one channel (its preparation, the band-limited table, included)
// against the sine's fill of the same length, in samples per second; and the preparation of a
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

// Eight channels of the awkward frequencies, configured at 48 kHz (6000 samples per second each).
bool configure(Bench& b, bool cyclic)
{
    b.list.clear();
    for (int c = 0; c < 8; ++c) {
        ChannelSignal s;
        s.channel = c + 1;
        s.shape = c % 4 == 3 ? ChannelSignal::Triangle : ChannelSignal::Sine;
        s.amplitude = 1.0 + c;
        s.offset = 0.25 * c - 1.0;
        s.frequency = awkward[c];
        b.list.append(s);
        b.handle.config.channel[c].enabled = 1;
        b.handle.config.channel[c].output = 0;
        b.handle.config.channel[c].source = 0;
    }
    b.handle.config.outputMode = cyclic ? 0 : 1;
    b.handle.config.dacEnable = 1;
    VEK72_FillOutFreq(&b.handle.config, 48000, nullptr);
    return VEK72_Configure(&b.handle) == 0;
}

// memset over the arrays that the last synthesis filled: the eight sample arrays, the interleaved
// block and the words. (The arrays are shared with the sender, hence the casts: this bench
// overwrites them on purpose.)
qint64 memsetArrays(Bench& b)
{
    qint64 bytes = 0;
    for (const ChannelSignal& s : b.outputData) {
        std::memset(const_cast<double*>(s.samples.constData()), 0, size_t(s.samples.size()) * sizeof(double));
        bytes += qint64(s.samples.size()) * qint64(sizeof(double));
    }
    const QVector<double>& il = b.sender->interleavedBlock();
    std::memset(const_cast<double*>(il.constData()), 0, size_t(il.size()) * sizeof(double));
    const QVector<quint32>& w = b.sender->blockWords();
    std::memset(const_cast<quint32*>(w.constData()), 0, size_t(w.size()) * sizeof(quint32));
    benchmark::ClobberMemory();
    return bytes + qint64(il.size()) * 8 + qint64(w.size()) * 4;
}

// memset of freshly allocated arrays of the same sizes: the fair baseline for a synthesis that
// itself starts from fresh pages (large blocks come straight from the system, so every page faults).
double memsetFreshSeconds(Bench& b)
{
    std::vector<size_t> sizes;
    for (const ChannelSignal& s : b.outputData)
        sizes.push_back(size_t(s.samples.size()) * sizeof(double));
    sizes.push_back(size_t(b.sender->interleavedBlock().size()) * sizeof(double));
    sizes.push_back(size_t(b.sender->blockWords().size()) * sizeof(quint32));
    std::vector<void*> blocks;
    const auto t0 = Clock::now();
    for (size_t bytes : sizes) {
        void* p = std::malloc(bytes);
        // Not zero: malloc followed by a zero memset may be turned into calloc, which touches nothing.
        std::memset(p, 1, bytes);
        blocks.push_back(p);
    }
    benchmark::ClobberMemory();
    const auto t1 = Clock::now();
    for (void* p : blocks)
        std::free(p);
    return std::chrono::duration<double>(t1 - t0).count();
}

long minorFaults()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// One synthesis per iteration (timed), then memset of the same arrays (timed separately). The
// counters give both times and their ratio.
void runSynthesis(benchmark::State& state, bool cyclic, bool restart)
{
    Bench& b = *bench;
    if (!b.ready || !configure(b, cyclic)) {
        state.SkipWithError("no configured module");
        return;
    }
    b.outputData = b.list;
    if (b.sender->prepareFirstBlock(cyclic) == 0) {  // arrays of the right size exist from here on
        state.SkipWithError("synthesis refused");
        return;
    }
    const qint64 expected = cyclic ? 524288 : 16777216;
    if (b.outputData.first().samples.size() != expected) {
        state.SkipWithError("the frequencies fit shorter than the limit");
        return;
    }
    double synthesis = 0, memsetTime = 0, memsetFresh = 0;
    qint64 bytes = 0;
    long faults = 0;
    for (auto _ : state) {
        b.outputData = b.list;  // records rebuilt as configuration does
        if (!restart)
            b.sender->releaseSamples();
        const long faultsBefore = minorFaults();
        const auto t0 = Clock::now();
        const int period = b.sender->prepareFirstBlock(cyclic);
        const auto t1 = Clock::now();
        faults += minorFaults() - faultsBefore;
        benchmark::DoNotOptimize(period);
        bytes = memsetArrays(b);
        const auto t2 = Clock::now();
        state.SetIterationTime(seconds(t1 - t0));
        synthesis += seconds(t1 - t0);
        memsetTime += seconds(t2 - t1);
        if (!restart)
            memsetFresh += memsetFreshSeconds(b);
    }
    state.counters["synthesis_ms"] = 1e3 * synthesis / double(state.iterations());
    state.counters["memset_ms"] = 1e3 * memsetTime / double(state.iterations());
    state.counters["ratio"] = synthesis / memsetTime;
    if (!restart) {
        state.counters["memset_fresh_ms"] = 1e3 * memsetFresh / double(state.iterations());
        state.counters["ratio_fresh"] = synthesis / memsetFresh;
    }
    state.counters["MiB"] = double(bytes) / 1048576.0;
    state.counters["page_faults"] = double(faults) / double(state.iterations());
}

void BM_CyclicWorst_Restart(benchmark::State& state) { runSynthesis(state, true, true); }
void BM_CyclicWorst_First(benchmark::State& state) { runSynthesis(state, true, false); }
void BM_StreamingWorst_Restart(benchmark::State& state) { runSynthesis(state, false, true); }
void BM_StreamingWorst_First(benchmark::State& state) { runSynthesis(state, false, false); }

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

// Reads VmHWM and VmRSS of this process, in bytes.
void memoryOfThisProcess(qint64* peak, qint64* resident)
{
    QFile status(QStringLiteral("/proc/self/status"));
    *peak = *resident = 0;
    if (!status.open(QIODevice::ReadOnly))
        return;
    for (const QByteArray& line : status.readAll().split('\n')) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        if (parts.size() >= 2 && parts.at(0) == "VmHWM:")
            *peak = parts.at(1).toLongLong() * 1024;
        if (parts.size() >= 2 && parts.at(0) == "VmRSS:")
            *resident = parts.at(1).toLongLong() * 1024;
    }
}

// The child: one full streaming synthesis (with the transfer of block 0) in a fresh process.
int memoryProbe()
{
    Bench b;
    b.sender = new ModuleSenderVek72(&b.handle, &b.outputData, &b.mutex);
    if (!openModule(b) || !configure(b, false))
        return 1;
    b.outputData = b.list;
    qint64 peakBefore = 0, before = 0;
    memoryOfThisProcess(&peakBefore, &before);
    const int period = b.sender->synthesize(false);
    qint64 peak = 0, after = 0;
    memoryOfThisProcess(&peak, &after);
    qint64 arrays = 0;
    for (const ChannelSignal& s : b.outputData)
        arrays += qint64(s.samples.size()) * 8;
    const qint64 buffers = qint64(b.sender->interleavedBlock().size()) * 8 + qint64(b.sender->blockWords().size()) * 4;
    std::printf("%d %lld %lld %lld %lld\n", period, before, peak, arrays, buffers);
    VEK72_Close(&b.handle);
    delete b.sender;
    return period > 0 ? 0 : 1;
}

void BM_StreamingWorst_PeakMemory(benchmark::State& state)
{
    qint64 before = 0, peak = 0, arrays = 0, buffers = 0;
    for (auto _ : state) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--memory-probe")});
        if (!child.waitForFinished(120000) || child.exitCode() != 0) {
            state.SkipWithError("the memory probe failed");
            return;
        }
        const QList<QByteArray> v = child.readAllStandardOutput().simplified().split(' ');
        if (v.size() != 5) {
            state.SkipWithError("the memory probe gave no answer");
            return;
        }
        before = v.at(1).toLongLong();
        peak = v.at(2).toLongLong();
        arrays = v.at(3).toLongLong();
        buffers = v.at(4).toLongLong();
    }
    const double needed = double(arrays + buffers);
    state.counters["arrays_MiB"] = double(arrays) / 1048576.0;
    state.counters["buffers_MiB"] = double(buffers) / 1048576.0;
    state.counters["base_MiB"] = double(before) / 1048576.0;
    state.counters["peak_MiB"] = double(peak) / 1048576.0;
    state.counters["peak_ratio"] = double(peak) / needed;
    state.counters["growth_ratio"] = double(peak - before) / needed;
}

// N points of a sine with its fifth harmonic.
QVector<double> benchPeriod(int n)
{
    QVector<double> v(n);
    for (int j = 0; j < n; ++j)
        v[j] = std::sin(2 * M_PI * j / n) + 0.3 * std::sin(2 * M_PI * double((5 * qint64(j)) % n) / n);
    return v;
}

// Arguments: points of the period, frequency in millihertz. One channel alone, cyclic, 48 kHz.
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
// keeps every harmonic of the longest file (the largest table: its preparation dominates).
BENCHMARK(BM_ArbitraryFill)
    ->Args({64, 1234567})
    ->Args({1048576, 1234567})
    ->Args({1048576, 1000})
    ->Args({1048576, 100})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WaveformCreate)->Arg(1024)->Arg(1048576)->Arg(1000000)->Arg(999983)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PrepareDacData_4M)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CyclicWorst_Restart)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CyclicWorst_First)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_StreamingWorst_Restart)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(BM_StreamingWorst_First)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);
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
