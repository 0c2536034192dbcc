// The bench's multimeter timed against the simulated meter of a vekd of its own, the meter taking
// that class's reading times (no speed-up), its probe on output 1 of a module that plays DC 2.5 V.
//
//   bench_dmm [--seconds S]
//       Readings per second through the DMM client, for each function, NPLC, filter and gate.
//       Then the program's window (offscreen) reads DC with the display period at its shortest
//       (100 ms), for S seconds (default 10) each: with the multimeter off, reading, and reading
//       while the meter hangs. Readings shown per second, and how late a 1 ms timer of the GUI
//       thread came at worst and at the 99th percentile (how long the window was held).
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "benchstatus.h"
#include "mainwindow.h"
#include "module.h"
#include "resources.h"
#include "scpidmm.h"
#include "vekdrunner.h"

using namespace instruments;

namespace {

struct Lateness
{
    double worstMs = 0;
    double p99Ms = 0;
};

// Runs the event loop for `ms` with a 1 ms timer and says how late its ticks came.
Lateness eventLoopFor(int ms)
{
    std::vector<double> late;
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        late.push_back(std::max(0.0, (now - last) / 1e6 - 1.0));
        last = now;
    });
    tick.start(1);
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    tick.stop();
    std::sort(late.begin(), late.end());
    Lateness l;
    if (!late.empty()) {
        l.worstMs = late.back();
        l.p99Ms = late[size_t(late.size() * 0.99)];
    }
    return l;
}

double meterReadings(VekdRunner& vekd)
{
    return benchstatus::status(vekd)["dmm"].toObject()["readings"].toDouble();
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initStendixResources();
    int seconds = 10;
    const QStringList args = app.arguments();
    const int at = args.indexOf("--seconds");
    if (at > 0 && at + 1 < args.size())
        seconds = qMax(1, args.at(at + 1).toInt());

    VekdRunner vekd;
    if (!vekd.startWithMultimeter(1)) {
        std::fprintf(stderr, "bench_dmm: vekd did not start\n");
        return 1;
    }
    vekd.vekctl({"probe", "--crate", "4B210736", "--slot", "3", "--channel", "1"});

    // Readings per second through the client.
    std::printf("readings per second through the DMM client (that class of meter's times)\n");
    struct Row { const char* name; DmmSetup setup; int readings; };
    std::vector<Row> rows;
    const auto dc = [](double nplc) { DmmSetup s; s.range = 10; s.nplc = nplc; return s; };
    const auto ac = [](int hz) { DmmSetup s; s.function = DmmFunction::AcVoltage; s.range = 10; s.acBandwidthHz = hz; return s; };
    const auto f = [](double gate) { DmmSetup s; s.function = DmmFunction::Frequency; s.gateSeconds = gate; return s; };
    rows.push_back({"DC 0.02 NPLC", dc(0.02), 400});
    rows.push_back({"DC 1 NPLC", dc(1), 50});
    rows.push_back({"DC 10 NPLC", dc(10), 10});
    rows.push_back({"AC > 200 Hz", ac(200), 40});
    rows.push_back({"AC > 20 Hz", ac(20), 4});
    rows.push_back({"AC > 3 Hz", ac(3), 2});
    rows.push_back({"F, 10 ms gate", f(0.01), 50});
    rows.push_back({"F, 100 ms gate", f(0.1), 10});
    std::unique_ptr<ScpiDmm> dmm = ScpiDmm::atAddress(vekd.dmmAddress());
    QString error;
    if (!dmm->open(&error)) {
        std::fprintf(stderr, "bench_dmm: %s\n", qUtf8Printable(error));
        return 1;
    }
    for (const Row& row : rows) {
        if (!dmm->configure(row.setup, &error)) {
            std::fprintf(stderr, "bench_dmm: %s\n", qUtf8Printable(error));
            return 1;
        }
        DmmReading r;
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < row.readings; ++i)
            if (!dmm->read(&r, &error)) {
                std::fprintf(stderr, "bench_dmm: %s\n", qUtf8Printable(error));
                return 1;
            }
        const double s = t.nsecsElapsed() / 1e9;
        std::printf("  %-16s %8.2f readings/s (%d in %.2f s; that class: %d ms each)\n", row.name, row.readings / s,
                    row.readings, s, readingTimeMs(row.setup));
    }
    dmm->close();

    // The window.
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    {
        QSettings ini(dir.filePath("stendix.ini"), QSettings::IniFormat);
        ini.setValue("Global/DisplayUpdateMs", 100);
        ini.setValue("Remote/Enabled", false);
        ini.setValue("Multimeter/Address", vekd.dmmAddress());
    }
    MainWindow window;
    window.show();
    QElapsedTimer wait;
    wait.start();
    while (!window.selectionAllowed() && wait.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QWidget* central = window.centralWidget();
    auto* result = central->findChild<QLineEdit*>("lineEditMeasureResult");
    Module* module = window.engineObject()->moduleObject();
    QThread* setter = QThread::create([module] {
        module->holdRestarts(true);
        for (const auto& s : QList<QPair<QString, QVariant>>{{"enabled", true}, {"function", "DC"}, {"range", "FULL"},
                                                              {"voltage", 2.5}, {"output", true}}) {
            module->changeSetting(s.first, s.first == "output" ? 0 : 1, s.second);
            module->settle(10000);
        }
        module->holdRestarts(false);
        module->settle(10000);
    });
    setter->start();
    while (!setter->isFinished())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    delete setter;

    std::printf("the window, display period 100 ms, DC 10 NPLC (0.4 s a reading), %d s each\n", seconds);
    const Lateness idle = eventLoopFor(seconds * 1000);
    std::printf("  multimeter off:   GUI timer late by at most %.1f ms (99th percentile %.2f ms)\n", idle.worstMs, idle.p99Ms);

    int shown = 0;
    QObject::connect(result, &QLineEdit::textChanged, [&](const QString& text) { shown += !text.isEmpty(); });
    central->findChild<QRadioButton*>("radioButtonMeasureDC")->click();
    wait.restart();
    while (result->text().isEmpty() && wait.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    shown = 0;
    double before = meterReadings(vekd);
    const Lateness reading = eventLoopFor(seconds * 1000);
    double taken = meterReadings(vekd) - before;
    std::printf("  reading:          %.2f readings/s taken, %.2f shown (a changed value), GUI timer late by at most %.1f ms "
                "(99th percentile %.2f ms)\n", taken / seconds, double(shown) / seconds, reading.worstMs, reading.p99Ms);

    vekd.vekctl({"fault", "hang", "--target", "dmm"});
    const Lateness hung = eventLoopFor(seconds * 1000);
    std::printf("  meter hangs:      GUI timer late by at most %.1f ms (99th percentile %.2f ms); the light is lost after the "
                "reading's bound (%d ms)\n", hung.worstMs, hung.p99Ms, readingBoundMs(DmmSetup()));
    vekd.vekctl({"fault", "clear"});
    window.close();
    return 0;
}
