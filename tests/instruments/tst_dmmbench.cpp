// The DMM client against the simulated multimeter of a vekd of the test's own, wired to a module
// that plays a known page: DC 2.5 V, a 1 kHz sine of 1 V RMS, a 5 Hz sine of 1 V RMS and a 1 kHz
// sine of 0.5 V RMS on 1.5 V. Each reading is compared with what the module really plays (its
// words decoded) within the published 1-year accuracy of that class of meter; the meter that is
// not there, hangs, drops the connection or answers garbage is lost once and found again; and a
// client that is not this program (a plain socket, pyvisa) speaks the same dialect.
#include <QtTest>

#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include "dacword.h"
#include "platformtest.h"
#include "scpidmm.h"
#include "vekdrunner.h"

#include <cmath>

using namespace instruments;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 12000;   // per channel: a DAC rate of 48 kHz shared by four channels
constexpr int kFrames = 2400;     // one page: whole periods of 1 kHz and of 5 Hz
constexpr double kSpeed = 20;     // the meter's readings take a twentieth of their time

// The page the module plays and what it really puts out: the volts of its words decoded.
struct Page {
    std::vector<double> samples;  // interleaved, 4 channels
    double played[4][kFrames];    // per channel, decoded
};

const Page& page()
{
    static Page p = [] {
        Page q;
        for (int i = 0; i < kFrames; ++i) {
            const double t = i / kRate;
            q.samples.push_back(2.5);
            q.samples.push_back(std::sqrt(2.0) * std::sin(2 * kPi * 1000 * t));
            q.samples.push_back(std::sqrt(2.0) * std::sin(2 * kPi * 5 * t));
            q.samples.push_back(1.5 + 0.5 * std::sqrt(2.0) * std::sin(2 * kPi * 1000 * t));
        }
        // Modification 1, full range: -10..+10 V in 65536 codes, rounded to nearest.
        const vekproto::Scale scale = vekproto::channelScale(1, 0);
        for (int i = 0; i < kFrames; ++i)
            for (int c = 0; c < 4; ++c) {
                const double code = std::round((q.samples[size_t(i * 4 + c)] - scale.min) / (scale.max - scale.min) * 65535);
                q.played[c][i] = vekproto::codeToVolts(unsigned(code), scale);
            }
        return q;
    }();
    return p;
}

double mean(int channel)
{
    double sum = 0;
    for (double v : page().played[channel]) sum += v;
    return sum / kFrames;
}

double acRms(int channel)
{
    const double m = mean(channel);
    double sum = 0;
    for (double v : page().played[channel]) sum += (v - m) * (v - m);
    return std::sqrt(sum / kFrames);
}

// ±(% of reading + % of range) of the published 1-year figures.
double allowed(double reading, double range, double readingPct, double rangePct)
{
    return readingPct / 100 * std::fabs(reading) + rangePct / 100 * range;
}

DmmSetup setup(DmmFunction function, double range = 0)
{
    DmmSetup s;
    s.function = function;
    s.range = range;
    return s;
}

} // namespace

class TestDmmBench : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void readingsOfKnownOutputs_data();
    void readingsOfKnownOutputs();
    void lostAndFoundAgain_data();
    void lostAndFoundAgain();
    void meterThatIsNotThere();
    void wiringAndFaultRefusals_data();
    void wiringAndFaultRefusals();
    void plainSocketSpeaksTheDialect_data();
    void plainSocketSpeaksTheDialect();
    void pyvisaReadsIt();

private:
    int wire(const QStringList& how) { return vekd.vekctl(QStringList{"probe"} + how); }

    VekdRunner vekd;
    Module module;
};

void TestDmmBench::initTestCase()
{
    QVERIFY(vekd.startWithMultimeter(kSpeed));
    QCOMPARE(module.open(3), 0);
    QCOMPARE(module.configure({{0, 0}, {1, 0}, {2, 0}, {3, 0}}, 0, 48000), 0);
    const std::vector<uint32_t> words = module.prepare(page().samples);
    QCOMPARE(module.send(words), int(words.size()));
    QCOMPARE(VEK72_SwitchCyclePage(&module.h, 0, 1000), 0);
    // The slow filter looks seven seconds back: the module has played long enough for it.
    QTRY_VERIFY_WITH_TIMEOUT(counter(vekd, 3, "framesPlayed") >= 7.5 * kRate, 20000);
}

void TestDmmBench::cleanupTestCase()
{
    VEK72_Stop(&module.h, 0);
}

void TestDmmBench::readingsOfKnownOutputs_data()
{
    QTest::addColumn<bool>("scanner"); // else a probe
    QTest::addColumn<int>("output");   // 1..8
    QTest::addColumn<DmmSetup>("setup");
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");  // low > high: an overload is expected

    const auto row = [](const char* name, bool scanner, int output, DmmSetup s, double truth, double tolerance) {
        QTest::newRow(name) << scanner << output << s << truth - tolerance << truth + tolerance;
    };
    DmmSetup dc = setup(DmmFunction::DcVoltage);
    dc.nplc = 1;
    row("DC 2.5 V, probe, autorange", false, 1, dc, mean(0), allowed(mean(0), 10, 0.0030, 0.0005));
    DmmSetup dc10 = setup(DmmFunction::DcVoltage, 10);
    row("DC 2.5 V, scanner 101, 10 V range, 10 NPLC", true, 1, dc10, mean(0), allowed(mean(0), 10, 0.0030, 0.0005));
    row("DC of a sine on 1.5 V is its offset", false, 4, dc10, mean(3), allowed(mean(3), 10, 0.0030, 0.0005));
    QTest::newRow("2.5 V overloads the 1 V range") << false << 1 << setup(DmmFunction::DcVoltage, 1) << 1.0 << 0.0;

    DmmSetup ac = setup(DmmFunction::AcVoltage);
    row("AC 1 kHz 1 V RMS, 20 Hz filter", false, 2, ac, acRms(1), allowed(acRms(1), 1, 0.06, 0.03));
    ac.acBandwidthHz = 200;
    ac.range = 1;
    row("AC 1 kHz, scanner 102, 1 V range, 200 Hz filter", true, 2, ac, acRms(1), allowed(acRms(1), 1, 0.06, 0.03));
    ac.acBandwidthHz = 3;
    row("AC 1 kHz, 3 Hz filter", false, 2, ac, acRms(1), allowed(acRms(1), 1, 0.06, 0.03));
    row("AC 0.5 V RMS riding on 1.5 V", true, 4, setup(DmmFunction::AcVoltage), acRms(3), allowed(acRms(3), 1, 0.06, 0.03));
    // 5..10 Hz: ±(0.35 % + 0.03 %) with the filter for signals above 3 Hz.
    row("AC 5 Hz, 3 Hz filter", false, 3, ac, acRms(2), allowed(acRms(2), 1, 0.35, 0.03));
    // Below the filter a meter reads low, as a real one does.
    QTest::newRow("AC 5 Hz through the 20 Hz filter reads low") << false << 3 << setup(DmmFunction::AcVoltage)
                                                                 << 0.80 * acRms(2) << 0.97 * acRms(2);

    DmmSetup f = setup(DmmFunction::Frequency);
    row("frequency 1 kHz, scanner 102", true, 2, f, 1000, allowed(1000, 0, 0.01, 0));
    f.gateSeconds = 1;
    row("frequency 5 Hz, 1 s gate", false, 3, f, 5, allowed(5, 0, 0.05, 0));
    row("an output the module does not play is 0 V", true, 6, dc, 0, allowed(0, 0.1, 0.0040, 0.0035));
}

void TestDmmBench::readingsOfKnownOutputs()
{
    QFETCH(bool, scanner);
    QFETCH(int, output);
    QFETCH(DmmSetup, setup);
    QFETCH(double, low);
    QFETCH(double, high);
    if (scanner) {
        QCOMPARE(wire({"--crate", kCrate, "--slot", "3", "--scanner"}), 0);
        setup.scannerChannel = output;
    } else {
        QCOMPARE(wire({"--crate", kCrate, "--slot", "3", "--channel", QString::number(output)}), 0);
    }
    std::unique_ptr<ScpiDmm> dmm = ScpiDmm::atAddress(vekd.dmmAddress());
    QString error;
    QVERIFY2(dmm->open(&error), qPrintable(error));
    QVERIFY2(dmm->configure(setup, &error), qPrintable(error));
    for (int i = 0; i < 3; ++i) {
        DmmReading r;
        QVERIFY2(dmm->read(&r, &error), qPrintable(error));
        if (low > high) {
            QVERIFY(r.overload);
            continue;
        }
        QVERIFY(!r.overload);
        QVERIFY2(r.value >= low && r.value <= high,
                 qPrintable(QString("read %1, not within %2..%3").arg(r.value, 0, 'g', 10).arg(low, 0, 'g', 10).arg(high, 0, 'g', 10)));
    }
    if (scanner)
        QCOMPARE(benchstatus::status(vekd)["dmm"].toObject()["closedChannel"].toInt(), 100 + output);
}

void TestDmmBench::lostAndFoundAgain_data()
{
    QTest::addColumn<QStringList>("fault");
    QTest::addColumn<QString>("reason");
    QTest::newRow("hang") << QStringList{"hang", "--target", "dmm"} << "мультиметр %1 не ответил за 1082 мс (READ?)";
    QTest::newRow("drop") << QStringList{"drop", "--target", "dmm"} << "мультиметр %1 закрыл соединение (READ?)";
    QTest::newRow("garbage") << QStringList{"garbage", "--target", "dmm"}
                             << "мультиметр %1 ответил непонятно: «�#?�@@�%q� 0xDEAD;;» (READ?)";
}

void TestDmmBench::lostAndFoundAgain()
{
    QFETCH(QStringList, fault);
    QFETCH(QString, reason);
    QCOMPARE(wire({"--crate", kCrate, "--slot", "3", "--channel", "1"}), 0);
    std::unique_ptr<ScpiDmm> dmm = ScpiDmm::atAddress(vekd.dmmAddress());
    QSignalSpy found(dmm.get(), &Dmm::found);
    QSignalSpy lost(dmm.get(), &Dmm::lost);
    DmmSetup s = setup(DmmFunction::DcVoltage, 10);
    s.nplc = 1;
    DmmReading r;
    QVERIFY(dmm->open(nullptr) && dmm->configure(s, nullptr) && dmm->read(&r, nullptr));

    QCOMPARE(vekd.vekctl(QStringList{"fault"} + fault), 0);
    QString error;
    QVERIFY(!dmm->read(&r, &error));
    QCOMPARE(error, reason.arg(vekd.dmmAddress()));
    QCOMPARE(lost.size(), 1);
    QCOMPARE(lost.first().first().toString(), error);
    QVERIFY(!dmm->isOpen());
    QVERIFY(!dmm->read(&r, &error));
    QCOMPARE(lost.size(), 1);

    // Found again once the meter answers: a connection of its own, set up anew.
    QCOMPARE(vekd.vekctl({"fault", "clear"}), 0);
    QVERIFY2(dmm->open(&error), qPrintable(error));
    QCOMPARE(found.size(), 2);
    QVERIFY(dmm->configure(s, nullptr));
    QVERIFY(dmm->read(&r, &error));
    QVERIFY(qAbs(r.value - mean(0)) < allowed(mean(0), 10, 0.0030, 0.0005));
}

void TestDmmBench::meterThatIsNotThere()
{
    // A port that nothing listens on any more.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const QString address = QString("127.0.0.1:%1").arg(server.serverPort());
    server.close();
    std::unique_ptr<ScpiDmm> dmm = ScpiDmm::atAddress(address);
    QSignalSpy lost(dmm.get(), &Dmm::lost);
    QString error;
    QVERIFY(!dmm->open(&error));
    QCOMPARE(error, QString("мультиметр %1 недоступен (соединение не установлено)").arg(address));
    DmmReading r;
    QVERIFY(!dmm->read(&r, &error));
    QCOMPARE(error, QString("мультиметр %1 не подключён").arg(address));
    QCOMPARE(lost.size(), 0);
    QVERIFY(!ScpiDmm::atAddress("127.0.0.1"));
    QVERIFY(!ScpiDmm::atAddress("127.0.0.1:99999"));
}

void TestDmmBench::wiringAndFaultRefusals_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("says");
    QTest::newRow("a crate without a VEK72") << QStringList{"probe", "--crate", "4B210751", "--slot", "2", "--channel", "1"}
                                            << "служба отказала в probe: crate 4B210751 has no VEK72 in slot 2";
    QTest::newRow("an output the module has not") << QStringList{"probe", "--crate", kCrate, "--slot", "7", "--channel", "5"}
                                                 << "служба отказала в probe: the module has outputs 1..4";
    QTest::newRow("no such crate") << QStringList{"probe", "--crate", "NONE", "--slot", "3", "--scanner"}
                                   << "служба отказала в probe: no crate \"NONE\"";
    QTest::newRow("a fault the meter has not") << QStringList{"fault", "fail", "--target", "dmm", "--function", "READ?"}
                                              << "служба отказала в fault: unknown fault action \"fail\" for the multimeter";
}

void TestDmmBench::wiringAndFaultRefusals()
{
    QFETCH(QStringList, args);
    QFETCH(QString, says);
    QCOMPARE(wire({"--crate", kCrate, "--slot", "3", "--channel", "2"}), 0);
    QByteArray err;
    QCOMPARE(vekd.vekctl(args, nullptr, &err), 1);
    QVERIFY2(QString::fromUtf8(err).contains(says), err.constData());
    // The wiring stays as it was.
    QCOMPARE(benchstatus::status(vekd)["dmm"].toObject()["wiring"].toString(), QString("the probe touches %1/3 output 2").arg(kCrate));
}

void TestDmmBench::plainSocketSpeaksTheDialect_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("answer"); // a regular expression of the whole line
    QTest::newRow("identity") << QByteArray("*idn?") << "Keysight Technologies,34465A,VEKD000072,SIM\\.01\\.00";
    QTest::newRow("measure at once") << QByteArray("MEASure:VOLTage:DC?") << "\\+2\\.49\\d{6}E\\+00|\\+2\\.50\\d{6}E\\+00";
    QTest::newRow("compound line, CR LF") << QByteArray("CONF:VOLT:DC 10;:VOLT:NPLC 0.2;:READ?;READ?;:SYST:ERR?\r")
                                          << "(\\+2\\.[45]\\d{7}E\\+00;){2}0,\"No error\"";
    QTest::newRow("errors queue up") << QByteArray("VOLT:AC:BAND 1E7;:FOO;:SYST:ERR?;:SYST:ERR?;:SYST:ERR?")
                                     << "-222,\"Data out of range\";-113,\"Undefined header\";0,\"No error\"";
    QTest::newRow("AC through the fast filter") << QByteArray("CONF:VOLT:AC 10;:SENS:VOLT:AC:BAND 200;:READ?")
                                                << "[+-]\\d\\.\\d{8}E-0[3-9]";
}

void TestDmmBench::plainSocketSpeaksTheDialect()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, answer);
    QCOMPARE(wire({"--crate", kCrate, "--slot", "3", "--channel", "1"}), 0);
    QTcpSocket socket;
    const int colon = vekd.dmmAddress().lastIndexOf(':');
    socket.connectToHost("127.0.0.1", quint16(vekd.dmmAddress().mid(colon + 1).toUInt()));
    QVERIFY(socket.waitForConnected(5000));
    socket.write(line + "\n");
    QTRY_VERIFY_WITH_TIMEOUT(socket.canReadLine(), 10000);
    const QString got = QString::fromLatin1(socket.readLine()).trimmed();
    QVERIFY2(QRegularExpression("^(" + answer + ")$").match(got).hasMatch(), qPrintable(got));
}

void TestDmmBench::pyvisaReadsIt()
{
    QCOMPARE(wire({"--crate", kCrate, "--slot", "3", "--channel", "2"}), 0);
    const QString port = vekd.dmmAddress().mid(vekd.dmmAddress().lastIndexOf(':') + 1);
    const QString script = QString(
        "import pyvisa\n"
        "dmm = pyvisa.ResourceManager('@py').open_resource('TCPIP::127.0.0.1::%1::SOCKET',"
        " read_termination='\\n', write_termination='\\n', timeout=10000)\n"
        "print(dmm.query('*IDN?'))\n"
        "dmm.write('CONF:VOLT:AC 1')\n"
        "dmm.write('VOLT:AC:BAND 200')\n"
        "print(float(dmm.query('READ?')))\n"
        "print(dmm.query('SYST:ERR?'))\n").arg(port);
    QProcess python;
    python.start(PYVISA_PYTHON, {"-c", script});
    QVERIFY(python.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(python.state() == QProcess::NotRunning, 60000);
    QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
    const QStringList lines = QString::fromLatin1(python.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[0].startsWith("Keysight Technologies,34465A,"));
    QVERIFY2(qAbs(lines[1].toDouble() - acRms(1)) <= allowed(acRms(1), 1, 0.06, 0.03), qPrintable(lines[1]));
    QCOMPARE(lines[2], QString("0,\"No error\""));
}

QTEST_GUILESS_MAIN(TestDmmBench)
#include "tst_dmmbench.moc"
