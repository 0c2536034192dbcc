// The simulated multimeter without a socket: what it measures in a trace of an output (DC mean,
// AC RMS through each filter, frequency), what it answers to the lines of its dialect, how long its
// readings take, and that its readings keep within the published 1-year accuracy of that class of
// meter.
#include <QtTest>

#include "dmmsim.h"
#include "scpiparser.h"

#include <cmath>

using namespace vekd;

namespace {

constexpr double kPi = 3.14159265358979323846;

// `seconds` of offset + a sine of `rms` volts RMS at `hz`, sampled at `rate`, from phase 0.
OutputTrace sine(double rate, double hz, double rms, double offset, double seconds)
{
    OutputTrace t;
    t.rate = rate;
    const size_t n = size_t(seconds * rate);
    t.volts.resize(n);
    for (size_t i = 0; i < n; ++i)
        t.volts[i] = offset + rms * std::sqrt(2.0) * std::sin(2 * kPi * hz * double(i) / rate);
    return t;
}

OutputTrace held(double volts)
{
    OutputTrace t;
    t.volts.assign(1, volts);
    return t;
}

// A meter whose input is `trace` on every channel (the last `seconds` of it, as a module gives it).
struct Meter {
    OutputTrace trace;
    int lastChannel = -1;
    SimDmm dmm{SimDmm::Identity(), [this](int channel, double seconds) {
                   lastChannel = channel;
                   if (trace.rate <= 0) return trace;
                   OutputTrace last;
                   last.rate = trace.rate;
                   const size_t n = std::min(trace.volts.size(), size_t(std::ceil(seconds * trace.rate)));
                   last.volts.assign(trace.volts.end() - std::ptrdiff_t(n), trace.volts.end());
                   return last;
               }};

    // Runs a line as the server does (a reading is taken as soon as it has begun); the answers joined
    // by ';', and the errors it left, drained.
    QString line(const QByteArray& text, QStringList* errors = nullptr, double* readingSeconds = nullptr)
    {
        QStringList answers;
        for (const scpi::Command& command : scpi::parseLine(text)) {
            const SimDmm::Step step = dmm.execute(command);
            if (step.readingSeconds > 0) {
                if (readingSeconds)
                    *readingSeconds = step.readingSeconds;
                answers << dmm.finishReading();
            } else if (step.answered) {
                answers << step.answer;
            }
        }
        if (errors) {
            errors->clear();
            for (;;) {
                const QString entry = dmm.execute(scpi::parseLine("SYST:ERR?").first()).answer;
                if (entry.startsWith(QLatin1String("0,")))
                    break;
                errors->append(entry);
            }
        }
        return answers.join(QLatin1Char(';'));
    }
};

} // namespace

Q_DECLARE_METATYPE(OutputTrace)

class TestDmmSim : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void measurementsOfTraces_data();
    void measurementsOfTraces();
    void answersToTheDialect_data();
    void answersToTheDialect();
    void readingTimes_data();
    void readingTimes();
    void readingsStayWithinAccuracy_data();
    void readingsStayWithinAccuracy();
};

void TestDmmSim::measurementsOfTraces_data()
{
    QTest::addColumn<QString>("measure");   // "DC", "AC" or "F"
    QTest::addColumn<OutputTrace>("trace");
    QTest::addColumn<double>("seconds");    // aperture, window or gate
    QTest::addColumn<int>("bandwidth");     // AC filter
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");

    const double r = 48000;
    QTest::newRow("DC of a level") << "DC" << sine(r, 1000, 0, 2.5, 0.5) << 0.2 << 0 << 2.5 - 1e-12 << 2.5 + 1e-12;
    QTest::newRow("DC of a sine over whole periods is its offset")
        << "DC" << sine(r, 1000, 1, 0.5, 0.5) << 0.2 << 0 << 0.5 - 1e-9 << 0.5 + 1e-9;
    QTest::newRow("DC of a held output") << "DC" << held(-3.25) << 0.2 << 0 << -3.25 << -3.25;
    QTest::newRow("AC 1 kHz 1 V RMS on 2.5 V, 20 Hz filter") << "AC" << sine(r, 1000, 1, 2.5, 1.5) << 0.25 << 20 << 0.9998 << 1.0002;
    QTest::newRow("AC 1 kHz, 200 Hz filter") << "AC" << sine(r, 1000, 1, 0, 0.2) << 0.025 << 200 << 0.9998 << 1.0002;
    QTest::newRow("AC 1 kHz, 3 Hz filter") << "AC" << sine(r, 1000, 1, -1, 7.5) << 5 / 3.0 << 3 << 0.9998 << 1.0002;
    QTest::newRow("AC 20 Hz through the 20 Hz filter") << "AC" << sine(r, 20, 0.5, 0, 1.5) << 0.25 << 20 << 0.4995 << 0.5005;
    QTest::newRow("AC 5 Hz through the 3 Hz filter") << "AC" << sine(r, 5, 1, 0, 7.5) << 5 / 3.0 << 3 << 0.9962 << 1.0038;
    // Below its filter a meter reads low, as a real one does.
    QTest::newRow("AC 5 Hz through the 20 Hz filter reads low") << "AC" << sine(r, 5, 1, 0, 1.5) << 0.25 << 20 << 0.80 << 0.97;
    QTest::newRow("AC 50 Hz through the 200 Hz filter reads low") << "AC" << sine(r, 50, 1, 0, 0.2) << 0.025 << 200 << 0.80 << 0.97;
    QTest::newRow("AC of a held output") << "AC" << held(5) << 0.25 << 20 << 0.0 << 0.0;
    QTest::newRow("AC of a level") << "AC" << sine(r, 1000, 0, 5, 1.5) << 0.25 << 20 << 0.0 << 1e-9;
    QTest::newRow("F 1 kHz, 100 ms gate") << "F" << sine(r, 1000, 1, 2, 0.2) << 0.1 << 0 << 999.99 << 1000.01;
    QTest::newRow("F 5 Hz, 1 s gate") << "F" << sine(r, 5, 1, 0, 1.2) << 1.0 << 0 << 4.999 << 5.001;
    QTest::newRow("F 12345.678 Hz") << "F" << sine(r, 12345.678, 0.2, 0, 0.2) << 0.1 << 0 << 12345.678 - 0.05 << 12345.678 + 0.05;
    QTest::newRow("F of a level is 0") << "F" << sine(r, 1000, 0, 1, 0.2) << 0.1 << 0 << 0.0 << 0.0;
    QTest::newRow("F of less than 1 mV is 0") << "F" << sine(r, 1000, 0.0005, 0, 0.2) << 0.1 << 0 << 0.0 << 0.0;
    QTest::newRow("F of 5 Hz in a 100 ms gate is 0") << "F" << sine(r, 5, 1, 0, 0.2) << 0.1 << 0 << 0.0 << 0.0;
}

void TestDmmSim::measurementsOfTraces()
{
    QFETCH(QString, measure);
    QFETCH(OutputTrace, trace);
    QFETCH(double, seconds);
    QFETCH(int, bandwidth);
    QFETCH(double, low);
    QFETCH(double, high);
    const double value = measure == "DC" ? traceMean(trace, seconds)
                         : measure == "AC" ? traceAcRms(trace, bandwidth, seconds)
                                           : traceFrequency(trace, seconds);
    if (value < low || value > high)
        QFAIL(qPrintable(QString("%1 read %2, not within %3..%4").arg(measure).arg(value, 0, 'g', 10).arg(low).arg(high)));
}

void TestDmmSim::answersToTheDialect_data()
{
    QTest::addColumn<bool>("scanner");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("answer");     // a regular expression of the whole answer line
    QTest::addColumn<QStringList>("errors"); // what SYST:ERR? has afterwards

    const QStringList none;
    QTest::newRow("identity") << false << QByteArray("*IDN?") << "Keysight Technologies,34465A,VEKD000072,SIM\\.01\\.00" << none;
    QTest::newRow("DC on the 10 V range") << false << QByteArray("CONF:VOLT:DC 10;:VOLT:DC:NPLC 1;:READ?")
                                          << "\\+2\\.49\\d{6}E\\+00|\\+2\\.50\\d{6}E\\+00" << none;
    QTest::newRow("a compound line of queries") << false << QByteArray("*IDN?;:MEAS:VOLT:DC?;:SYST:ERR?")
                                                << "Keysight[^;]*;\\+2\\.[45]\\d{7}E\\+00;0,\"No error\"" << none;
    QTest::newRow("2.5 V overloads the 1 V range") << false << QByteArray("MEAS:VOLT:DC? 1") << "\\+9\\.90000000E\\+37" << none;
    QTest::newRow("a range no meter has") << false << QByteArray("MEAS:VOLT:DC? 2000") << ""
                                          << QStringList{"-222,\"Data out of range\""};
    QTest::newRow("range 2 V is the 10 V range") << false << QByteArray("VOLT:DC:RANG 2;RANG?;RANG:AUTO?")
                                                 << "\\+1\\.00000000E\\+01;0" << none;
    QTest::newRow("NPLC to the next allowed") << false << QByteArray("VOLT:DC:NPLC 0.5;NPLC?") << "\\+1\\.00000000E\\+00" << none;
    QTest::newRow("NPLC beyond 100") << false << QByteArray("VOLT:DC:NPLC 200") << "" << QStringList{"-222,\"Data out of range\""};
    QTest::newRow("15 Hz takes the slow filter") << false << QByteArray("VOLT:AC:BAND 15;BAND?") << "\\+3\\.00000000E\\+00" << none;
    QTest::newRow("190 Hz takes the medium filter") << false << QByteArray("VOLT:AC:BAND 190;BAND?") << "\\+2\\.00000000E\\+01" << none;
    QTest::newRow("MAX takes the fast filter") << false << QByteArray("SENS:VOLT:AC:BAND MAX;BAND?") << "\\+2\\.00000000E\\+02" << none;
    QTest::newRow("a filter above 300 kHz") << false << QByteArray("VOLT:AC:BAND 1E6") << "" << QStringList{"-222,\"Data out of range\""};
    QTest::newRow("CONFigure resets the filter") << false << QByteArray("VOLT:AC:BAND 3;:CONF:VOLT:AC;:VOLT:AC:BAND?")
                                                 << "\\+2\\.00000000E\\+01" << none;
    QTest::newRow("gate") << false << QByteArray("FREQ:APER 0.05;APER?") << "\\+1\\.00000000E-01" << none;
    QTest::newRow("what is configured") << false << QByteArray("CONF:VOLT:AC 1;:CONF?;FUNC?")
                                        << "\"VOLT:AC \\+1\\.00000000E\\+00,\\+1\\.00000000E-06\";\"VOLT:AC\"" << none;
    QTest::newRow("*RST") << false << QByteArray("CONF:FREQ;*RST;:FUNC?;:VOLT:DC:NPLC?") << "\"VOLT\";\\+1\\.00000000E\\+01" << none;
    QTest::newRow("no scanner") << false << QByteArray("ROUT:CLOS (@101)") << "" << QStringList{"-241,\"Hardware missing\""};
    QTest::newRow("scanner: one channel closed") << true << QByteArray("ROUT:CLOS (@102);:ROUT:CLOS (@103);:ROUT:CLOS? (@101:103)")
                                                 << "0,0,1" << none;
    QTest::newRow("scanner: open") << true << QByteArray("ROUT:CLOS (@104);:ROUT:OPEN (@104);:ROUT:CLOS? (@104)") << "0" << none;
    QTest::newRow("scanner: two at once") << true << QByteArray("ROUT:CLOS (@101,102)") << "" << QStringList{"-221,\"Settings conflict\""};
    QTest::newRow("scanner: no channel 109") << true << QByteArray("ROUT:CLOS (@109)") << "" << QStringList{"-222,\"Data out of range\""};
    QTest::newRow("scanner: not a channel list") << true << QByteArray("ROUT:CLOS 101") << "" << QStringList{"-224,\"Illegal parameter value\""};
    QTest::newRow("unknown header") << false << QByteArray("FOO?;:BAR") << ""
                                    << QStringList{"-113,\"Undefined header\"", "-113,\"Undefined header\""};
    QTest::newRow("a parameter too many") << false << QByteArray("*IDN? 1") << "" << QStringList{"-108,\"Parameter not allowed\""};
    QTest::newRow("nothing to tell") << false << QByteArray("SYST:ERR?") << "0,\"No error\"" << none;
}

void TestDmmSim::answersToTheDialect()
{
    QFETCH(bool, scanner);
    QFETCH(QByteArray, line);
    QFETCH(QString, answer);
    QFETCH(QStringList, errors);
    Meter meter;
    meter.trace = held(2.5);
    meter.dmm.setScanner(scanner);
    QStringList left;
    const QString got = meter.line(line, &left);
    QVERIFY2(QRegularExpression("^(" + answer + ")$").match(got).hasMatch(), qPrintable(got));
    QCOMPARE(left, errors);
}

void TestDmmSim::readingTimes_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<double>("seconds");
    // That class of meter: NPLC of 50 Hz mains twice (auto-zero), the AC filters' settling delays,
    // the frequency gate.
    QTest::newRow("DC, 10 NPLC") << QByteArray("CONF:VOLT:DC;:READ?") << 0.401;
    QTest::newRow("DC, 1 NPLC") << QByteArray("CONF:VOLT:DC;:VOLT:DC:NPLC 1;:READ?") << 0.041;
    QTest::newRow("DC, 100 NPLC") << QByteArray("CONF:VOLT:DC;:VOLT:DC:NPLC 100;:READ?") << 4.001;
    QTest::newRow("AC, 3 Hz filter") << QByteArray("CONF:VOLT:AC;:VOLT:AC:BAND 3;:READ?") << 2.501;
    QTest::newRow("AC, 20 Hz filter") << QByteArray("MEAS:VOLT:AC?") << 0.626;
    QTest::newRow("AC, 200 Hz filter") << QByteArray("CONF:VOLT:AC;:VOLT:AC:BAND 200;:READ?") << 0.026;
    QTest::newRow("frequency, 1 s gate") << QByteArray("CONF:FREQ;:FREQ:APER 1;:READ?") << 1.001;
}

void TestDmmSim::readingTimes()
{
    QFETCH(QByteArray, line);
    QFETCH(double, seconds);
    Meter meter;
    meter.trace = sine(48000, 1000, 1, 0, 8);
    double took = 0;
    QStringList errors;
    meter.line(line, &errors, &took);
    QCOMPARE(errors, QStringList());
    QVERIFY2(std::fabs(took - seconds) < 1e-9, qPrintable(QString::number(took)));
}

void TestDmmSim::readingsStayWithinAccuracy_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<OutputTrace>("input");
    QTest::addColumn<double>("truth");
    QTest::addColumn<double>("tolerance");
    // The published 1-year figures, ±(% of reading + % of range).
    const auto allowed = [](double reading, double range, double readingPct, double rangePct) {
        return readingPct / 100 * std::fabs(reading) + rangePct / 100 * range;
    };
    QTest::newRow("DC 50 mV, 100 mV range") << QByteArray("CONF:VOLT:DC 0.1") << held(0.05) << 0.05 << allowed(0.05, 0.1, 0.0040, 0.0035);
    QTest::newRow("DC 0.9 V, 1 V range") << QByteArray("CONF:VOLT:DC 1") << held(0.9) << 0.9 << allowed(0.9, 1, 0.0040, 0.0007);
    QTest::newRow("DC 2.5 V, autorange (10 V)") << QByteArray("CONF:VOLT:DC AUTO") << held(2.5) << 2.5 << allowed(2.5, 10, 0.0030, 0.0005);
    QTest::newRow("DC -7.3 V, 10 V range") << QByteArray("CONF:VOLT:DC 10") << held(-7.3) << -7.3 << allowed(7.3, 10, 0.0030, 0.0005);
    QTest::newRow("DC 15 V, 100 V range") << QByteArray("CONF:VOLT:DC 100") << held(15) << 15.0 << allowed(15, 100, 0.0040, 0.0006);
    // At 0.02 NPLC that class adds noise of a few ppm of range.
    QTest::newRow("DC 2.5 V, 0.02 NPLC") << QByteArray("CONF:VOLT:DC 10;:VOLT:DC:NPLC 0.02") << held(2.5) << 2.5
                                          << allowed(2.5, 10, 0.0030, 0.0005) + 3 * 0.0015 / 100 * 10;
    QTest::newRow("AC 1 kHz 1 V, 1 V range") << QByteArray("CONF:VOLT:AC 1") << sine(48000, 1000, 1, 0, 1.5) << 1.0
                                             << allowed(1, 1, 0.06, 0.03);
    QTest::newRow("AC 1 kHz 70 mV, 100 mV range, fast filter") << QByteArray("CONF:VOLT:AC 0.1;:VOLT:AC:BAND 200")
                                                             << sine(48000, 1000, 0.07, 0, 0.2) << 0.07 << allowed(0.07, 0.1, 0.06, 0.03);
    QTest::newRow("F 1 kHz") << QByteArray("CONF:FREQ") << sine(48000, 1000, 1, 0, 0.2) << 1000.0 << allowed(1000, 0, 0.01, 0);
}

void TestDmmSim::readingsStayWithinAccuracy()
{
    QFETCH(QByteArray, setup);
    QFETCH(OutputTrace, input);
    QFETCH(double, truth);
    QFETCH(double, tolerance);
    Meter meter;
    meter.trace = input;
    QStringList errors;
    meter.line(setup, &errors);
    QCOMPARE(errors, QStringList());
    double worst = 0;
    QSet<QString> distinct;
    for (int i = 0; i < 200; ++i) {
        const QString answer = meter.line("READ?");
        distinct.insert(answer);
        worst = std::max(worst, std::fabs(answer.toDouble() - truth));
    }
    QVERIFY2(worst <= tolerance, qPrintable(QString("worst error %1, allowed %2").arg(worst).arg(tolerance)));
    // A meter that always says the same has no noise: that class of meter has.
    QVERIFY(distinct.size() > 1);
}

QTEST_GUILESS_MAIN(TestDmmSim)
#include "tst_dmmsim.moc"
