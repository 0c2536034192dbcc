// vek72-play against a vekd of the test's own, seen as the simulator sees it: what the module plays
// for each shape and way of giving the amplitude (the peak; rms:, pp:), that every end drives the
// outputs to 0 V (a stop signal while playing, --seconds, a stop signal that came before the page
// played), and a service that drops the module.
#include <QtTest>

#include <QProcess>

#include <csignal>
#include <cmath>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "played.h"

namespace {

// Starts vek72-play and waits for its line that says the page plays.
bool startPlaying(QProcess& play, const QStringList& args, QByteArray* line = nullptr)
{
    play.start(QStringLiteral(VEK72_PLAY_PATH), args);
    if (!QTest::qWaitFor([&] { return play.canReadLine() || play.state() == QProcess::NotRunning; }, 20000))
        return false;
    const QByteArray first = play.readLine();
    if (line)
        *line = first;
    if (!first.startsWith("playing on")) {
        qWarning("vek72-play: %s %s", first.constData(), play.readAllStandardError().constData());
        return false;
    }
    return true;
}

bool endsWith(QProcess& play, int exitCode)
{
    return play.waitForFinished(10000) && play.exitStatus() == QProcess::NormalExit && play.exitCode() == exitCode;
}

// The module as every end of a run that configured it leaves it: closed, every output at 0 V.
bool leftAtZero(VekdRunner& vekd, int slot = 3)
{
    const QJsonObject module = moduleOf(vekd, slot);
    return !module.value("opened").toBool(true) && !module.value("running").toBool(true) && benchstatus::outputsAtZero(module);
}

} // namespace

class TestVek72PlayTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void amplitudeIsThePeak();
    void secondsEndAtZero();
    void stopBeforeThePagePlays();
    void serviceDropsTheModule();

private:
    VekdRunner vekd;
    QTemporaryDir dir;
};

void TestVek72PlayTool::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(vekd.start());
}

void TestVek72PlayTool::amplitudeIsThePeak()
{
    // Six channels at 6000 samples per second each: 12 samples per 500 Hz period, the peaks among them.
    struct Row
    {
        const char* signal;
        double lowest;
        double highest;
    };
    const Row rows[] = {
        {"sine:500:2", -2.0, 2.0},
        {"sine:500:rms:2", -2.0 * std::sqrt(2.0), 2.0 * std::sqrt(2.0)},
        {"triangle:500:1:0.5", -0.5, 1.5},                      // around its offset, like the sine
        {"saw:500:pp:3:1", -0.5, -0.5 + 3.0 * 11.0 / 12.0},     // the last sample of a period before the top
        {"pulse:500:rms:1:-1", -2.0, 0.0},                      // a square's RMS is its peak
        {"line:0:0:-2.5", -2.5, -2.5},
    };
    QStringList args;
    for (const Row& row : rows)
        args << "--signal" << QString::fromLatin1(row.signal);
    QProcess play;
    QByteArray line;
    QVERIFY(startPlaying(play, args, &line));
    QVERIFY2(line.startsWith("playing on 4B210736 slot 3: 6 channel(s) at 6000 samples per second"), line.constData());

    // The frames come in real time.
    QVERIFY(QTest::qWaitFor([&] { return counter(moduleOf(vekd), "framesPlayed") >= 240; }, 10000));
    const Played played = capture(vekd, 3, 240);
    QCOMPARE(played.columns.size(), 6);
    QCOMPARE(played.frames(), 240);
    const double code = 20.0 / 65535;  // one step of the full range
    for (int i = 0; i < 6; ++i) {
        const auto [low, high] = std::minmax_element(played.columns[i].begin(), played.columns[i].end());
        QVERIFY2(std::fabs(*low - rows[i].lowest) <= code && std::fabs(*high - rows[i].highest) <= code,
                 qPrintable(QStringLiteral("%1: %2 .. %3").arg(rows[i].signal).arg(*low).arg(*high)));
    }

    // Ctrl+C: the output stops, a configuration without channels puts every output at 0 V, the module
    // is free again.
    QVERIFY(moduleOf(vekd).value("running").toBool());
    QVERIFY(!benchstatus::outputsAtZero(moduleOf(vekd)));
    QCOMPARE(benchstatus::clippedSamples(moduleOf(vekd)), 0);
    ::kill(pid_t(play.processId()), SIGINT);
    QVERIFY(endsWith(play, 0));
    QVERIFY(leftAtZero(vekd));
}

void TestVek72PlayTool::secondsEndAtZero()
{
    QProcess play;
    QVERIFY(startPlaying(play, {"--crate", crateA, "--slot", "7", "--seconds", "0.3", "--signal", "line:0:0:15"}));
    QVERIFY(endsWith(play, 0));
    QVERIFY(leftAtZero(vekd, 7));
    QCOMPARE(benchstatus::clippedSamples(moduleOf(vekd, 7)), 0);
}

void TestVek72PlayTool::stopBeforeThePagePlays()
{
    // A module whose client vanished holds its outputs: here at 3 V.
    QProcess killed;
    QVERIFY(startPlaying(killed, {"--signal", "line:0:0:3"}));
    ::kill(pid_t(killed.processId()), SIGKILL);
    QVERIFY(killed.waitForFinished(10000));
    QVERIFY(QTest::qWaitFor([&] { return !benchstatus::opened(vekd, crateA, 3); }, 10000));
    QVERIFY(!benchstatus::outputsAtZero(moduleOf(vekd)));

    // Ctrl+C comes before vek72-play even starts (pending and blocked, as a signal during the start
    // is): it ends at the first step between making and playing the page, with the outputs at 0 V.
    const QByteArray program = QByteArrayLiteral(VEK72_PLAY_PATH);
    const QByteArray signal = QByteArrayLiteral("sine:1234.567:1");
    char* const argv[] = {const_cast<char*>(program.constData()), const_cast<char*>("--signal"),
                          const_cast<char*>(signal.constData()), nullptr};
    const QByteArray outPath = QFile::encodeName(dir.filePath("early.out"));
    const pid_t pid = fork();
    if (pid == 0) {
        sigset_t interrupt;
        sigemptyset(&interrupt);
        sigaddset(&interrupt, SIGINT);
        pthread_sigmask(SIG_BLOCK, &interrupt, nullptr);
        kill(getpid(), SIGINT);
        const int out = open(outPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, STDOUT_FILENO);
        execv(argv[0], argv);
        _exit(127);
    }
    QVERIFY(pid > 0);
    int status = -1;
    QVERIFY(QTest::qWaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20000));
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QFile out(dir.filePath("early.out"));
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.readAll(), QByteArray());  // it never played
    QVERIFY(leftAtZero(vekd));
}

void TestVek72PlayTool::serviceDropsTheModule()
{
    QProcess play;
    QVERIFY(startPlaying(play, {"--signal", "sine:1000:1"}));
    QCOMPARE(vekd.vekctl({"fault", "drop"}), 0);
    QVERIFY(endsWith(play, 3));
    QVERIFY(QString::fromUtf8(play.readAllStandardError())
                .contains(QStringLiteral("vek72-play: служба крейтов закрыла соединение с VEK72 в крейте 4B210736, слоте 3")));
}

QTEST_GUILESS_MAIN(TestVek72PlayTool)
#include "tst_vek72play_tool.moc"
