// vek72-verify: runs a verification scenario without the window. The module is opened as the
// window opens it (the engine's discovery, then the real module object with its panels built into
// hosts that are never shown, in an offscreen application), so a run goes through the very panels
// and setting interface the page "Поверка" uses; the meter is the bench's, over SCPI. The service
// is $VEK_SERVICE (else CrateService of "stendix.ini", else 127.0.0.1:11111), the meter the one "stendix.ini" of the working directory
// names (group Multimeter), unless --dmm says otherwise. The file is only read: the module's own
// settings are taken from a copy.
//
// Exit status: 0 every step passed; 1 a step failed or had no result, or the run was stopped; 2 a
// bad command line or scenario file; 3 the crate service, the module or the meter could not be
// reached (or was lost during the run).

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

#include "appsettings.h"
#include "defaultscenario.h"
#include "engine.h"
#include "module.h"
#include "multimetersettings.h"
#include "report.h"
#include "resources.h"
#include "runner.h"
#include "scenariofile.h"
#include "serviceaddress.h"
#include "verificationbench.h"
#include "verificationsettings.h"

namespace {

constexpr int exitPassed = 0;
constexpr int exitFailed = 1;
constexpr int exitUsage = 2;
constexpr int exitUnreachable = 3;

// A discovery, and the engine's stop, are bounded by the service's own call bounds well within these.
constexpr int discoveryBoundMs = 60000;
constexpr int stopBoundMs = 30000;

const char usage[] =
    "Использование: vek72-verify --scenario ФАЙЛ|default --report ПАПКА [--crate СЕРИЙНЫЙ --slot N]\n"
    "                            [--dmm УЗЕЛ:ПОРТ] [--scanner] [--operator ТЕКСТ] [--conditions ТЕКСТ]\n"
    "\n"
    "Выполняет сценарий поверки модуля VEK72 с мультиметром стенда и записывает протокол (HTML, PDF и\n"
    "CSV) в ПАПКУ; каждый шаг — одна строка на стандартном выводе.\n"
    "  --scenario ФАЙЛ|default  файл сценария или сценарий по умолчанию для модуля\n"
    "  --report ПАПКА           куда записать протокол (создаётся, если её нет)\n"
    "  --crate, --slot          модуль (по умолчанию первый найденный VEK72, как в окне программы)\n"
    "  --dmm УЗЕЛ:ПОРТ          мультиметр (по умолчанию Multimeter/Address из stendix.ini)\n"
    "  --scanner                выходы подключены через коммутатор мультиметра (по умолчанию\n"
    "                           Multimeter/Scanner); без него щуп переставляют по запросу\n"
    "  --operator, --conditions поверитель и условия для протокола (по умолчанию из stendix.ini)\n"
    "Служба крейтов — $VEK_SERVICE, иначе Global/CrateService из stendix.ini. Ctrl+C останавливает поверку: выходы\n"
    "переводятся в 0 В, протокол выполненных шагов записывается.\n"
    "Код завершения: 0 — все шаги годны; 1 — есть негодный шаг или шаг без результата, или поверка\n"
    "остановлена; 2 — ошибка в командной строке или в файле сценария; 3 — недоступны служба крейтов,\n"
    "модуль или мультиметр.\n";

std::atomic<bool> interrupted{ false };

void onSignal(int)
{
    interrupted = true;
}

int usageError(const QString& text)
{
    std::fprintf(stderr, "vek72-verify: %s\n\n%s", text.toUtf8().constData(), usage);
    return exitUsage;
}

void say(const QString& text)
{
    std::fprintf(stderr, "vek72-verify: %s\n", text.toUtf8().constData());
}

// Warnings and errors of the module and the engine go to standard error; its chatter does not.
void messages(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    // The offscreen platform's notes on windows that are never shown say nothing of the run.
    if (type == QtDebugMsg || type == QtInfoMsg || text.startsWith(QLatin1String("This plugin does not support")))
        return;
    say(text);
    if (type == QtFatalMsg)
        std::abort();
}

// One line per step on standard output.
class ProgressLine : public verify::RunListener
{
public:
    void runStarted(const verify::RunInfo& info) override
    {
        total = info.stepCount;
        std::printf("%s %s, мультиметр %s: %d шагов\n", qUtf8Printable(info.module.name), qUtf8Printable(info.module.serial),
                    qUtf8Printable(info.meter.isEmpty() ? info.meterAddress : info.meter), total);
        std::fflush(stdout);
    }
    void stepFinished(const verify::StepResult& s) override
    {
        const verify::Measure m = s.step.measure;
        const int decimals = m == verify::Measure::Frequency ? 4 : 7;
        QString line = QStringLiteral("[%1/%2] канал %3, %4, %5: ").arg(s.number, 3).arg(total).arg(s.step.channel)
                           .arg(verify::rangeText(s.step.range), verify::stepTitle(s.step));
        if (s.evaluation.verdict == verify::Verdict::Pass || s.evaluation.verdict == verify::Verdict::Fail) {
            line += s.evaluation.overload
                        ? QStringLiteral("перегрузка")
                        : QStringLiteral("%1 %2 (погрешность %3, допуск ±%4)")
                              .arg(verify::numberText(s.evaluation.measured, decimals), verify::measureUnit(m),
                                   verify::numberText(s.evaluation.error, decimals),
                                   verify::numberText(s.evaluation.limit, decimals));
            line += QStringLiteral(" — ");
        }
        line += verify::verdictText(s.evaluation.verdict);
        if (!s.note.isEmpty())
            line += QStringLiteral(" (%1)").arg(s.note);
        line += QStringLiteral(" [%1 с]").arg(verify::numberText(s.elapsedMs / 1000.0, 2));
        std::printf("%s\n", qUtf8Printable(line));
        std::fflush(stdout);
    }

private:
    int total = 0;
};

// Without a scanner: the operator moves the probe and answers on the terminal.
class ConsoleProbe : public verify::ProbeHandler
{
public:
    bool connectProbe(int channel, const std::atomic<bool>& stop) override
    {
        say(QStringLiteral("Подключите мультиметр к выходу канала %1 и нажмите Enter (q и Enter — прервать)").arg(channel));
        QByteArray line;
        while (!stop.load()) {
            pollfd in{ STDIN_FILENO, POLLIN, 0 };
            const int ready = ::poll(&in, 1, 100);
            if (ready < 0 && errno != EINTR)
                return false;
            if (ready <= 0)
                continue;
            char c = 0;
            const ssize_t got = ::read(STDIN_FILENO, &c, 1);
            if (got <= 0)
                return false;   // the end of the input: nobody to move the probe
            if (c == '\n')
                return line.trimmed() != "q";
            line += c;
        }
        return false;
    }
};

struct Options
{
    QString scenario;
    QString report;
    QString crate;
    int slot = 0;
    QString dmm;
    bool scanner = false;
    bool scannerGiven = false;
    QString operatorName;
    bool operatorGiven = false;
    QString conditions;
    bool conditionsGiven = false;
};

bool parse(const QStringList& args, Options* o, QString* error)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString a = args.at(i);
        const auto value = [&](QString* out) {
            if (i + 1 >= args.size()) {
                *error = a + QStringLiteral(": нужно значение");
                return false;
            }
            *out = args.at(++i);
            return true;
        };
        QString slot;
        if (a == QLatin1String("--scenario")) {
            if (!value(&o->scenario))
                return false;
        } else if (a == QLatin1String("--report")) {
            if (!value(&o->report))
                return false;
        } else if (a == QLatin1String("--crate")) {
            if (!value(&o->crate))
                return false;
        } else if (a == QLatin1String("--slot")) {
            bool ok = false;
            if (!value(&slot))
                return false;
            o->slot = slot.toInt(&ok);
            if (!ok || o->slot < 1 || o->slot > 16) {
                *error = QStringLiteral("--slot: ожидается номер слота от 1 до 16");
                return false;
            }
        } else if (a == QLatin1String("--dmm")) {
            if (!value(&o->dmm))
                return false;
        } else if (a == QLatin1String("--scanner")) {
            o->scanner = o->scannerGiven = true;
        } else if (a == QLatin1String("--operator")) {
            if (!value(&o->operatorName))
                return false;
            o->operatorGiven = true;
        } else if (a == QLatin1String("--conditions")) {
            if (!value(&o->conditions))
                return false;
            o->conditionsGiven = true;
        } else {
            *error = QStringLiteral("неизвестный параметр %1").arg(a);
            return false;
        }
    }
    if (o->scenario.isEmpty() || o->report.isEmpty()) {
        *error = QStringLiteral("нужны --scenario и --report");
        return false;
    }
    if (o->crate.isEmpty() != (o->slot == 0)) {
        *error = QStringLiteral("--crate и --slot задаются вместе");
        return false;
    }
    return true;
}

// Runs the event loop until `done` or the bound; true when done.
bool serveUntil(const std::function<bool()>& done, int boundMs)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() > boundMs)
            loop.quit();
    });
    tick.start(10);
    if (!done())
        loop.exec();
    return done();
}

} // namespace

int main(int argc, char* argv[])
{
    // Nothing is ever shown: the module's panels live in hosts of their own.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    qInstallMessageHandler(messages);
    QApplication::setApplicationName(QStringLiteral("vek72-verify"));
    initStendixResources();

    QStringList args = QApplication::arguments();
    args.removeFirst();
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        std::fputs(usage, stdout);
        return exitPassed;
    }
    Options options;
    QString error;
    if (!parse(args, &options, &error))
        return usageError(error);

    // The scenario file is read before anything is opened: a bad one is a usage error.
    verify::Scenario scenario;
    const bool defaultScenario = options.scenario == QLatin1String("default");
    if (!defaultScenario && !verify::scenariofile::load(options.scenario, &scenario, &error)) {
        say(QStringLiteral("сценарий не прочитан: %1").arg(error));
        return exitUsage;
    }

    // The settings as the window finds them; the module writes its missing keys into a copy.
    QTemporaryDir scratch;
    const QString settingsCopy = scratch.path() + QStringLiteral("/stendix.ini");
    if (QFile::exists(settingsFilePath()))
        QFile::copy(settingsFilePath(), settingsCopy);
    QSettings settings(settingsCopy, QSettings::IniFormat);
    // The crate service where the window looks for it (VEK_SERVICE still comes first).
    setConfiguredService(readGlobalSettings(&settings).crateService);
    const MultimeterSettings meterSettings = readMultimeterSettings(&settings);
    const VerificationSettings verification = readVerificationSettings(&settings);
    const QString meterAddress = options.dmm.isEmpty() ? meterSettings.address : options.dmm;
    const bool scanner = options.scannerGiven ? options.scanner : meterSettings.scanner;
    if (meterAddress.trimmed().isEmpty())
        return usageError(QStringLiteral("мультиметр не задан: --dmm или Multimeter/Address в stendix.ini"));

    // The engine and the module as the window has them, the panels in hosts never shown.
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    QWidget* hosts[5];
    for (QWidget*& host : hosts) {
        host = new QWidget(&window);
        layout->addWidget(host);
    }
    QWidget optionsDialog;
    QWidget* optionsHost = new QWidget(&optionsDialog);
    QThread engineThread;
    auto* engine = new Engine;
    engine->loadSettings(&settings);
    engine->moveToThread(&engineThread);
    engineThread.start();
    bool started = false;
    QObject::connect(engine, &Engine::started, &application, [&] { started = true; });
    QMetaObject::invokeMethod(engine, "start", Qt::QueuedConnection);
    serveUntil([&] { return started; }, stopBoundMs);
    engine->createGui(hosts[0], hosts[1], hosts[2], hosts[3], optionsHost);

    const auto shutDown = [&] {
        bool stopped = false;
        QObject::connect(engine, &Engine::stopped, &application, [&] { stopped = true; });
        QMetaObject::invokeMethod(engine, "stop", Qt::QueuedConnection);
        if (!serveUntil([&] { return stopped; }, stopBoundMs)) {
            say(QStringLiteral("служба крейтов %1 не ответила при остановке модуля").arg(serviceAddressText()));
            std::fflush(nullptr);
            std::_Exit(exitUnreachable);
        }
        engineThread.quit();
        engineThread.wait();
        delete engine;
    };

    // Discovery, then the module: the one asked for, else the first that opens.
    bool listed = false;
    std::atomic<bool> served{ false };   // set on the engine's thread once the discovery has been served
    QObject::connect(engine, &Engine::readyCrate, &application, [&](QList<Engine::Crate>&) { listed = true; });
    QMetaObject::invokeMethod(engine, "refreshHardware", Qt::QueuedConnection);
    QMetaObject::invokeMethod(engine, [&] { served = true; }, Qt::QueuedConnection);
    serveUntil([&] { return served.load(); }, discoveryBoundMs);
    QApplication::processEvents();
    int crateIndex = -1;
    int slotNumber = 0;
    if (listed) {
        const QList<Engine::Crate>& crates = engine->crateList();
        for (int i = 0; i < crates.size() && crateIndex < 0; ++i) {
            if (!options.crate.isEmpty() && crates.at(i).crateSerial != options.crate)
                continue;
            for (int j = 0; j < crates.at(i).modules.size() && crateIndex < 0; ++j) {
                const int slot = crates.at(i).modules.at(j).slotNumber;
                if (options.slot != 0 && slot != options.slot)
                    continue;
                if (engine->useModule(i, j)) {
                    crateIndex = i;
                    slotNumber = slot;
                }
            }
        }
    }
    if (crateIndex < 0) {
        say(!listed ? QStringLiteral("нет связи со службой крейтов %1").arg(serviceAddressText())
            : options.crate.isEmpty() ? QStringLiteral("служба крейтов %1 не нашла модуля VEK72, который можно открыть").arg(serviceAddressText())
                                      : QStringLiteral("в крейте %1, слот %2 нет модуля VEK72, который можно открыть").arg(options.crate).arg(options.slot));
        shutDown();
        return exitUnreachable;
    }
    Module* module = engine->moduleObject();
    const verify::ModuleFacts facts =
        verificationbench::moduleFacts(module, engine->crateList().at(crateIndex).crateSerial, slotNumber);
    if (defaultScenario)
        scenario = verify::defaultScenario(facts);

    verify::Runner::Bench bench;
    bench.module = module;
    bench.facts = facts;
    bench.meter = verificationbench::meterAt(meterAddress);
    bench.meterAddress = meterAddress;
    bench.scanner = scanner;
    ConsoleProbe probe;
    bench.probe = &probe;
    verify::RunInfo info;
    info.scenarioTitle = scenario.title;
    info.scenarioFile = defaultScenario ? QString() : QFileInfo(options.scenario).fileName();
    info.operatorName = options.operatorGiven ? options.operatorName : verification.operatorName;
    info.conditions = options.conditionsGiven ? options.conditions : verification.conditions;

    verify::Runner runner(bench, scenario, info);
    verify::RecordKeeper keeper;
    ProgressLine progress;
    runner.addListener(&keeper);
    runner.addListener(&progress);

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    QThread* runThread = QThread::create([&runner] { runner.run(); });
    runThread->start();
    // The run needs this thread to serve the panels; a signal stops it the operator's way.
    serveUntil([&] {
        if (interrupted.load() && !runner.stopRequested()) {
            say(QStringLiteral("остановка: выходы переводятся в 0 В"));
            runner.requestStop();
        }
        return runThread->isFinished();
    }, std::numeric_limits<int>::max());
    runThread->wait();
    delete runThread;

    // A protocol of the steps that ran; a run that could not begin has none.
    const verify::RunRecord record = keeper.record();
    verify::ReportFiles files;
    bool written = record.steps.isEmpty();
    if (!record.steps.isEmpty())
        written = verify::writeReport(record, QDir(options.report).absolutePath(), &files, &error);
    if (!record.steps.isEmpty() && written) {
        for (const QString& file : { files.html, files.pdf, files.csv })
            std::printf("%s\n", qUtf8Printable(file));
    } else if (!written) {
        say(error);
    }
    const int passed = record.count(verify::Verdict::Pass);
    std::printf("Итог: %s%s\n", qUtf8Printable(verify::summaryText(record)),
                record.end.reason.isEmpty() ? "" : qUtf8Printable(QStringLiteral(" — ") + record.end.reason));
    shutDown();

    if (record.end.meterUnreachable || record.end.moduleUnreachable)
        return exitUnreachable;
    const bool allPassed = record.end.completed && passed == record.steps.size() && !record.steps.isEmpty();
    return allPassed && written ? exitPassed : exitFailed;
}
