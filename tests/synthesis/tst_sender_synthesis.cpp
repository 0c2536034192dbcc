// The sender's synthesis against a crate service simulator of the test's own: a module of the
// built-in bench is opened and configured with vek72api, synthesis fills the channels and sends
// block 0, and the simulator tells what the module received (status) and what it played (capture).
// Also every refusal with its critical text, the send faults injected through vekctl, and the
// lock that must be free after every exit.

#include <QFile>
#include <QJsonObject>
#include <QMutex>
#include <QSet>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <sys/resource.h>

#include <cmath>

#include "apptestutil.h"
#include "benchstatus.h"
#include "modulesendervek72.h"
#include "synthesis.h"
#include "testsignals.h"
#include "vekdrunner.h"
#include "waveformfile.h"

namespace {

const char* const crateSerial = "4B210736";
constexpr int slotOfEight = 3;  // modification 1, 8 channels, -10 V .. +10 V

} // namespace

Q_DECLARE_METATYPE(QList<ChannelSignal>)

class TestSenderSynthesis : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void cyclicPageIsReceivedAndPlayed();
    void arbitraryAndThreePhasesArePlayed();
    void streamingSendsBlockZeroOnly();
    void repeatedSynthesisReusesArrays();
    void refusals_data();
    void refusals();
    void preparationFailure();
    void arraysThatCannotBeAllocated();

private:
    QList<QVector<double>> capture(int frames);
    bool configure(const QList<ChannelSignal>& list, bool cyclic, double dacRate = 48000);
    QJsonObject moduleStatus();
    void verifyUnlocked();

    VekdRunner service;
    TVEK72 handle;
    QList<ChannelSignal> outputData;
    QMutex mutex;
    ModuleSenderVek72* sender = nullptr;
};

void TestSenderSynthesis::initTestCase()
{
    apptest::installMessageCapture();
    QVERIFY(service.start());
    VEK72_Init(&handle);
    QCOMPARE(VEK72_Open(&handle, 0x7F000001u, 11111, crateSerial, slotOfEight), 0);
    QCOMPARE(int(handle.info.dacChannelCount), 8);
}

void TestSenderSynthesis::init()
{
    outputData.clear();
    sender = new ModuleSenderVek72(&handle, &outputData, &mutex);
    QCOMPARE(service.vekctl({"fault", "clear"}), 0);
}

void TestSenderSynthesis::cleanup()
{
    delete sender;
    sender = nullptr;
    if (handle.state.running)
        VEK72_Stop(&handle, 0);
}

void TestSenderSynthesis::cleanupTestCase()
{
    VEK72_Close(&handle);
    service.stop();
}

// Writes the configuration of the records as the module object does and applies it.
bool TestSenderSynthesis::configure(const QList<ChannelSignal>& list, bool cyclic, double dacRate)
{
    for (int i = 0; i < VEK72_MAX_CHANNELS; ++i) {
        handle.config.channel[i].enabled = 0;
        handle.config.channel[i].output = 0;
        handle.config.channel[i].source = 0;
    }
    for (const ChannelSignal& s : list)
        handle.config.channel[s.channel - 1].enabled = 1;
    handle.config.outputMode = cyclic ? 0 : 1;
    handle.config.dacEnable = 1;
    VEK72_FillOutFreq(&handle.config, dacRate, nullptr);
    outputData = list;
    return VEK72_Configure(&handle) == 0;
}

QJsonObject TestSenderSynthesis::moduleStatus()
{
    return benchstatus::module(benchstatus::status(service), QLatin1String(crateSerial), slotOfEight);
}

void TestSenderSynthesis::verifyUnlocked()
{
    QVERIFY(mutex.tryLock());
    mutex.unlock();
}

void TestSenderSynthesis::cyclicPageIsReceivedAndPlayed()
{
    const QList<ChannelSignal> list{sig(ChannelSignal::Sine, 700, 2.0, 0.5, 2),
                                    sig(ChannelSignal::Triangle, 1000, 4.0, -3.0, 5),
                                    sig(ChannelSignal::Line, 0, 0, 1.25, 7)};
    QVERIFY(configure(list, true));
    const double rate = handle.state.outputRate;  // 48 kHz over 4
    QCOMPARE(rate, 12000.0);
    apptest::clearMessages();
    const int period = sender->synthesize(true);
    verifyUnlocked();
    QVERIFY2(apptest::criticals().isEmpty(), qPrintable(apptest::criticals().join('\n')));

    // 700 Hz at 12 kHz: 7 periods in 120 samples, the triangle and the line fit them: one page of
    // 120 frames, 10 ms, and every record holds the frequency it gets.
    const synthesis::Plan plan = synthesis::makePlan(list, rate, true);
    QCOMPARE(period, 10);
    QCOMPARE(sender->transferWordCount(), 360u);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(outputData.at(i).samples.size(), 120);
        QVERIFY(outputData.at(i).frequency == plan.channels.at(i).frequency);
    }

    // The module holds the page.
    const QJsonObject before = moduleStatus();
    QCOMPARE(before.value("loadingPageWords").toDouble(), 360.0);
    QCOMPARE(before.value("counters").toObject().value("badWords").toDouble(), 0.0);

    // Played, the page gives back the samples (to the DAC's 16-bit step).
    QCOMPARE(VEK72_SwitchCyclePage(&handle, 0, 1000), 0);
    QTRY_VERIFY_WITH_TIMEOUT(moduleStatus().value("counters").toObject().value("framesPlayed").toDouble() >= 240,
                             10000);
    QTemporaryDir dir;
    const QString csv = dir.filePath("capture.csv");
    QCOMPARE(service.vekctl({"capture", "--crate", crateSerial, "--slot", QString::number(slotOfEight),
                             "--frames", "120", "--out", csv}),
             0);
    QCOMPARE(VEK72_Stop(&handle, 0), 0);
    QFile file(csv);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    QCOMPARE(lines.takeFirst(), QByteArray("ch2,ch5,ch7"));
    QCOMPARE(lines.size(), 120);
    // The capture starts wherever playback happened to be: find the rotation, then every frame.
    const double step = 20.0 / 65535.0;
    auto matches = [&](int shift, int g) {
        const QList<QByteArray> cells = lines.at(g).split(',');
        for (int i = 0; i < 3; ++i) {
            if (std::abs(cells.at(i).toDouble() - outputData.at(i).samples.at((g + shift) % 120)) > step / 2 + 1e-6)
                return false;
        }
        return true;
    };
    int shift = -1;
    for (int s = 0; s < 120 && shift < 0; ++s) {
        bool all = true;
        for (int g = 0; g < 120 && all; ++g)
            all = matches(s, g);
        if (all)
            shift = s;
    }
    QVERIFY2(shift >= 0, "the played frames are not the page sent");
}

// What the module plays: `frames` frames per enabled channel, from wherever playback is.
QList<QVector<double>> TestSenderSynthesis::capture(int frames)
{
    QTemporaryDir dir;
    const QString csv = dir.filePath("capture.csv");
    if (service.vekctl({"capture", "--crate", crateSerial, "--slot", QString::number(slotOfEight), "--frames",
                        QString::number(frames), "--out", csv})
        != 0)
        return {};
    QFile file(csv);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    const int channels = lines.takeFirst().split(',').size();
    QList<QVector<double>> columns;
    for (int i = 0; i < channels; ++i)
        columns.append(QVector<double>());
    for (const QByteArray& line : lines) {
        const QList<QByteArray> cells = line.split(',');
        for (int i = 0; i < channels && i < cells.size(); ++i)
            columns[i].append(cells.at(i).toDouble());
    }
    return columns;
}

void TestSenderSynthesis::arbitraryAndThreePhasesArePlayed()
{
    // Channel 2 plays one period loaded from a spreadsheet's CSV (64 points of a sine with its third
    // harmonic); channels 4, 5 and 6 a sine at 0, 120 and 240 degrees. Captured after two successive
    // starts: the file's shape at the achieved frequency, and the three phases 120 degrees apart.
    QTemporaryDir dir;
    const QString path = dir.filePath("period.csv");
    auto shape = [](double turns) { return std::sin(2 * M_PI * turns) + 0.3 * std::sin(2 * M_PI * 3 * turns + 0.5); };
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QByteArray text = QTextCodec::codecForName("Windows-1251")->fromUnicode(QStringLiteral("Время;Значение\r\n"));
        for (int j = 0; j < 64; ++j)
            text += QString::asprintf("%d;%.12f\r\n", j, shape(j / 64.0)).replace('.', ',').toLatin1();
        file.write(text);
    }
    const waveformfile::Result loaded = waveformfile::load(path);
    QVERIFY2(loaded.ok(), qPrintable(loaded.message));
    ChannelSignal custom = sig(ChannelSignal::Arbitrary, 120, 3.0, 0.5, 2);
    custom.waveform = loaded.waveform;
    QList<ChannelSignal> list{custom};
    for (int i = 0; i < 3; ++i) {
        ChannelSignal s = sig(ChannelSignal::Sine, 100, 5.0, 0.0, 4 + i);
        s.phase = 120.0 * i;
        list.append(s);
    }
    const double peak = loaded.waveform->peak();
    const double step = 20.0 / 65535.0;  // the DAC's step over -10 V .. +10 V

    for (int start = 0; start < 2; ++start) {
        QVERIFY(configure(list, true));
        const double rate = handle.state.outputRate;
        const synthesis::Plan plan = synthesis::makePlan(list, rate, true);
        QVERIFY(plan.ok());
        apptest::clearMessages();
        QVERIFY(sender->synthesize(true) > 0);
        QVERIFY2(apptest::criticals().isEmpty(), qPrintable(apptest::criticals().join('\n')));
        auto framesPlayed = [this]() {
            return moduleStatus().value("counters").toObject().value("framesPlayed").toDouble();
        };
        const double before = framesPlayed();
        QCOMPARE(VEK72_SwitchCyclePage(&handle, 0, 1000), 0);
        QTRY_VERIFY_WITH_TIMEOUT(framesPlayed() >= before + 2 * plan.length, 10000);
        const QList<QVector<double>> played = capture(int(plan.length));
        QCOMPARE(VEK72_Stop(&handle, 0), 0);
        QCOMPARE(played.size(), 4);
        QCOMPARE(qint64(played.at(0).size()), plan.length);

        // The file's shape at the frequency the plan achieved, from some frame of the page on.
        const double r = plan.channels.at(0).samplesPerPeriod;
        int shift = -1;
        for (int s = 0; s < plan.length && shift < 0; ++s) {
            bool all = true;
            for (int g = 0; g < plan.length && all; ++g) {
                const double expected = 3.0 * shape(std::fmod(double(g + s), r) / r) / peak + 0.5;
                all = std::abs(played.at(0).at(g) - expected) <= step / 2 + 1e-6;
            }
            if (all)
                shift = s;
        }
        QVERIFY2(shift >= 0, "channel 2 does not play the file's period");

        // The phases of the fundamentals, wherever the capture began.
        const qint64 periods = plan.channels.at(1).periods;
        double phase[3];
        for (int i = 0; i < 3; ++i) {
            double re = 0, im = 0;
            for (int g = 0; g < plan.length; ++g) {
                const double angle = 2 * M_PI * double((periods * g) % plan.length) / double(plan.length);
                re += played.at(1 + i).at(g) * std::cos(angle);
                im -= played.at(1 + i).at(g) * std::sin(angle);
            }
            phase[i] = std::atan2(im, re) * 180 / M_PI;
        }
        for (int i = 1; i < 3; ++i) {
            const double apart = std::fmod(phase[i] - phase[0] + 720.0, 360.0);
            QVERIFY2(std::abs(apart - 120.0 * i) < 0.1,
                     qPrintable(QString::asprintf("start %d: channel %d is %.4f degrees after channel 4", start + 1,
                                                  4 + i, apart)));
        }
    }
}

void TestSenderSynthesis::streamingSendsBlockZeroOnly()
{
    // Eight channels at 6000 samples per second each: a common length of 600000 frames is more
    // than one transfer of 4194304 words, so the signal is cut into blocks.
    QList<ChannelSignal> list;
    for (int c = 1; c <= 8; ++c)
        list.append(sig(c % 2 ? ChannelSignal::Sine : ChannelSignal::Saw, 0.07 * c, 1.0 + c, -0.5, c));
    QVERIFY(configure(list, false));
    QCOMPARE(handle.state.outputRate, 6000.0);
    const synthesis::Plan plan = synthesis::makePlan(list, 6000, false);
    QVERIFY(plan.ok());
    QVERIFY(plan.blockCount > 1);
    QVERIFY(plan.length <= 1000000);
    const QJsonObject before = moduleStatus();
    apptest::clearMessages();
    const int period = sender->synthesize(false);
    verifyUnlocked();
    QVERIFY2(apptest::criticals().isEmpty(), qPrintable(apptest::criticals().join('\n')));
    QCOMPARE(qint64(period), plan.blockPeriodMs);
    QCOMPARE(qint64(sender->blocks()), plan.blockCount);
    QCOMPARE(qint64(sender->transferWordCount()), 8 * plan.samplesPerBlock);
    QVERIFY(sender->transferWordCount() <= 4194304u);
    // Every channel holds its whole signal; only block 0 went out.
    for (int i = 0; i < 8; ++i)
        QCOMPARE(qint64(outputData.at(i).samples.size()), plan.length);
    const QJsonObject after = moduleStatus();
    QCOMPARE(after.value("fifoWords").toDouble(), double(sender->transferWordCount()));
    QCOMPARE(after.value("counters").toObject().value("wordsReceived").toDouble()
                 - before.value("counters").toObject().value("wordsReceived").toDouble(),
             double(sender->transferWordCount()));
}

void TestSenderSynthesis::repeatedSynthesisReusesArrays()
{
    const QList<ChannelSignal> list{sig(ChannelSignal::Sine, 1234.567, 1, 0, 1),
                                    sig(ChannelSignal::Pulse, 333.3, 2, 0, 2)};
    QVERIFY(configure(list, true));
    QVERIFY(sender->synthesize(true) > 0);
    QSet<const double*> memory{outputData.at(0).samples.constData(), outputData.at(1).samples.constData()};
    // The module object configures again and rebuilds its records before every start (a page
    // that was never played would otherwise keep growing); the arrays come back.
    QVERIFY(configure(list, true));
    QVERIFY(sender->synthesize(true) > 0);
    QCOMPARE((QSet<const double*>{outputData.at(0).samples.constData(), outputData.at(1).samples.constData()}),
             memory);
    // An array somebody still holds is never written over.
    const QVector<double> first = outputData.at(0).samples;
    QVERIFY(configure(list, true));
    QVERIFY(sender->synthesize(true) > 0);
    QVERIFY(first.constData() != outputData.at(0).samples.constData());
    QVERIFY(first.constData() != outputData.at(1).samples.constData());
    QVERIFY(first == outputData.at(0).samples);
    const QVector<double> kept = outputData.at(1).samples;
    QList<ChannelSignal> louder = list;
    louder[1].amplitude = 5;
    QVERIFY(configure(louder, true));
    QVERIFY(sender->synthesize(true) > 0);
    QVERIFY(kept.constData() != outputData.at(1).samples.constData());
    QVERIFY(kept != outputData.at(1).samples);
    QVERIFY(std::abs(*std::max_element(kept.cbegin(), kept.cend()) - 2.0) < 1e-12);
    // Synthesis on records that still hold the last arrays (no rebuild in between).
    QCOMPARE(VEK72_Configure(&handle), 0);
    QVERIFY(sender->synthesize(true) > 0);
    QVERIFY(std::abs(*std::max_element(outputData.at(1).samples.cbegin(), outputData.at(1).samples.cend()) - 5.0)
            < 1e-12);
    sender->releaseSamples();
    verifyUnlocked();
}

void TestSenderSynthesis::refusals_data()
{
    QTest::addColumn<QList<ChannelSignal>>("signalList");
    QTest::addColumn<bool>("dropLast");          // the list loses its last record after configuring
    QTest::addColumn<QStringList>("fault");      // vekctl fault arguments after crate and slot
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("sent");               // what the last send answered; 0: nothing sent
    const ChannelSignal one = sig(ChannelSignal::Sine, 700, 1, 0, 1);
    const QString countDiffers = "Ошибка! Количество отправленных сэмплов не равно заданному!";
    QTest::newRow("no channel") << QList<ChannelSignal>{} << false << QStringList() << "Нет включенных каналов для генерации" << 0;
    QTest::newRow("half the rate") << QList<ChannelSignal>{sig(ChannelSignal::Sine, 24000, 1, 0, 1)} << false << QStringList()
                                   << "Недостаточная частота ЦАП 48.000 кГц на канал для сигнала 24.000 кГц (канал 1)" << 0;
    QTest::newRow("0 Hz beside 1 kHz") << QList<ChannelSignal>{sig(ChannelSignal::Sine, 1000, 1, 0, 1), sig(ChannelSignal::Sine, 0, 1, 0, 2)}
                                       << false << QStringList() << "Недостаточная частота ЦАП 24.000 кГц на канал для сигнала 0.000 кГц (канал 2)" << 0;
    QTest::newRow("NaN") << QList<ChannelSignal>{sig(ChannelSignal::Sine, std::nan(""), 1, 0, 1)} << false << QStringList()
                         << "Недостаточная частота ЦАП 48.000 кГц на канал для сигнала nan кГц (канал 1)" << 0;
    // Words laid out for two enabled channels but one signal would land on the wrong outputs.
    QTest::newRow("channel counts differ") << QList<ChannelSignal>{one, sig(ChannelSignal::Sine, 700, 1, 0, 2)} << true << QStringList()
                                           << "Число включенных каналов модуля (2) не совпадает с числом сигналов (1)" << 0;
    QTest::newRow("send failed") << QList<ChannelSignal>{one} << false
                                 << QStringList{"fail", "--function", "VEK72_Send", "--code", "-116"}
                                 << "Ошибка при отправке данных модулю!" << -116;
    QTest::newRow("send taken short") << QList<ChannelSignal>{one} << false << QStringList{"short-send", "--words", "100"}
                                      << countDiffers << 100;
    // Taking nothing is a count that differs, not a failed send.
    QTest::newRow("send taking no words") << QList<ChannelSignal>{one} << false << QStringList{"short-send", "--words", "0"}
                                          << countDiffers << 0;
}

// Each refusal: no block period, its one critical text, the lock free again; a fault is used up,
// so the next synthesis goes through.
void TestSenderSynthesis::refusals()
{
    QFETCH(QList<ChannelSignal>, signalList);
    QFETCH(bool, dropLast);
    QFETCH(QStringList, fault);
    QFETCH(QString, message);
    QFETCH(int, sent);
    QVERIFY(configure(signalList, true));
    if (dropLast)
        outputData.removeLast();
    if (!fault.isEmpty()) {
        QCOMPARE(service.vekctl(QStringList{"fault", fault.first(), "--crate", crateSerial, "--slot",
                                            QString::number(slotOfEight)} + fault.mid(1)), 0);
    }
    apptest::clearMessages();
    QCOMPARE(sender->synthesize(true), 0);
    verifyUnlocked();
    QCOMPARE(apptest::criticals(), QStringList{message});
    QCOMPARE(sender->lastSentCount(), sent);
    if (!fault.isEmpty()) {
        apptest::clearMessages();
        QCOMPARE(sender->synthesize(true), 10);
        QVERIFY(apptest::criticals().isEmpty());
    }
}

void TestSenderSynthesis::preparationFailure()
{
    // A handle that was never configured: the library cannot make words of the samples.
    TVEK72 fresh;
    VEK72_Init(&fresh);
    fresh.state.outputRate = 48000;
    fresh.state.enabledChannels = 1;
    QList<ChannelSignal> list{sig(ChannelSignal::Saw, 1000, 1, 0, 1)};
    QMutex lock;
    ModuleSenderVek72 other(&fresh, &list, &lock);
    apptest::clearMessages();
    QCOMPARE(other.synthesize(true), 0);
    QVERIFY(lock.tryLock());
    lock.unlock();
    const QString text = QTextCodec::codecForName("Windows-1251")->toUnicode(VEK72_GetErrorString(VEK72_E_NOT_CONFIGURED));
    QVERIFY(!text.isEmpty());
    QCOMPARE(apptest::criticals(),
             QStringList{QStringLiteral("Ошибка генерации данных. Ошибка %1 (%2)").arg(VEK72_E_NOT_CONFIGURED).arg(text)});
    QCOMPARE(other.lastSentCount(), 0);  // nothing was sent
    QCOMPARE(list.at(0).samples.size(), 48);
}

void TestSenderSynthesis::arraysThatCannotBeAllocated()
{
    // A period longer than any array: refused before anything is allocated.
    QVERIFY(configure({sig(ChannelSignal::Sine, 0.0001, 1, 0, 1)}, true));
    apptest::clearMessages();
    QCOMPARE(sender->synthesize(true), 0);
    verifyUnlocked();
    QCOMPARE(apptest::criticals(), QStringList{"Недостаточно памяти для генерации сигнала"});

    // 0.0002 Hz in streaming: one channel of 240 million samples (1.9 GB), more than this process
    // may have while its address space is limited.
    QVERIFY(configure({sig(ChannelSignal::Sine, 0.0002, 1, 0, 1)}, false));
    const double received = moduleStatus().value("counters").toObject().value("wordsReceived").toDouble();
    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_AS, &saved), 0);
    QFile status("/proc/self/status");
    QVERIFY(status.open(QIODevice::ReadOnly));
    qint64 virtualKb = 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmSize:"))
            virtualKb = line.mid(7).trimmed().split(' ').first().toLongLong();
    }
    QVERIFY(virtualKb > 0);
    rlimit limited = saved;
    limited.rlim_cur = rlim_t(virtualKb + 512 * 1024) * 1024;
    QCOMPARE(setrlimit(RLIMIT_AS, &limited), 0);
    apptest::clearMessages();
    const int result = sender->synthesize(false);
    QCOMPARE(setrlimit(RLIMIT_AS, &saved), 0);
    QCOMPARE(result, 0);
    verifyUnlocked();
    QCOMPARE(apptest::criticals(), QStringList{"Недостаточно памяти для генерации сигнала"});
    QVERIFY(outputData.at(0).samples.isEmpty());
    QVERIFY(outputData.at(0).frequency == 0.0002);  // untouched
    QCOMPARE(sender->transferWordCount(), 0u);
    QCOMPARE(moduleStatus().value("counters").toObject().value("wordsReceived").toDouble(), received);
}

// arraysThatCannotBeAllocated limits the address space: under a sanitizer an allocation that does not
// fit must fail as it does without one, with a null pointer, instead of ending the process.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }

QTEST_GUILESS_MAIN(TestSenderSynthesis)
#include "tst_sender_synthesis.moc"
