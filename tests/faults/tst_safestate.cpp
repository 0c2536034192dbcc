// Every stop, exit and refusal ends in a known, safe state: what the module really does (vekctl
// status: running, the level each output holds) against what the window (the start button, the
// module light) and remote control (INIT:STAT?) say, after a stop met by a hang or a refusal of the
// service, a module found playing or at a level, a signal to the real program, a remote request the
// program refuses, and signals beyond the outputs.
#include "faultbench.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>

#include "vek72api.h"

namespace {

using namespace faultbench;

const QString crateSerial = QStringLiteral("4B210736");

// A remote-control client of a window of this process: its lines are served while it waits.
class RemoteClient
{
public:
    explicit RemoteClient(quint16 port)
    {
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; }, 10000);
    }
    // The answer line of a line with queries; empty when none came in time.
    QString query(const QByteArray& line)
    {
        socket.write(line + '\n');
        if (!QTest::qWaitFor([this] { return socket.canReadLine(); }, 40000))
            return QStringLiteral("(no answer)");
        return QString::fromUtf8(socket.readLine()).trimmed();
    }

private:
    QTcpSocket socket;
};

quint16 remotePort(const MainWindow& window)
{
    QTest::qWaitFor([&] { return !window.remoteControlAddress().isEmpty(); }, 5000);
    return quint16(window.remoteControlAddress().section(':', 1).toUInt());
}

bool holdsLevel(const QJsonObject& module)
{
    for (const QJsonValue& volts : module.value(QStringLiteral("outputs")).toArray())
        if (std::abs(volts.toDouble()) > 0.001)
            return true;
    return false;
}

// Another client of the service (a program killed while it played, one that closed without
// zeroing): it leaves the module of `slot` at `levels` volts on its first channels, stopped, or
// playing on when the service keeps a released module playing.
bool leaveModuleAt(VekdRunner& vekd, int slot, const QVector<double>& levels)
{
    TVEK72 other;
    VEK72_Init(&other);
    if (VEK72_Open(&other, 0x7F000001u, 11111, crateSerial.toUtf8().constData(), quint16(slot)) != 0)
        return false;
    for (int ch = 0; ch < levels.size(); ++ch)
        other.config.channel[ch] = TVEK72_CHANNEL{ 1, 0, 0, 0 };
    other.config.outputMode = 0;
    other.config.dacEnable = 1;
    VEK72_FillOutFreq(&other.config, 48000, nullptr);
    QVector<double> samples;
    for (int frame = 0; frame < 64; ++frame)
        samples << levels;
    QVector<quint32> words(samples.size());
    const bool played = VEK72_Configure(&other) == 0
                        && VEK72_PrepareDacData(&other, samples.constData(), quint32(samples.size()), VEK72_PREPARE_VOLTS,
                                                words.data(), nullptr) == 0
                        && VEK72_Send(&other, words.constData(), quint32(words.size()), 1000) == words.size()
                        && VEK72_SwitchCyclePage(&other, 0, 1000) == 0;
    // Once the module has put the levels out, the connection goes without zeroing, as a killed
    // program's does.
    const bool out = played && QTest::qWaitFor([&] {
        return holdsLevel(benchstatus::module(benchstatus::status(vekd), crateSerial, slot));
    }, 5000);
    VEK72_Close(&other);
    return out;
}

// The program's window with remote control, against its own service.
struct SafeBench : FaultBench
{
    std::unique_ptr<RemoteClient> remote;

    explicit SafeBench(const QVariantMap& keys = {}, const std::function<void(FaultBench&)>& prepare = {})
        : FaultBench(true, keys, prepare)
    {
    }
    bool ready()
    {
        if (!showSettled())
            return false;
        remote.reset(new RemoteClient(remotePort(*window)));
        return remote->query("*IDN?").startsWith("ZELMAR");
    }
    QJsonObject slotModule(int slot) { return benchstatus::module(benchstatus::status(vekd), crateSerial, slot); }
    // What the window and remote control say of the output: "Стоп red | 1".
    QString shown()
    {
        return QStringLiteral("%1 %2 | %3")
            .arg(startButton()->text(), lightOf(child<QLabel>(window.get(), "labelModuleLed")),
                 remote ? remote->query("INIT:STAT?") : QStringLiteral("-"));
    }
    // What the module does, then what the window and remote control say of it:
    // "stopped 0 V | Старт green | 0".
    QString truth()
    {
        const QJsonObject module = played();
        return QStringLiteral("%1 %2 | %3")
            .arg(module.value("running").toBool() ? "running" : "stopped", holdsLevel(module) ? "live" : "0 V", shown());
    }
    // Channel 1 at a level (DC, full range), started with "Старт" in the mode asked for; true once
    // the module plays it (streaming: with `queuedMs` of output queued, one channel at 192 kHz, so
    // that a hang now is ridden out).
    bool playLevel(bool streaming, int millivolts, int queuedMs = 2000)
    {
        find<QComboBox>("comboBoxMode")->setCurrentIndex(streaming ? 1 : 0);
        setChannel(1, "DC", false, millivolts);
        startButton()->click();
        return QTest::qWaitFor([&] {
                   const QJsonObject m = played();
                   return holdsLevel(m) && m.value("running").toBool()
                          && (!streaming || m.value("fifoWords").toDouble() >= queuedMs * 192.0);
               }, 20000)
               && apptest::runQueuedCalls(module());
    }
    // The range by its place: item 0 is the one-tenth range, item 1 the full range.
    void setChannel(int channel, const QString& type, bool tenth, int millivolts, double offset = 0.0)
    {
        auto* typeBox = find<QComboBox>(qPrintable(QStringLiteral("comboBoxVoltageTypeCh%1").arg(channel)));
        typeBox->setCurrentIndex(typeBox->findText(type));
        apptest::runQueuedCalls(module());
        find<QComboBox>(qPrintable(QStringLiteral("comboBoxRangeCh%1").arg(channel)))->setCurrentIndex(tenth ? 0 : 1);
        apptest::runQueuedCalls(module());
        if (auto* box = find<QDoubleSpinBox>(qPrintable(QStringLiteral("doubleSpinBoxOffsetCh%1").arg(channel))))
            if (box->isEnabled())
                box->setValue(offset);
        find<QSpinBox>(qPrintable(QStringLiteral("spinBoxVoltageCh%1").arg(channel)))->setValue(millivolts);
        apptest::runQueuedCalls(module());
    }
    QString withService(QString text) const { return text.replace(QStringLiteral("%service%"), vekd.address()); }
    int journalCount(const QString& text) const
    {
        int n = 0;
        for (const QString& line : journal())
            n += line.contains(text) ? 1 : 0;
        return n;
    }
};

const QString atRest = QStringLiteral("stopped 0 V | Старт green | 0");

} // namespace

class TestSafeState : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { startJournal(); }
    void cleanupTestCase() { qInstallMessageHandler(nullptr); }

    void stopsAreConfirmed_data();
    void stopsAreConfirmed();
    void modulesFoundLiveAreBroughtToRest_data();
    void modulesFoundLiveAreBroughtToRest();
    void signalsCloseTheProgram_data();
    void signalsCloseTheProgram();
    void remoteRefusalsReachTheClient_data();
    void remoteRefusalsReachTheClient();
    void nothingPlaysBeyondTheOutputs_data();
    void nothingPlaysBeyondTheOutputs();
    void noFalseAlarmAfterAHang_data();
    void noFalseAlarmAfterAHang();
    void updateDuringAHangKeepsTheCrates();
};

void TestSafeState::stopsAreConfirmed_data()
{
    QTest::addColumn<bool>("streaming");
    QTest::addColumn<QString>("fault");     // "hang" (until the state meanwhile is seen), "fail FUNCTION COUNT", "drop"
    QTest::addColumn<QString>("action");    // "Стоп" (the button), a remote line, "Обновить", "" (none)
    QTest::addColumn<QString>("meanwhile"); // what is shown while the fault lasts ("" when it does not last)
    QTest::addColumn<QString>("box");       // the one error box's text ("" for none)
    QTest::addColumn<QString>("error");     // SYST:ERR? afterwards

    const QString silent = QStringLiteral("Выходы модуля могут оставаться под напряжением: служба крейтов %service% не отвечает");
    const QString stopRefused = QStringLiteral("Выходы модуля могут оставаться под напряжением: генерация не остановлена. "
                                               "Ошибка -116 (Аппаратная ошибка модуля)");
    const QString zeroRefused = QStringLiteral("Выходы модуля могут оставаться под напряжением: нули на выходах не "
                                               "выставлены. Ошибка -116 (Аппаратная ошибка модуля)");
    const QString noError = QStringLiteral("0,\"No error\"");
    QTest::newRow("Стоп during a hang, streaming") << true << "hang" << "Стоп" << "Стоп red | 1" << silent << noError;
    QTest::newRow("ABOR during a hang, streaming") << true << "hang" << "ABOR" << "Стоп red | 1" << ""
                                                       << "-200,\"Execution error;" + silent + "\"";
    QTest::newRow("*RST during a hang, streaming") << true << "hang" << "*RST" << "Стоп red | 1" << ""
                                                       << "-200,\"Execution error;" + silent + "\"";
    QTest::newRow("one failed VEK72_Stop, Стоп") << false << "fail VEK72_Stop 1" << "Стоп" << "" << "" << noError;
    QTest::newRow("one failed VEK72_Stop, ABOR") << true << "fail VEK72_Stop 1" << "ABOR" << "" << "" << noError;
    QTest::newRow("VEK72_Stop refused until cleared, Стоп") << false << "fail VEK72_Stop 100000" << "Стоп"
                                                            << "running live | Стоп red | 1" << stopRefused << noError;
    QTest::newRow("VEK72_Stop refused until cleared, ABOR") << false << "fail VEK72_Stop 100000" << "ABOR"
                                                            << "running live | Стоп red | 1" << ""
                                                            << "-240,\"Hardware error;" + stopRefused + "\"";
    QTest::newRow("one failed zeroing, Стоп") << false << "fail VEK72_Configure 1" << "Стоп" << "" << "" << noError;
    QTest::newRow("zeroing refused until cleared, Стоп") << true << "fail VEK72_Configure 100000" << "Стоп"
                                                         << "stopped live | Старт red | 0" << zeroRefused << noError;
    QTest::newRow("1000 failed sends while streaming") << true << "fail VEK72_Send 1000" << "" << "" << "Ошибка при отправке данных модулю!"
                                                       << noError;
    QTest::newRow("connection dropped while playing, OK, Обновить") << false << "drop" << "Обновить" << ""
                                                                    << "Потеряна связь со службой крейтов %service%" << noError;
}

// A stop met by a service that hangs or refuses: while the fault lasts the window and INIT:STAT? say
// what the module does; once the service answers (or takes the request) the stop is completed, and
// the module, the window and remote control agree that nothing plays and every output is at 0 V.
void TestSafeState::stopsAreConfirmed()
{
    QFETCH(bool, streaming);
    QFETCH(QString, fault);
    QFETCH(QString, action);
    QFETCH(QString, meanwhile);
    QFETCH(QString, box);
    QFETCH(QString, error);
    SafeBench b;
    QVERIFY(b.ready());
    // A module that starves runs dry within a second.
    const int aheadMs = fault.contains("VEK72_Send") ? 1000 : ModuleSenderVek72::aheadMs;
    b.module()->sampleSender()->setAhead(aheadMs);
    QVERIFY(b.playLevel(streaming, 1000, std::min(2000, aheadMs * 9 / 10)));
    QCOMPARE(b.truth(), QStringLiteral("running live | Стоп green | 1"));

    const QStringList words = fault.split(' ');
    if (words[0] == "hang") {
        b.pause();   // until what is shown meanwhile has been seen
    } else if (words[0] == "fail") {
        QCOMPARE(b.vekd.vekctl({ "fault", "fail", "--crate", crateSerial, "--slot", "3", "--function", words[1], "--count",
                                 words[2] }),
                 0);
    } else {
        QCOMPARE(b.vekd.vekctl({ "fault", "drop" }), 0);
        QVERIFY(QTest::qWaitFor([&] { return !b.boxes.texts.isEmpty(); }, 10000));
        b.boxes.closeAll();
    }

    if (action == "Стоп") {
        b.startButton()->click();
    } else if (action == "Обновить") {
        child<QAbstractButton>(b.window.get(), "pushButtonUpdate")->click();
        QVERIFY(settled(*b.window));
    } else if (!action.isEmpty()) {
        QCOMPARE(b.remote->query(action.toUtf8() + ";*OPC?"), QStringLiteral("1"));
    }
    if (!meanwhile.isEmpty()) {
        // While the service does not answer only the window and remote control can be asked.
        const bool hung = words[0] == "hang";
        QTRY_COMPARE_WITH_TIMEOUT(hung ? b.shown() : b.truth(), meanwhile, 10000);
        if (hung)
            b.resume();
        else
            QCOMPARE(b.vekd.vekctl({ "fault", "clear" }), 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(b.truth(), atRest, 20000);
    QVERIFY(apptest::runQueuedCalls(b.window.get()));
    b.boxes.look();
    QCOMPARE(b.boxes.mostOpen, box.isEmpty() ? 0 : 1);
    if (!box.isEmpty())
        QVERIFY2(b.boxes.texts.value(0).startsWith(b.withService(box)), qPrintable(b.boxes.texts.join(" | ")));
    QCOMPARE(b.remote->query("SYST:ERR?"), b.withService(error));
    // What the operator set is kept (*RST puts the panels back as opened), and nothing played beyond
    // the outputs.
    QCOMPARE(b.find<QSpinBox>("spinBoxVoltageCh1")->value(), action == "*RST" ? 0 : 1000);
    QCOMPARE(benchstatus::clippedSamples(b.played()), 0);
}

void TestSafeState::modulesFoundLiveAreBroughtToRest_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<QString>("left");    // how the module was left
    QTest::addColumn<QString>("found");   // by the discovery at start-up or by "Обновить"
    QTest::newRow("a killed client's module, at start-up") << 3 << "stopped" << "start-up";
    QTest::newRow("a module playing on without its client, at start-up") << 3 << "playing" << "start-up";
    QTest::newRow("another slot at a level, by Обновить") << 7 << "stopped" << "Обновить";
    QTest::newRow("closed during a hang, at the next start") << 3 << "closed in a hang" << "start-up";
}

// A module that plays or holds a level it was not set to by this program is stopped and brought to
// 0 V when the program opens it, and that is said once; nothing starts by itself.
void TestSafeState::modulesFoundLiveAreBroughtToRest()
{
    QFETCH(int, slot);
    QFETCH(QString, left);
    QFETCH(QString, found);
    const auto leave = [&](FaultBench& bench) {
        if (left == "playing")
            QCOMPARE(bench.vekd.vekctl({ "fault", "keep-playing", "--crate", crateSerial, "--slot", QString::number(slot) }), 0);
        QVERIFY(leaveModuleAt(bench.vekd, slot, { -0.35, 3.3 }));
        const QJsonObject m = benchstatus::module(benchstatus::status(bench.vekd), crateSerial, slot);
        QCOMPARE(m.value("running").toBool(), left == "playing");
        QVERIFY(holdsLevel(m));
    };
    std::unique_ptr<SafeBench> b;
    if (left == "closed in a hang") {
        b.reset(new SafeBench);
        QVERIFY(b->ready());
        QVERIFY(b->playLevel(true, 1000));
        b->pause();
        b->window->close();
        b->resume();
        QTRY_VERIFY_WITH_TIMEOUT(!b->played().value("opened").toBool(true), 10000);
        QVERIFY(holdsLevel(b->played()));
        b->window.reset(new MainWindow);
        setPopupTarget(b->window.get());
        b->remote.reset();
    } else {
        b.reset(new SafeBench({}, found == "start-up" ? std::function<void(FaultBench&)>(leave) : nullptr));
    }
    QVERIFY(b->ready());
    if (found == "Обновить") {
        leave(*b);
        child<QAbstractButton>(b->window.get(), "pushButtonUpdate")->click();
        QVERIFY(settled(*b->window));
        QVERIFY(apptest::runQueuedCalls(b->module()));
    }
    const QJsonObject m = b->slotModule(slot);
    QVERIFY(!m.value("running").toBool(true));
    QVERIFY(benchstatus::outputsAtZero(m));
    QTRY_COMPARE_WITH_TIMEOUT(b->truth(), atRest, 10000);
    QCOMPARE(b->journalCount(QStringLiteral("W] Модуль в слоте %1 был запущен или оставлен под напряжением: "
                                            "генерация остановлена, выходы 0 В").arg(slot)),
             1);
    QCOMPARE(b->boxes.mostOpen, 0);
}

void TestSafeState::signalsCloseTheProgram_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("twice");   // a second signal while the first one's close waits for a hung service
    QTest::newRow("SIGINT (Ctrl+C)") << int(SIGINT) << false;
    QTest::newRow("SIGTERM") << int(SIGTERM) << false;
    QTest::newRow("SIGHUP") << int(SIGHUP) << false;
    QTest::newRow("a second SIGTERM") << int(SIGTERM) << true;
}

// The real program, started as README shows, playing 3.3 V: a signal ends it as closing its window
// does (outputs at 0 V, the last setup kept, the closing line in the journal); a second one ends it at
// once.
void TestSafeState::signalsCloseTheProgram()
{
    QFETCH(int, signal);
    QFETCH(bool, twice);
    VekdRunner vekd;
    QVERIFY(vekd.start());
    apptest::WorkingDirectory cwd;
    {
        QSettings ini(cwd.iniPath(), QSettings::IniFormat);
        ini.setValue(QStringLiteral("Remote/Enabled"), true);
        ini.setValue(QStringLiteral("Remote/Port"), 0);
    }
    QProcess program;
    program.setWorkingDirectory(cwd.path());
    program.start(QStringLiteral(VEK72_PATH), QStringList());
    QVERIFY(program.waitForStarted());
    const QRegularExpression listening(QStringLiteral("подключений на 127\\.0\\.0\\.1:(\\d+)"));
    const auto journal = [&] {
        return QTextCodec::codecForName("Windows-1251")->toUnicode(apptest::readFile(cwd.path() + "/stendix.log"));
    };
    QVERIFY(QTest::qWaitFor([&] { return listening.match(journal()).hasMatch(); }, 20000));
    RemoteClient remote(quint16(listening.match(journal()).captured(1).toUInt()));
    // Remote control listens before the first discovery has made the module current.
    QVERIFY(QTest::qWaitFor([&] { return remote.query("SYST:MOD?") == "\"4B210736\",3"; }, 20000));
    QCOMPARE(remote.query("OUTP1 ON;:SOUR1:FUNC DC;VOLT:RANG FULL;:SOUR1:VOLT 3.3;:INIT;*OPC?"), QStringLiteral("1"));
    const auto module = [&] { return benchstatus::module(benchstatus::status(vekd), crateSerial, 3); };
    QVERIFY2(QTest::qWaitFor([&] { return module().value("running").toBool() && holdsLevel(module()); }, 10000),
             qPrintable(journal()));

    if (twice)
        ::kill(pid_t(vekd.pid()), SIGSTOP);   // the close waits for the service
    QElapsedTimer clock;
    clock.start();
    ::kill(pid_t(program.processId()), signal);
    if (twice) {
        QVERIFY(QTest::qWaitFor([&] { return journal().contains("Завершение работы"); }, 10000));
        ::kill(pid_t(program.processId()), signal);
    }
    QVERIFY(program.waitForFinished(20000));
    qInfo("ended %lld ms after the signal", clock.elapsed());
    if (twice) {
        ::kill(pid_t(vekd.pid()), SIGCONT);
        QCOMPARE(program.exitStatus(), QProcess::CrashExit);   // the signal's default action
        return;
    }
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    const QJsonObject left = module();
    QVERIFY(!left.value("opened").toBool(true));
    QVERIFY(!left.value("running").toBool(true));
    QVERIFY(benchstatus::outputsAtZero(left));
    QVERIFY(apptest::readFile(cwd.path() + "/setups/last-4B210736-3.vek72").contains("\"voltage_mV\": 3300"));
    const QStringList lines = journal().split('\n', Qt::SkipEmptyParts);
    QVERIFY(lines.join('\n').contains(QStringLiteral("Завершение работы")));
}

void TestSafeState::remoteRefusalsReachTheClient_data()
{
    QTest::addColumn<QStringList>("lines");   // the client's lines (each followed by *OPC?)
    QTest::addColumn<QString>("error");       // SYST:ERR? then
    QTest::addColumn<bool>("plays");          // the output started before plays on

    QStringList eight{ "SOUR:RATE 48000" };
    for (int n = 1; n <= 8; ++n)
        eight << QStringLiteral("OUTP%1 ON;:SOUR%1:FUNC AC;VOLT:RANG FULL;:SOUR%1:VOLT 1;FREQ 5000").arg(n);
    QTest::newRow("8 channels at 5 kHz, DAC 48 kHz") << (eight << "INIT")
        << "-221,\"Settings conflict;Недостаточная частота ЦАП 6.000 кГц на канал для сигнала 5.000 кГц (канал 1)\"" << false;
    QTest::newRow("no channel on") << QStringList{ "OUTP1 OFF", "INIT" }
                                   << "-221,\"Settings conflict;Нет включенных каналов для генерации\"" << false;
    QTest::newRow("a frequency above what the rate gives, while playing")
        << QStringList{ "PLAY", "SOUR1:FREQ 100000" }
        << "-221,\"Settings conflict;Недостаточная частота ЦАП 192.000 кГц на канал для сигнала 100.000 кГц (канал 1)\""
        << true;
    QTest::newRow("a library failure") << QStringList{ "FAIL VEK72_Configure", "INIT" }
        << "-240,\"Hardware error;Не удалось установить настройки ЦАП: Ошибка -116 (Аппаратная ошибка модуля)\"" << false;
    QTest::newRow("a refused stop") << QStringList{ "PLAY", "FAIL VEK72_Stop", "ABOR" }
        << "-240,\"Hardware error;Выходы модуля могут оставаться под напряжением: генерация не остановлена. Ошибка -116 "
           "(Аппаратная ошибка модуля)\""
        << true;
}

// What remote control asked that the program refuses or that fails goes to that client's error queue
// with the program's text (and to the journal), never to a box on a screen nobody may watch; a change
// refused while playing leaves the output playing as it was.
void TestSafeState::remoteRefusalsReachTheClient()
{
    QFETCH(QStringList, lines);
    QFETCH(QString, error);
    QFETCH(bool, plays);
    SafeBench b;
    QVERIFY(b.ready());
    for (const QString& line : lines) {
        if (line == "PLAY") {
            QCOMPARE(b.remote->query("SOUR:RATE 192000;:OUTP1 ON;:SOUR1:FUNC AC;VOLT:RANG FULL;:SOUR1:VOLT 1;FREQ 1000;"
                                     ":INIT;*OPC?"),
                     QStringLiteral("1"));
            QTRY_VERIFY(b.played().value("running").toBool());
        } else if (line.startsWith("FAIL ")) {
            QCOMPARE(b.vekd.vekctl({ "fault", "fail", "--crate", crateSerial, "--slot", "3", "--function", line.mid(5),
                                     "--count", "100000" }),
                     0);
        } else {
            QCOMPARE(b.remote->query(line.toUtf8() + ";*OPC?"), QStringLiteral("1"));
        }
    }
    const qint64 starts = b.counter("starts");
    QCOMPARE(b.remote->query("SYST:ERR?"), error);
    QCOMPARE(b.remote->query("SYST:ERR?"), QStringLiteral("0,\"No error\""));
    QCOMPARE(b.played().value("running").toBool(), plays);
    if (plays) {
        QCOMPARE(b.counter("starts"), starts);
        QCOMPARE(b.remote->query("SOUR1:FREQ?"), QStringLiteral("1000"));
    }
    QVERIFY(b.journalHas(error.section(';', 1).chopped(1)));
    b.boxes.look();
    QCOMPARE(b.boxes.mostOpen, 0);
    QCOMPARE(benchstatus::clippedSamples(b.played()), 0);
}

void TestSafeState::nothingPlaysBeyondTheOutputs_data()
{
    QTest::addColumn<int>("slot");          // 3: VEK72-1, 7: VEK72-2
    QTest::addColumn<QString>("how");       // "window" (fields, then Старт) or "scpi" (one command line)
    QTest::addColumn<QString>("channel");   // "AC|DC range mV offset" or "custom shape mV offset-mV"
    QTest::addColumn<QString>("refusal");   // the text naming the channel and the limit; "" when it plays

    const QString v1 = QStringLiteral("а выход модуля — от -10 до 10 В (VEK72-1, полный диапазон)");
    const QString v1tenth = QStringLiteral("а выход модуля — от -1 до 1 В (VEK72-1, диапазон 1/10)");
    const QString v2 = QStringLiteral("а выход модуля — от -2 до 20 В (VEK72-2, полный диапазон)");
    const auto rows = [&](const char* name, int slot, const QString& channel, const QString& refusal) {
        for (const char* how : { "window", "scpi" })
            QTest::addRow("%s, %s", name, how) << slot << QString(how) << channel << refusal;
    };
    rows("VEK72-1, AC 6 V RMS + 3 V", 3, "AC 7 6000 3", "канал 1: сигнал идёт от -5.485281374 до 11.48528137 В, " + v1);
    rows("VEK72-1, AC 6 V RMS + 1.5 V", 3, "AC 7 6000 1.5", "");
    rows("VEK72-1 one-tenth, AC 0.7 V RMS + 0.1 V", 3, "AC 0.7 700 0.1",
         "канал 1: сигнал идёт от -0.8899494937 до 1.089949494 В, " + v1tenth);
    rows("VEK72-2, AC 2 V RMS around 0 V", 7, "AC 7 2000 0", "канал 1: сигнал идёт от -2.828427125 до 2.828427125 В, " + v2);
    rows("VEK72-2, AC 7 V RMS + 12 V", 7, "AC 7 7000 12", "канал 1: сигнал идёт от 2.100505063 до 21.89949494 В, " + v2);
    rows("VEK72-2, AC 7 V RMS + 10 V", 7, "AC 7 7000 10", "");
    rows("custom sine 9 V + 5 V", 3, "custom 0 9000 5000", "канал 1: сигнал идёт от -4 до 14 В, " + v1);
    rows("custom sine 6 V - 9 V", 3, "custom 0 6000 -9000", "канал 1: сигнал идёт от -15 до -3 В, " + v1);
    rows("custom triangle 6 V from -9 V", 3, "custom 1 6000 -9000", "");
}

// A channel whose peak (AC: RMS·√2; a custom signal: its highest and lowest samples) with its offset
// goes beyond its output is refused before it plays, naming the channel and the limit: "Старт" in the
// window with one box, a remote value with -222 and nothing changed. Within, it plays unclipped.
void TestSafeState::nothingPlaysBeyondTheOutputs()
{
    QFETCH(int, slot);
    QFETCH(QString, how);
    QFETCH(QString, channel);
    QFETCH(QString, refusal);
    SafeBench b({ { QStringLiteral("VEK72/EnableCustomSignals"), true } });
    QVERIFY(b.ready());
    if (slot != 3)
        QCOMPARE(b.remote->query(QStringLiteral("SYST:MOD \"%1\",%2;*OPC?").arg(crateSerial).arg(slot).toUtf8()),
                 QStringLiteral("1"));
    const QStringList c = channel.split(' ');
    const bool custom = c[0] == "custom";
    if (how == "window") {
        if (custom) {
            b.setChannel(1, "Особый", false, 0);
            b.find<QComboBox>("comboBoxCustomShape")->setCurrentIndex(c[1].toInt());
            b.find<QDoubleSpinBox>("doubleSpinBoxCustomOffset")->setValue(c[3].toInt() / 1000.0);
            b.find<QSpinBox>("spinBoxCustomAmplitude")->setValue(c[2].toInt());
        } else {
            b.setChannel(1, c[0], c[1] == "0.7", c[2].toInt(), c[3].toDouble());
        }
        QVERIFY(apptest::runQueuedCalls(b.module()));
        b.startButton()->click();
    } else {
        // The offset first, then the value that takes the channel beyond its output (or not).
        const QString range = c[1] == "0.7" ? "TENT" : "FULL";
        const QByteArray line = custom ? QStringLiteral("OUTP1 ON;:SOUR1:FUNC CUST;VOLT:RANG FULL;:SOUR1:FUNC:SHAP %1;"
                                                        ":SOUR1:VOLT:OFFS %3;:SOUR1:VOLT %2;*OPC?")
                                             .arg(QStringList{ "SIN", "TRI" }.at(c[1].toInt()))
                                             .arg(c[2].toDouble() / 1000).arg(c[3].toDouble() / 1000).toUtf8()
                                       : QStringLiteral("OUTP1 ON;:SOUR1:FUNC %1;VOLT:RANG %2;:SOUR1:VOLT:OFFS %4;"
                                                        ":SOUR1:VOLT %3;*OPC?")
                                             .arg(c[0], range).arg(c[2].toDouble() / 1000).arg(c[3]).toUtf8();
        QCOMPARE(b.remote->query(line), QStringLiteral("1"));
        if (refusal.isEmpty())
            QCOMPARE(b.remote->query("INIT;*OPC?"), QStringLiteral("1"));
        else
            QCOMPARE(b.remote->query("SOUR1:VOLT?"), QStringLiteral("0"));   // nothing changed
    }
    if (refusal.isEmpty()) {
        QTRY_VERIFY(b.slotModule(slot).value("running").toBool());
        QTRY_VERIFY(b.slotModule(slot).value("counters").toObject().value("framesPlayed").toDouble() > 1000);
        QCOMPARE(benchstatus::clippedSamples(b.slotModule(slot)), 0);
        QCOMPARE(b.remote->query("SYST:ERR?"), QStringLiteral("0,\"No error\""));
        return;
    }
    QVERIFY(apptest::runQueuedCalls(b.module()));
    QVERIFY(apptest::runQueuedCalls(b.window.get()));
    QVERIFY(!b.slotModule(slot).value("running").toBool(true));
    QCOMPARE(benchstatus::clippedSamples(b.slotModule(slot)), 0);
    b.boxes.look();
    if (how == "window") {
        QTRY_COMPARE(b.startButton()->text(), QStringLiteral("Старт"));
        QVERIFY2(b.boxes.texts == QStringList{ "Старт отменён: " + refusal }, qPrintable(b.boxes.texts.join(" | ")));
    } else {
        QCOMPARE(b.remote->query("SYST:ERR?"), "-222,\"Data out of range;" + refusal + "\"");
        QCOMPARE(b.boxes.mostOpen, 0);
    }
}

void TestSafeState::noFalseAlarmAfterAHang_data()
{
    QTest::addColumn<bool>("streaming");
    QTest::addColumn<bool>("stopInTheHang");   // "Стоп" pressed while the service hangs
    QTest::newRow("hang while streaming") << true << false;
    QTest::newRow("Стоп during a hang, cyclic") << false << true;
}

// "Обновить" after a hang has ended, the service answering again: no failure is reported that did
// not happen this time, and the output stops at 0 V.
void TestSafeState::noFalseAlarmAfterAHang()
{
    QFETCH(bool, streaming);
    QFETCH(bool, stopInTheHang);
    SafeBench b;
    QVERIFY(b.ready());
    QVERIFY(b.playLevel(streaming, 1000));
    b.pause();
    if (stopInTheHang)
        b.startButton()->click();
    // The hang lasts until a call to the service has run out of time.
    QVERIFY(QTest::qWaitFor([&] { return b.module()->sampleSender()->serviceSilent(); }, 10000));
    b.resume();
    const QString shown = stopInTheHang ? QStringLiteral("Старт") : QStringLiteral("Стоп");
    QTRY_COMPARE_WITH_TIMEOUT(b.startButton()->text(), shown, 10000);
    const int before = b.journal().size();
    const int boxesBefore = b.boxes.texts.size();
    child<QAbstractButton>(b.window.get(), "pushButtonUpdate")->click();
    QVERIFY(settled(*b.window));
    const QStringList after = b.journal().mid(before);
    for (const QString& line : after)
        QVERIFY2(!line.contains("не отвечает") && !line.contains("Не удалось") && !line.contains("E]"),
                 qPrintable(after.join(" | ")));
    QTRY_COMPARE_WITH_TIMEOUT(b.truth(), atRest, 10000);
    b.boxes.look();
    QCOMPARE(b.boxes.texts.size(), boxesBefore);
}

// "Обновить" while the service hangs: the crates shown stay (a service that does not answer is no
// list without crates) and the crate light is never green without a crate; once the service is back,
// the next "Обновить" finds the module, brought to rest.
void TestSafeState::updateDuringAHangKeepsTheCrates()
{
    SafeBench b;
    QVERIFY(b.ready());
    QVERIFY(b.playLevel(false, 1000));
    b.pause();
    child<QAbstractButton>(b.window.get(), "pushButtonUpdate")->click();
    QVERIFY(settled(*b.window));
    auto* crates = child<QComboBox>(b.window.get(), "comboBoxCrate");
    QVERIFY(crates->count() > 0);
    QVERIFY(crates->currentIndex() >= 0);
    b.resume();
    b.boxes.closeAll();
    child<QAbstractButton>(b.window.get(), "pushButtonUpdate")->click();
    QVERIFY(settled(*b.window));
    QTRY_COMPARE_WITH_TIMEOUT(b.truth(), atRest, 10000);
    QCOMPARE(b.lights(), QStringLiteral("green green"));
}

QTEST_MAIN(TestSafeState)
#include "tst_safestate.moc"
