// The program's output against a vekd of its own.
//
//   bench_output stream [--seconds N] [--only RATE/CHANNELS/SIZE]
//       Streams with the program's sender (ModuleSenderVek72) for N seconds (default 60), all at
//       once, one module each: every DAC rate (48, 96, 192 kHz) with 1, 2, 3 and 8 channels, for
//       signals of the shortest length (1 ms), a mid-sized one (100 ms) and a long one (three times
//       as many words as the FIFO holds). Reports per stream the underruns and frame periods
//       without data the module counted, the short or failed sends, the CPU time of the sender's
//       thread per second of output, and whether the frames played last followed the signal.
//
//   bench_output targets [--count N]
//       Streaming as the operator makes it, with the panels offscreen and the module object on a
//       thread of its own: (1) eight channels at awkward frequencies (L near its limit) at 192 kHz:
//       starts (the button to vekd playing), N changes of channel 1's voltage with Return (Return to
//       the change taken, the new signals queued), the process's memory (VmRSS idle, VmHWM from the
//       first start on, VmRSS after "Стоп"); (2) one channel at 1234.567 Hz against one at 1000 Hz,
//       starts and changes; (3) with the sender alone, the start of eight channels of one
//       1048576-point file against one channel of it, the file loaded afresh for every start.
//
//   bench_output restart [--count N] [--streaming]
//       Eight channels at 1 kHz play (cyclic, or streaming), with the panels offscreen and the module
//       object on a thread of its own, as in the program. N times (default 20): a new voltage typed
//       into channel 1 and Return, timed until vekd plays it; the module's counters over all of them
//       (starts, stops, stopped frame periods) and the seven unchanged channels, captured across every
//       change, against one sine. Then N changes of the common range, which take the full restart,
//       timed until the module plays again. Reports min, median, 95th percentile and max.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QThread>
#include <QFile>
#include <QTemporaryDir>
#include <QProcess>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "benchstatus.h"
#include "client.h"
#include "modulesendervek72.h"
#include "operatorbench.h"
#include "played.h"
#include "procstatus.h"
#include "synthesis.h"
#include "vek72api.h"
#include "vekdrunner.h"
#include "waveform.h"

namespace {

// ---- Status straight from the service (vekctl would take milliseconds per look) -----------------

QJsonObject serviceStatus()
{
    vekproto::Endpoint ep;
    if (!vekproto::serviceEndpoint(0x7F000001u, 11111, ep))
        return {};
    const int fd = vekproto::connectTo(ep, vekproto::deadlineIn(5000), nullptr);
    if (fd < 0)
        return {};
    std::vector<uint8_t> reply;
    const vekproto::Io r = vekproto::exchange(fd, vekproto::OpCtlStatus, 1, {}, nullptr, 0, vekproto::deadlineIn(5000), reply);
    vekproto::closeSocket(fd);
    if (r != vekproto::Io::Ok)
        return {};
    vekproto::Reader rd(reply.data(), reply.size());
    rd.i32();
    return QJsonDocument::fromJson(QByteArray::fromStdString(rd.str(reply.size()))).object();
}

qint64 counterOf(const QJsonObject& module, const char* name)
{
    return qint64(module.value("counters").toObject().value(QLatin1String(name)).toDouble(-1));
}

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// ---- Streaming ----------------------------------------------------------------------------------

struct Stream
{
    int dacKhz = 0;
    int channels = 0;
    QString size;       // "1 ms", "100 ms", "FIFO"
    QString crate;
    int slot = 0;

    TVEK72 handle{};
    QMutex samples;
    QMutex handleLock;
    QList<ChannelSignal> outputData;
    QThread thread;
    ModuleSenderVek72* sender = nullptr;
    double rate = 0;             // frames per second
    qint64 length = 0;           // frames of the signal
    double cpuStart = 0;
    double cpuEnd = 0;
    std::atomic<int> sendFaults{0};
    QString failure;

    QString name() const { return QStringLiteral("%1 kHz/%2/%3").arg(dacKhz).arg(channels).arg(size); }
};

std::vector<Stream*> streams;

void countSendFaults(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtCriticalMsg)
        return;
    for (Stream* s : streams) {
        if (QThread::currentThread() == &s->thread) {
            if (text.startsWith(QStringLiteral("Ошибка при отправке")) || text.startsWith(QStringLiteral("Ошибка! Количество")))
                ++s->sendFaults;
            return;
        }
    }
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

// The signals of a stream. The frequencies are exact in binary, so that the planner finds the
// whole periods at once: channel 1 one sine over the whole signal, the others two periods of it.
QList<ChannelSignal> signalsFor(const Stream& s)
{
    const qint64 rate = qint64(s.rate);
    qint64 length = rate / 1000;                         // 1 ms
    if (s.size == "100 ms")
        length = rate / 10;
    if (s.size == "FIFO") {
        int k = 1;
        while (k < s.channels)
            k *= 2;
        length = 3 * (qint64(VEK72_FIFO_WORDS) / k);     // three blocks, each the FIFO's size
    }
    QList<ChannelSignal> list;
    for (int c = 1; c <= s.channels; ++c) {
        ChannelSignal signal;
        signal.channel = c;
        signal.amplitude = c == 1 ? 9.0 : 2.0;
        signal.frequency = c == 1 ? s.rate / double(length) : s.rate / double(length / 2);
        list.append(signal);
    }
    return list;
}

bool setUp(Stream& s)
{
    VEK72_Init(&s.handle);
    const QByteArray crate = s.crate.toLatin1();
    if (VEK72_Open(&s.handle, 0x7F000001u, 11111, crate.constData(), quint16(s.slot)) != 0)
        return false;
    for (int c = 0; c < 8; ++c)
        s.handle.config.channel[c] = TVEK72_CHANNEL{uint8_t(c < s.channels), 0, 0, 0};
    s.handle.config.outputMode = 1;
    s.handle.config.dacEnable = 1;
    VEK72_FillOutFreq(&s.handle.config, s.dacKhz * 1000.0, nullptr);
    if (VEK72_Configure(&s.handle) != 0)
        return false;
    s.rate = s.handle.state.outputRate;
    s.outputData = signalsFor(s);
    s.sender = new ModuleSenderVek72(&s.handle, &s.outputData, &s.samples, &s.handleLock);
    s.sender->moveToThread(&s.thread);
    s.thread.start();
    if (s.sender->synthesize(false) == 0)
        return false;
    s.length = s.sender->signalLength();
    QMetaObject::invokeMethod(s.sender, [&s] { s.cpuStart = threadCpuSeconds(); }, Qt::BlockingQueuedConnection);
    return s.sender->startOutput();
}

// The last frames played against the signal: the frame the capture ends at is known from the
// frames played just after it, to within the few frames played in between.
QString checkOrder(Stream& s, VekdRunner& service)
{
    const int frames = int(std::min<qint64>(qint64(s.rate), 1000000 / s.channels));
    QByteArray out;
    QTemporaryDir dir;
    const QString path = dir.filePath("f.csv");
    if (service.vekctl({"capture", "--crate", s.crate, "--slot", QString::number(s.slot), "--frames",
                        QString::number(frames), "--out", path}) != 0)
        return QStringLiteral("no capture");
    const qint64 playedAfter = counterOf(benchstatus::module(serviceStatus(), s.crate, s.slot), "framesPlayed");
    QList<QByteArray> lines = apptest::readFile(path).split('\n');
    lines.removeFirst();
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    std::vector<std::vector<double>> rows;
    for (const QByteArray& line : lines) {
        std::vector<double> row;
        for (const QByteArray& cell : line.split(','))
            row.push_back(cell.toDouble());
        rows.push_back(row);
    }
    const qint64 n = qint64(rows.size());
    // The signal over the frames the capture can stand for, filled as the sender fills it.
    const qint64 lags = qint64(s.rate);
    const qint64 earliest = std::max<qint64>(0, playedAfter - lags - n);
    synthesis::FrameSource source(synthesis::makePlan(s.outputData, s.rate, false));
    std::vector<double> signal(size_t((playedAfter - earliest) * s.channels));
    source.fill(signal.data(), earliest, playedAfter - earliest);
    for (qint64 lag = 0; lag < lags; ++lag) {   // frames played between capture and status
        const qint64 first = playedAfter - lag - n;
        if (first < 0)
            break;
        bool match = true;
        for (qint64 k = 0; k < n && match; k += std::max<qint64>(1, n / 4000)) {
            for (int c = 0; c < s.channels && match; ++c)
                match = std::abs(rows[size_t(k)][size_t(c)] - signal[size_t((first - earliest + k) * s.channels + c)]) < 0.002;
        }
        if (match)
            return QString();
    }
    return QStringLiteral("out of order");
}

int runStreams(double seconds, const QString& only)
{
    // One module per stream: 16 crates of up to 12 slots.
    const int dacs[] = { 48, 96, 192 };
    const int counts[] = { 1, 2, 3, 8 };
    const char* sizes[] = { "1 ms", "100 ms", "FIFO" };
    QJsonArray crates;
    int index = 0;
    for (int dac : dacs) {
        for (int channels : counts) {
            for (const char* size : sizes) {
                auto* s = new Stream;
                s->dacKhz = dac;
                s->channels = channels;
                s->size = QLatin1String(size);
                if (!only.isEmpty() && s->name() != only) {
                    delete s;
                    continue;
                }
                s->crate = QStringLiteral("B%1").arg(index / 12);
                s->slot = 1 + index % 12;
                ++index;
                streams.push_back(s);
            }
        }
    }
    QMap<QString, QJsonArray> slotsOf;
    for (Stream* s : streams)
        slotsOf[s->crate].append(QJsonObject{{"slot", s->slot}, {"type", 8995}, {"modification", 1}, {"channels", 8}});
    for (auto it = slotsOf.begin(); it != slotsOf.end(); ++it)
        crates.append(QJsonObject{{"serial", it.key()}, {"slots", it.value()}});
    VekdRunner service;
    if (!service.start(QJsonDocument(QJsonObject{{"crates", crates}}).toJson()))
        return 1;
    qInstallMessageHandler(countSendFaults);

    for (Stream* s : streams) {
        if (!setUp(*s))
            s->failure = QStringLiteral("did not start");
    }
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < qint64(seconds * 1000))
        QThread::msleep(200);

    std::printf("%-18s %9s %9s %10s %11s %8s %7s\n", "stream", "L frames", "underruns",
                "no-data fr", "short sends", "CPU %", "order");
    double worst = 0;
    qint64 underrunsTotal = 0, faultsTotal = 0;
    for (Stream* s : streams) {
        QString order = s->failure;
        if (order.isEmpty())
            order = checkOrder(*s, service);
        QMetaObject::invokeMethod(s->sender, [s] { s->cpuEnd = threadCpuSeconds(); }, Qt::BlockingQueuedConnection);
        const QJsonObject module = benchstatus::module(serviceStatus(), s->crate, s->slot);
        const qint64 underruns = counterOf(module, "underruns");
        const double outputSeconds = double(counterOf(module, "framesPlayed")) / s->rate;
        const double cpu = outputSeconds > 0 ? 100.0 * (s->cpuEnd - s->cpuStart) / outputSeconds : 0;
        worst = std::max(worst, cpu);
        underrunsTotal += underruns;
        faultsTotal += s->sendFaults;
        std::printf("%-18s %9lld %9lld %10lld %11d %8.3f %7s\n", qPrintable(s->name()), s->length,
                    underruns, counterOf(module, "underrunFrames"), s->sendFaults.load(), cpu,
                    order.isEmpty() ? "yes" : qPrintable(order));
        s->sender->stopOutput();
        s->thread.quit();
        s->thread.wait();
        delete s->sender;
        VEK72_Close(&s->handle);
    }
    std::printf("streams %zu, %.0f s each: underruns %lld, short or failed sends %lld, worst sender CPU %.3f %% of one core\n",
                streams.size(), seconds, underrunsTotal, faultsTotal, worst);
    return underrunsTotal == 0 && faultsTotal == 0 ? 0 : 3;
}

// ---- Changes and restarts while playing --------------------------------------------------------

// Waits for `done` with this thread in a real event loop, as the program's GUI thread is (a test's
// qWaitFor serves events only every 10 ms, which would add up to 10 ms to every visit the module
// makes to the panels).
bool waitServing(const std::function<bool()>& done, int timeoutMs)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer bound;
    bound.setSingleShot(true);
    QObject::connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start(1);
    bound.start(timeoutMs);
    if (!done())
        loop.exec();
    return done();
}

QString percentiles(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double p) { return ms[size_t(std::lround(p * double(ms.size() - 1)))]; };
    return QString::asprintf("min %.1f ms, median %.1f ms, 95th percentile %.1f ms, max %.1f ms", ms.front(), at(0.5),
                             at(0.95), ms.back());
}

// Eight channels at 1 kHz (channel 1 at 1000 mV, the others at 500 mV) play in the mode asked for,
// with the panels offscreen and the module object on a thread of its own, as in the program. N times:
// a new voltage typed into channel 1 and Return (a change the module takes without a stop), timed
// until vekd plays it (its page switched, or in streaming its words received); then N times the
// common range (the full restart), timed until the module plays again.
int runRestarts(int count, bool streaming)
{
    OperatorBench bench;
    if (!bench.open(3, false))
        return 1;
    const char* crate = "4B210736";
    if (streaming) {
        bench.pick(bench.hosts.combo("comboBoxMode"), "Потоковый");
        bench.settle();
    }
    bench.clickAllChannels();
    bench.settle();
    bench.pick(bench.commonRange(), "7 В");
    bench.settle();
    bench.type(bench.commonVoltage(), "500");
    bench.settle();
    QTest::mouseClick(bench.startStop(), Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return benchstatus::module(serviceStatus(), crate, 3).value("running").toBool(); }, 20000))
        return 1;
    bench.settle();
    const double rate = 24000;   // 192 kHz shared by eight channels
    const QJsonObject begin = benchstatus::module(serviceStatus(), crate, 3);

    using Clock = std::chrono::steady_clock;
    // Presses Return in `field` and times until `arrived` sees the module play the change.
    const auto timed = [&](QAbstractSpinBox* field, const std::function<bool(const QJsonObject&)>& arrived) {
        std::atomic<bool> done{false};
        Clock::time_point playing;
        std::thread watcher([&] {
            while (!done) {
                if (arrived(benchstatus::module(serviceStatus(), crate, 3))) {
                    playing = Clock::now();
                    done = true;
                }
            }
        });
        const Clock::time_point pressed = Clock::now();
        bench.pressReturn(field);
        const bool seen = waitServing([&] { return done.load(); }, 10000);
        done = true;
        watcher.join();
        bench.settle();
        return seen ? std::chrono::duration<double, std::milli>(playing - pressed).count() : -1.0;
    };

    std::vector<double> changes;
    for (int i = 0; i < count; ++i) {
        const QJsonObject before = benchstatus::module(serviceStatus(), crate, 3);
        const qint64 switches = counterOf(before, "pageSwitches");
        const qint64 words = counterOf(before, "wordsReceived");
        bench.type(bench.channelVoltage(1), QString::number(1000 + 100 * (i % 2 + 1)));
        bench.settle();
        changes.push_back(timed(bench.channelVoltage(1), [&](const QJsonObject& m) {
            return streaming ? counterOf(m, "wordsReceived") > words && counterOf(m, "stops") == counterOf(before, "stops")
                             : counterOf(m, "pageSwitches") > switches;
        }));
        // Spread the changes over the capture.
        const qint64 from = counterOf(benchstatus::module(serviceStatus(), crate, 3), "framesPlayed");
        (void)QTest::qWaitFor([&] { return counterOf(benchstatus::module(serviceStatus(), crate, 3), "framesPlayed") > from + 1200; },
                              10000);
    }
    const QJsonObject after = benchstatus::module(serviceStatus(), crate, 3);
    const qint64 played = counterOf(after, "framesPlayed") - counterOf(begin, "framesPlayed");

    // The unchanged channels across every change: one sine each (channels 2 to 8, 1 kHz, 24 samples
    // a period), from a capture of what the module played.
    double worst = 0;
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("frames.csv");
        const int frames = int(std::min<qint64>(played, 1048576 / 8));
        QProcess vekctl;
        vekctl.start(qEnvironmentVariable("VEKCTL_PATH", QCoreApplication::applicationDirPath() + "/vekctl"),
                     {"capture", "--crate", crate, "--slot", "3", "--frames", QString::number(frames), "--out", path});
        vekctl.waitForFinished(30000);
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        const QList<QByteArray> lines = file.readAll().split('\n');
        QVector<QVector<double>> columns(8);
        for (int i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> cells = lines.at(i).split(',');
            if (cells.size() == 8)
                for (int c = 0; c < 8; ++c)
                    columns[c].append(cells.at(c).toDouble());
        }
        for (int c = 1; c < 8; ++c)
            worst = std::max(worst, columns[c].isEmpty() ? 1e9 : distanceFromOneSine(columns[c], 1000.0 / rate));
    }
    std::printf("%s, 8 channels at 1 kHz: %d changes of one channel's voltage with Return, played after %s\n"
                "  starts %lld, stops %lld, stopped frame periods %lld, underruns %lld; the 7 unchanged channels "
                "across every change within %.2f mV of one sine\n",
                streaming ? "streaming" : "cyclic", count, qPrintable(percentiles(changes)),
                counterOf(after, "starts") - counterOf(begin, "starts"), counterOf(after, "stops") - counterOf(begin, "stops"),
                counterOf(after, "stoppedFramePeriods") - counterOf(begin, "stoppedFramePeriods"),
                counterOf(after, "underruns") - counterOf(begin, "underruns"), worst * 1000);

    // The full restart: the common range changes every channel's configuration.
    std::vector<double> restarts;
    for (int i = 0; i < count; ++i) {
        const qint64 starts = counterOf(benchstatus::module(serviceStatus(), crate, 3), "starts");
        const QString range = i % 2 ? QStringLiteral("7 В") : QStringLiteral("0.7 В");
        std::atomic<bool> done{false};
        Clock::time_point playing;
        std::thread watcher([&] {
            while (!done) {
                const QJsonObject m = benchstatus::module(serviceStatus(), crate, 3);
                if (counterOf(m, "starts") > starts && m.value("running").toBool()) {
                    playing = Clock::now();
                    done = true;
                }
            }
        });
        const Clock::time_point picked = Clock::now();
        bench.commonRange()->setCurrentIndex(bench.commonRange()->findText(range));
        const bool seen = waitServing([&] { return done.load(); }, 10000);
        done = true;
        watcher.join();
        bench.settle();
        restarts.push_back(seen ? std::chrono::duration<double, std::milli>(playing - picked).count() : -1.0);
    }
    std::printf("%s, 8 channels: %d changes of the common range (the full restart), playing again after %s\n",
                streaming ? "streaming" : "cyclic", count, qPrintable(percentiles(restarts)));
    const bool gapFree = counterOf(after, "stops") == counterOf(begin, "stops")
                         && counterOf(after, "stoppedFramePeriods") == counterOf(begin, "stoppedFramePeriods");
    return changes.front() >= 0 && restarts.front() >= 0 && gapFree && worst < 0.001 ? 0 : 3;
}

// ---- Targets of streaming on demand -------------------------------------------------------------

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[size_t(std::lround(p * double(v.size() - 1)))];
}

// When the module last said that a change was taken ("Генерация изменена: ..."), from any thread.
std::atomic<qint64> changeTakenNs{0};
void noteChanges(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtInfoMsg && text.startsWith(QStringLiteral("Генерация изменена")))
        changeTakenNs = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    else if (type == QtCriticalMsg || type == QtWarningMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

struct Operated
{
    std::vector<double> starts;    // ms, the button to vekd playing
    std::vector<double> changes;   // ms, Return to the change taken
    double idle = 0, peak = 0, stopped = 0;   // MiB
    qint64 underruns = -1, stops = -1;        // during the changes
};

// Streaming at 192 kHz through the panels: the channels given (frequencies as typed), `startCount`
// starts and stops, then `changeCount` changes of channel 1's voltage while playing, then "Стоп".
bool operate(const QStringList& frequencies, int startCount, int changeCount, Operated* out)
{
    OperatorBench bench;
    if (!bench.open(3, false))
        return false;
    const char* crate = "4B210736";
    bench.pick(bench.hosts.combo("comboBoxMode"), "Потоковый");
    bench.pick(bench.hosts.combo("comboBoxDacFreq"), "192 кГц");
    bench.settle();
    for (int c = 0; c < frequencies.size(); ++c)
        setChannel(bench, {c + 1, "AC", "7 В", "1000", frequencies.at(c)});
    bench.settle();
    out->idle = procstatus::mib("VmRSS");
    if (!procstatus::resetPeak())
        return false;
    using Clock = std::chrono::steady_clock;
    const auto running = [&] { return benchstatus::module(serviceStatus(), crate, 3).value("running").toBool(); };
    // The button, timed until vekd says whether it plays.
    const auto press = [&](bool on) {
        std::atomic<bool> done{false};
        Clock::time_point seen;
        std::thread watcher([&] {
            while (!done) {
                if (running() == on) {
                    seen = Clock::now();
                    done = true;
                }
            }
        });
        const Clock::time_point pressed = Clock::now();
        QTest::mouseClick(bench.startStop(), Qt::LeftButton);
        const bool ok = waitServing([&] { return done.load(); }, 20000);
        done = true;
        watcher.join();
        bench.settle();
        return ok ? std::chrono::duration<double, std::milli>(seen - pressed).count() : -1.0;
    };
    for (int i = 0; i < startCount; ++i) {
        out->starts.push_back(press(true));
        if (i + 1 < startCount && press(false) < 0)
            return false;
    }
    const QJsonObject before = benchstatus::module(serviceStatus(), crate, 3);
    for (int i = 0; i < changeCount; ++i) {
        bench.type(bench.channelVoltage(1), QString::number(1000 + 100 * (i % 2 + 1)));
        bench.settle();
        changeTakenNs = 0;
        const qint64 pressed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
        bench.pressReturn(bench.channelVoltage(1));
        const bool taken = waitServing([] { return changeTakenNs.load() != 0; }, 10000);
        out->changes.push_back(taken ? double(changeTakenNs.load() - pressed) / 1e6 : -1.0);
        bench.settle();
    }
    const QJsonObject after = benchstatus::module(serviceStatus(), crate, 3);
    out->underruns = counterOf(after, "underruns") - counterOf(before, "underruns");
    out->stops = counterOf(after, "stops") - counterOf(before, "stops");
    out->peak = procstatus::mib("VmHWM");
    if (press(false) < 0)
        return false;
    out->stopped = procstatus::mib("VmRSS");
    return true;
}

// The sender alone: `channels` channels of one freshly loaded 1048576-point period at 1234.567 Hz,
// synthesised and started (the file's spectrum is the load's, the band-limited table the start's).
std::vector<double> arbitraryStarts(int channels, int count)
{
    std::vector<double> ms;
    TVEK72 handle;
    VEK72_Init(&handle);
    if (VEK72_Open(&handle, 0x7F000001u, 11111, "4B210736", 3) != 0)
        return ms;
    QVector<double> points(1048576);
    for (int j = 0; j < points.size(); ++j)
        points[j] = std::sin(2 * M_PI * j / points.size()) + 0.3 * std::sin(2 * M_PI * double((5 * qint64(j)) % points.size()) / points.size());
    QMutex samples, handleLock;
    QList<ChannelSignal> outputData;
    QThread thread;
    auto* sender = new ModuleSenderVek72(&handle, &outputData, &samples, &handleLock);
    sender->moveToThread(&thread);
    thread.start();
    for (int c = 0; c < 8; ++c)
        handle.config.channel[c] = TVEK72_CHANNEL{uint8_t(c < channels), 0, 0, 0};
    if (sender->configure(false, 192000)) {
        for (int i = 0; i < count; ++i) {
            const WaveformPointer file = Waveform::create(points, QStringLiteral("period.csv"));
            outputData.clear();
            for (int c = 1; c <= channels; ++c) {
                ChannelSignal s;
                s.channel = c;
                s.shape = ChannelSignal::Arbitrary;
                s.frequency = 1234.567;
                s.amplitude = 1.0 + c;
                s.waveform = file;
                outputData.append(s);
            }
            const auto t0 = std::chrono::steady_clock::now();
            const bool started = sender->synthesize(false) != 0 && sender->startOutput();
            const auto t1 = std::chrono::steady_clock::now();
            ms.push_back(started ? std::chrono::duration<double, std::milli>(t1 - t0).count() : -1.0);
            sender->stopOutput();
        }
    }
    thread.quit();
    thread.wait();
    delete sender;
    VEK72_Close(&handle);
    return ms;
}

int runTargets(int count)
{
    qInstallMessageHandler(noteChanges);
    // Eight channels at frequencies that fit no short common length.
    const QStringList awkward{"1234.567", "987.654", "2345.679", "2999.988", "111.111", "555.556", "777.778", "1.235"};
    Operated eight;
    if (!operate(awkward, 10, count, &eight))
        return 1;
    const synthesis::Plan plan = [&] {
        QList<ChannelSignal> list;
        for (const QString& f : awkward) {
            ChannelSignal s;
            s.frequency = f.toDouble();
            s.amplitude = 1.0;
            list.append(s);
        }
        return synthesis::makePlan(list, 24000, false);
    }();
    std::printf("8 channels at awkward frequencies, 192 kHz streaming, L = %lld frames (%.0f MiB of samples as whole arrays)\n",
                plan.length, double(plan.length) * 8 * 8 / 1048576.0);
    std::printf("  start: first %.1f ms, median %.1f ms, max %.1f ms (%zu starts)\n", eight.starts.front(), median(eight.starts),
                *std::max_element(eight.starts.begin(), eight.starts.end()), eight.starts.size());
    std::printf("  change (Return to taken): median %.2f ms, 99th percentile %.2f ms, max %.2f ms (%zu changes); "
                "underruns %lld, stops %lld\n",
                median(eight.changes), percentile(eight.changes, 0.99),
                *std::max_element(eight.changes.begin(), eight.changes.end()), eight.changes.size(), eight.underruns, eight.stops);
    std::printf("  memory: idle %.1f MiB, peak %.1f MiB (+%.1f), after Стоп %.1f MiB (+%.1f)\n", eight.idle, eight.peak,
                eight.peak - eight.idle, eight.stopped, eight.stopped - eight.idle);

    Operated awkwardOne, roundOne;
    if (!operate({"1234.567"}, 10, count / 2, &awkwardOne) || !operate({"1000"}, 10, count / 2, &roundOne))
        return 1;
    std::printf("1 channel, 192 kHz streaming: 1234.567 Hz against 1000 Hz\n"
                "  start median %.1f / %.1f ms (ratio %.2f), change median %.2f / %.2f ms (ratio %.2f), "
                "peak memory +%.1f / +%.1f MiB\n",
                median(awkwardOne.starts), median(roundOne.starts), median(awkwardOne.starts) / median(roundOne.starts),
                median(awkwardOne.changes), median(roundOne.changes), median(awkwardOne.changes) / median(roundOne.changes),
                awkwardOne.peak - awkwardOne.idle, roundOne.peak - roundOne.idle);

    VekdRunner service;
    if (!service.start())
        return 1;
    // Taken in turns, so that the machine's other work weighs on both alike.
    std::vector<double> one, all;
    for (int i = 0; i < 15; ++i) {
        for (double ms : arbitraryStarts(1, 1))
            one.push_back(ms);
        for (double ms : arbitraryStarts(8, 1))
            all.push_back(ms);
    }
    if (one.empty() || all.empty())
        return 1;
    std::printf("a 1048576-point file at 1234.567 Hz, loaded afresh for each start (sender alone):\n"
                "  start of 8 channels median %.1f ms, of 1 channel %.1f ms (ratio %.2f)\n",
                median(all), median(one), median(all) / median(one));
    const bool met = median(eight.starts) <= 50 && median(eight.changes) <= 5 && percentile(eight.changes, 0.99) <= 15
                     && eight.peak - eight.idle <= 64 && eight.underruns == 0 && eight.stops == 0;
    return met ? 0 : 3;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initStendixResources();
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    double seconds = 60;
    int count = 20;
    QString only;
    for (int i = 2; i + 1 < args.size(); i += 2) {
        if (args[i] == "--seconds")
            seconds = args[i + 1].toDouble();
        else if (args[i] == "--count")
            count = args[i + 1].toInt();
        else if (args[i] == "--only")
            only = args[i + 1];
    }
    if (mode == "stream" && seconds > 0)
        return runStreams(seconds, only);
    if (mode == "restart" && count > 0)
        return runRestarts(count, args.contains("--streaming"));
    if (mode == "targets" && count > 0)
        return runTargets(count);
    std::fprintf(stderr, "usage: bench_output stream [--seconds N] [--only \"RATE kHz/CHANNELS/SIZE\"]\n"
                         "       bench_output restart [--count N] [--streaming]\n"
                         "       bench_output targets [--count N]\n");
    return 2;
}
