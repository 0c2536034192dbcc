// Journal throughput: messages per second through the real handler (open, append, close per
// message, plus the standard-error copy), from one thread and from four, with and without
// rotation into zip archives; and the same message repeated, which the journal folds into one line
// and a count.
//
//   bench_journal [--benchmark_filter=...]
//
// Runs in a temporary directory; standard error is sent to /dev/null while measuring.

#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include "journal.h"

namespace {

QTemporaryDir* workDir = nullptr;

void removeJournalFiles()
{
    QDir dir(workDir->path());
    for (const QString& name : dir.entryList({QStringLiteral("stendix*")}, QDir::Files))
        dir.remove(name);
}

// Without rotation: the journal is emptied (outside the timing) before it reaches the limit.
void BM_JournalNoRotation(benchmark::State& state)
{
    if (state.thread_index() == 0)
        removeJournalFiles();
    int sinceReset = 0;
    int n = 0;
    for (auto _ : state) {
        // Each text differs from the one before: every message is written.
        qInfo("Канал %d: частота %d Гц, напряжение %d мВ", 3, 1000 + (++n % 1000), 1500);
        if (++sinceReset == 2000) {
            sinceReset = 0;
            if (state.thread_index() == 0) {
                state.PauseTiming();
                if (QFile(QStringLiteral("stendix.log")).size() > 900000)
                    removeJournalFiles();
                state.ResumeTiming();
            }
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// With rotation: the journal grows freely and is archived every mebibyte.
void BM_JournalWithRotation(benchmark::State& state)
{
    if (state.thread_index() == 0)
        removeJournalFiles();
    int n = 0;
    for (auto _ : state)
        qInfo("Канал %d: частота %d Гц, напряжение %d мВ", 3, 1000 + (++n % 1000), 1500);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        int archives = 0;
        while (QFile::exists(QStringLiteral("stendix-%1.log.zip").arg(archives + 1)))
            ++archives;
        state.counters["archives"] = archives;
    }
}

// The same message over and over: counted, not written.
void BM_JournalRepeats(benchmark::State& state)
{
    if (state.thread_index() == 0)
        removeJournalFiles();
    for (auto _ : state)
        qCritical("Ошибка -105 (Модуль не открыт)");
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        finishJournal();
        state.counters["journal_bytes"] = double(QFile(QStringLiteral("stendix.log")).size());
    }
}

BENCHMARK(BM_JournalNoRotation)->Threads(1)->Threads(4)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_JournalWithRotation)->Threads(1)->Threads(4)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_JournalRepeats)->Threads(1)->MinTime(1.0)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir dir;
    workDir = &dir;
    QDir::setCurrent(dir.path());

    benchmark::Initialize(&argc, argv);
    const int savedStderr = dup(2);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 2);
    installJournal();
    // Results go to standard output, which stays where it is.
    benchmark::RunSpecifiedBenchmarks();
    qInstallMessageHandler(nullptr);
    dup2(savedStderr, 2);
    benchmark::Shutdown();
    return 0;
}
