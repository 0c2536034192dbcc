// vek72-play: plays up to eight signals on a VEK72 the way the program's cyclic mode does (one
// page of whole periods that the module repeats), with the program's own sender: it configures the
// module, makes and loads the page and switches it on. It holds the module until it is told to stop
// (Ctrl+C, SIGTERM, SIGHUP) or --seconds have passed; then, as the program does when it closes, it
// stops the output, drives every output to 0 V with a configuration without channels and closes
// the module. A bench engineer without the program, or a test, uses it to make a module play.

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QMutex>
#include <QString>
#include <QTextCodec>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <vector>

#include "channelsignal.h"
#include "client.h"
#include "modulesendervek72.h"
#include "outputcheck.h"
#include "outputrange.h"
#include "signalargs.h"
#include "synthesis.h"
#include "vek72api.h"
#include "vekapi.h"

namespace {

const char* const tool = "vek72-play";

constexpr uint32_t serviceAddress = 0x7F000001u;  // 127.0.0.1; VEK_SERVICE overrides it
constexpr uint16_t servicePort = 11111;

const char* const usageHead =
    "Использование: vek72-play [--service УЗЕЛ:ПОРТ] [--crate СЕРИЙНЫЙ [--slot N]] [--dac-rate ГЦ]\n"
    "                          [--tenth] [--seconds С] --signal СИГНАЛ ...\n"
    "\n"
    "Выводит сигналы на каналы 1, 2, ... модуля VEK72 одной циклической страницей, рассчитанной и\n"
    "заполненной так, как это делает программа, до Ctrl+C, SIGTERM или SIGHUP (или --seconds С), затем\n"
    "останавливает вывод, переводит все выходы в 0 В конфигурацией без каналов и закрывает модуль.\n"
    "Когда страница выводится, на стандартный вывод выходит одна строка для сценариев (по-английски):\n"
    "  playing on КРЕЙТ slot N: E channel(s) at R samples per second, a page of L frames; ch1 ...\n"
    "(у arb — и имя файла, у сигнала с фазой — \"phase Г deg\").\n"
    "\n"
    "Параметры:\n"
    "  --service УЗЕЛ:ПОРТ   служба крейтов (по умолчанию $VEK_SERVICE, иначе 127.0.0.1:11111)\n"
    "  --crate СЕРИЙНЫЙ      крейт (по умолчанию первый крейт с VEK72)\n"
    "  --slot N              слот (по умолчанию первый VEK72 крейта)\n"
    "  --dac-rate ГЦ         частота ЦАП: 48000, 96000 или 192000 (по умолчанию 48000); на канал\n"
    "                        приходится она, делённая на число каналов, округлённое вверх до 1, 2, 4\n"
    "                        или 8\n"
    "  --tenth               все каналы на диапазоне 1/10 (по умолчанию полный диапазон)\n"
    "  --seconds С           остановиться через С секунд\n";

const char* const usageTail =
    "  --help                эта справка\n"
    "\n"
    "Напряжения должны укладываться в диапазон выходов модуля: у VEK72-1 от -10 до +10 В, у VEK72-2\n"
    "и VEK72-3 от -2 до +20 В, на диапазоне 1/10 — десятая часть.\n"
    "Код завершения: 0 — вывод был и остановлен (или прерван до начала); 1 — такого VEK72 нет или он\n"
    "этого не выведет (причина — в стандартном потоке ошибок); 2 — ошибка в командной строке; 3 — служба\n"
    "крейтов или модуль отказали (с сообщением библиотеки).\n";

int usageError(const QString& text)
{
    return toolargs::usageError(tool, text);
}

// The libraries' texts are Windows-1251.
QString errorText(int code)
{
    return QTextCodec::codecForName("Windows-1251")->toUnicode(VEK72_GetErrorString(code));
}

int moduleError(const QString& what, int code)
{
    return toolargs::fail(tool, QStringLiteral("%1: %2 (%3)").arg(what, errorText(code)).arg(code), toolargs::exitService);
}

// The sender's warnings and errors, one line each on the standard error stream.
void printMessage(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg)
        toolargs::fail(tool, text, 0);
}

// The first slot holding a VEK72: of the named crate, or of the first crate that has one. Answers
// exitOk when found, else exitService (no service) or exitRefused (no such module) with the text.
int findModule(QByteArray* crate, int* slot, QString* error)
{
    TVEK service;
    VEK_Init(&service);
    char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE] = {};
    int rc = VEK_OpenSvcControl(&service, serviceAddress, servicePort);
    if (rc == 0)
        rc = VEK_GetCrates(&service, serials);
    VEK_Close(&service);
    if (rc != 0) {
        *error = QStringLiteral("служба крейтов недоступна (ошибка vekapi %1)").arg(rc);
        return toolargs::exitService;
    }
    for (const auto& serial : serials) {
        const QByteArray name(serial, int(qstrnlen(serial, VEK_SERIAL_SIZE)));
        if (name.isEmpty() || (!crate->isEmpty() && name != *crate))
            continue;
        TVEK handle;
        VEK_Init(&handle);
        uint16_t types[VEK_SLOT_COUNT] = {};
        rc = VEK_OpenCrate(&handle, serviceAddress, servicePort, 0, name.constData());
        if (rc == 0)
            rc = VEK_GetCrateModules(&handle, types);
        VEK_Close(&handle);
        for (int i = 0; rc == 0 && i < VEK_SLOT_COUNT; ++i) {
            if (types[i] == VEK72_MODULE_TYPE) {
                *crate = name;
                *slot = i + 1;
                return toolargs::exitOk;
            }
        }
    }
    *error = crate->isEmpty() ? QStringLiteral("ни в одном крейте нет VEK72")
                              : QStringLiteral("в крейте %1 нет VEK72").arg(QString::fromUtf8(*crate));
    return toolargs::exitRefused;
}

// The signals that stop the tool: Ctrl+C, SIGTERM and SIGHUP.
sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

// A stop signal came (it stays pending: the signals are blocked).
bool stopRequested()
{
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGHUP) == 1;
}

// Waits for a stop signal, or until the seconds have passed (never when negative). Answers false
// when the crate service dropped the module meanwhile.
bool waitForStop(TVEK72* module, double seconds)
{
    const sigset_t stop = stopSignals();
    const auto end = std::chrono::steady_clock::now()
                     + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    for (;;) {
        // A second at a time, to notice a service that went away.
        timespec step{1, 0};
        if (seconds >= 0) {
            const double left = std::chrono::duration<double>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                return true;
            if (left < 1.0)
                step = timespec{0, long(left * 1e9)};
        }
        if (sigtimedwait(&stop, nullptr, &step) > 0)
            return true;
        if (VEK72_IsOpened(module) != 0)
            return false;
    }
}

// The end of every run that configured the module, as the program's close: the output stops, a
// configuration without channels drives every output to 0 V, the module is closed. Answers the exit
// status: `status` when all of it went, else exitService with the step that failed.
int zeroAndClose(TVEK72* module, const QString& where, int status)
{
    int rc = 0;
    if (module->state.running) {
        rc = VEK72_Stop(module, 0);
        if (rc == VEK72_E_NOT_RUNNING)
            rc = 0;
    }
    int zeroed = 0;
    if (rc == 0) {
        for (TVEK72_CHANNEL& channel : module->config.channel)
            channel = TVEK72_CHANNEL{0, 0, 0, 0};
        module->config.outputMode = 0;
        module->config.dacEnable = 1;
        zeroed = VEK72_Configure(module);
    }
    const int closed = VEK72_Close(module);
    if (rc != 0)
        return moduleError(QStringLiteral("не остановить вывод VEK72 в ") + where, rc);
    if (zeroed != 0)
        return moduleError(QStringLiteral("не перевести выходы VEK72 в %1 в 0 В").arg(where), zeroed);
    if (closed != 0)
        return moduleError(QStringLiteral("не закрыть VEK72 в ") + where, closed);
    return status;
}

QByteArray playingLine(const QByteArray& crate, int slot, double rate, qint64 frames, const QList<ChannelSignal>& asked,
                       const synthesis::Plan& played)
{
    const int e = asked.size();
    QByteArray line = QStringLiteral("playing on %1 slot %2: %3 channel(s) at %4 samples per second, a page of %5 frames;")
                          .arg(QString::fromUtf8(crate)).arg(slot).arg(e).arg(rate).arg(frames).toUtf8();
    for (int i = 0; i < e; ++i) {
        const ChannelSignal& c = asked.at(i);
        if (c.shape == ChannelSignal::Line)
            line += QStringLiteral(" ch%1 line %2 V").arg(i + 1).arg(c.offset).toUtf8();
        else
            line += QStringLiteral(" ch%1 %2 %3 Hz peak %4 V offset %5 V").arg(i + 1)
                        .arg(c.waveform ? QStringLiteral("arb %1").arg(c.waveform->fileName())
                                        : QString::fromLatin1(toolargs::shapeName(c.shape)))
                        .arg(played.channels.at(i).frequency, 0, 'g', 12)
                        .arg(c.amplitude).arg(c.offset).toUtf8();
        if (c.phase != 0.0)
            line += QStringLiteral(" phase %1 deg").arg(c.phase, 0, 'g', 12).toUtf8();
        line += i + 1 < e ? "," : "\n";
    }
    return line;
}

} // namespace

int main(int argc, char* argv[])
{
    // Blocked from the start: they are taken by waitForStop, and a Ctrl+C that comes earlier still
    // ends the tool through the same orderly stop.
    const sigset_t stop = stopSignals();
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    QCoreApplication app(argc, argv);

    QByteArray crate;
    int slot = 0;
    double dacRate = 48000.0;
    double seconds = -1.0;
    bool tenth = false;
    QList<ChannelSignal> channels;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        QString text;
        auto value = [&]() {
            if (i + 1 >= argc)
                return false;
            text = QString::fromLocal8Bit(argv[++i]);
            return true;
        };
        bool ok = false;
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(usageHead, stdout);
            std::fputs(toolargs::signalHelp, stdout);
            std::fputs(usageTail, stdout);
            return toolargs::exitOk;
        } else if (arg == QLatin1String("--service")) {
            vekproto::Endpoint endpoint;
            if (!value() || !vekproto::parseEndpoint(text.toStdString(), endpoint))
                return usageError(QStringLiteral("--service: нужно УЗЕЛ:ПОРТ, а не '%1'").arg(text));
            qputenv("VEK_SERVICE", text.toUtf8());
        } else if (arg == QLatin1String("--crate")) {
            if (!value() || text.isEmpty())
                return usageError(QStringLiteral("--crate: нужен серийный номер крейта"));
            crate = text.toUtf8();
        } else if (arg == QLatin1String("--slot")) {
            if (value())
                slot = text.toInt(&ok);
            if (!ok || slot < 1 || slot > VEK_SLOT_COUNT)
                return usageError(QStringLiteral("--slot: нужен номер слота от 1 до 16, а не '%1'").arg(text));
        } else if (arg == QLatin1String("--dac-rate")) {
            if (value())
                dacRate = text.toDouble(&ok);
            if (!ok || !std::isfinite(dacRate))
                return usageError(QStringLiteral("--dac-rate: нужно число герц, а не '%1'").arg(text));
        } else if (arg == QLatin1String("--seconds")) {
            if (value())
                seconds = text.toDouble(&ok);
            if (!ok || !(seconds > 0.0) || seconds > 1e9)
                return usageError(QStringLiteral("--seconds: нужно положительное число, а не '%1'").arg(text));
        } else if (arg == QLatin1String("--tenth")) {
            tenth = true;
        } else if (arg == QLatin1String("--signal")) {
            if (!value())
                return usageError(QStringLiteral("--signal: нужно ФОРМА:ЧАСТОТА[:АМПЛИТУДА[:СМЕЩЕНИЕ]][@ФАЗА]"));
            QString error;
            if (!toolargs::addSignal(text, &channels, &error))
                return usageError(error);
        } else {
            return usageError(QStringLiteral("неизвестный параметр '%1'").arg(arg));
        }
    }
    if (channels.isEmpty())
        return usageError(QStringLiteral("нужен хотя бы один --signal"));
    if (slot > 0 && crate.isEmpty())
        return usageError(QStringLiteral("--slot: нужен и --crate"));
    vekproto::Endpoint endpoint;
    if (!vekproto::serviceEndpoint(serviceAddress, servicePort, endpoint))
        return usageError(QStringLiteral("VEK_SERVICE: нужно УЗЕЛ:ПОРТ, а не '%1'").arg(qEnvironmentVariable("VEK_SERVICE")));

    // What no VEK72 can play is refused before the service is asked: the rate, the page.
    QString error;
    if (!toolargs::checkDacRate(dacRate, &error))
        return toolargs::fail(tool, error, toolargs::exitRefused);
    const int e = channels.size();
    synthesis::Plan plan;
    if (!toolargs::planOutput(channels, synthesis::outputRateFor(dacRate, e), true, &plan, &error))
        return toolargs::fail(tool, error, toolargs::exitRefused);

    if (slot == 0) {
        const int found = findModule(&crate, &slot, &error);
        if (found != toolargs::exitOk)
            return toolargs::fail(tool, error, found);
    }
    // "... VEK72 в крейте 4B210736, слоте 3"
    const QString where = QStringLiteral("крейте %1, слоте %2").arg(QString::fromUtf8(crate)).arg(slot);

    TVEK72 module;
    VEK72_Init(&module);
    int rc = VEK72_Open(&module, serviceAddress, servicePort, crate.constData(), uint16_t(slot));
    if (rc == VEK72_E_NO_CRATE || rc == VEK72_E_NO_MODULE)
        return toolargs::fail(tool, QStringLiteral("в крейте %1 в слоте %2 нет VEK72: %3 (%4)")
                                        .arg(QString::fromUtf8(crate)).arg(slot).arg(errorText(rc)).arg(rc),
                              toolargs::exitRefused);
    if (rc != 0)
        return moduleError(QStringLiteral("не открыть VEK72 в ") + where, rc);
    // What this module cannot play: more signals than it has channels, voltages beyond its outputs.
    // Nothing has been changed on it yet.
    if (e > module.info.dacChannelCount) {
        VEK72_Close(&module);
        return toolargs::fail(tool, QStringLiteral("у VEK72 в %1 каналов %2, а сигналов задано %3")
                                        .arg(where).arg(module.info.dacChannelCount).arg(e),
                              toolargs::exitRefused);
    }
    if (!toolargs::checkRange(channels, module.info.modification, tenth, &error, &plan)) {
        VEK72_Close(&module);
        return toolargs::fail(tool, error, toolargs::exitRefused);
    }

    // The program's sender configures the module, makes the page and loads it, and switches it on;
    // its messages go to the standard error stream.
    qInstallMessageHandler(printMessage);
    QList<ChannelSignal> played;
    for (const ChannelSignal& c : channels)
        played.append(toolargs::forSynthesis(c));
    QMutex samplesLock;
    ModuleSenderVek72 sender(&module, &played, &samplesLock);
    for (int i = 0; i < VEK72_MAX_CHANNELS; ++i)
        module.config.channel[i] = TVEK72_CHANNEL{uint8_t(i < e), uint8_t(tenth ? 1 : 0), 0, 0};
    if (!sender.configure(true, dacRate)) {
        VEK72_Close(&module);
        return toolargs::fail(tool, QStringLiteral("не настроить VEK72 в ") + where, toolargs::exitService);
    }
    // From here on every end drives the outputs to 0 V. A stop signal that comes while the page is
    // made and loaded ends the tool between the steps.
    const double rate = module.state.outputRate;
    if (stopRequested())
        return zeroAndClose(&module, where, toolargs::exitOk);
    if (!toolargs::planOutput(channels, rate, true, &plan, &error)) {
        toolargs::fail(tool, error, toolargs::exitRefused);
        return zeroAndClose(&module, where, toolargs::exitRefused);
    }
    const bool loaded = sender.synthesize(true) != 0;
    if (loaded && stopRequested())
        return zeroAndClose(&module, where, toolargs::exitOk);
    if (!loaded || !sender.startOutput()) {
        toolargs::fail(tool, QStringLiteral("не запустить вывод VEK72 в ") + where, 0);
        return zeroAndClose(&module, where, toolargs::exitService);
    }
    const qint64 frames = plan.length;

    const QByteArray line = playingLine(crate, slot, rate, frames, channels, plan);
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);

    if (!waitForStop(&module, seconds)) {
        toolargs::fail(tool, QStringLiteral("служба крейтов закрыла соединение с VEK72 в %1").arg(where), 0);
        VEK72_Close(&module);
        return toolargs::exitService;
    }
    return zeroAndClose(&module, where, toolargs::exitOk);
}
