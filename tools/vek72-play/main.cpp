// vek72-play: plays up to eight signals on a VEK72 the way the program's cyclic mode does (one
// page of whole periods that the module repeats) and holds the module until it is told to stop
// (Ctrl+C, SIGTERM) or --seconds have passed; then it stops the output and closes the module.
// A bench engineer without the program, or a test, uses it to make a module play.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTextCodec>
#include <QVector>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <vector>

#include "channelsignal.h"
#include "signalargs.h"
#include "synthesis.h"
#include "vek72api.h"
#include "vekapi.h"

namespace {

constexpr int exitOk = 0;
// Usage errors answer 1 (toolargs::usageError).
constexpr int exitRefusedPlan = 2;
constexpr int exitModule = 3;

constexpr uint32_t serviceAddress = 0x7F000001u;  // 127.0.0.1; VEK_SERVICE overrides it
constexpr uint16_t servicePort = 11111;
constexpr uint32_t sendTimeoutMs = 5000;

const char* const usageText =
    "Usage: vek72-play [--service HOST:PORT] [--crate SERIAL [--slot N]] [--dac-rate HZ] [--tenth]\n"
    "                  [--seconds S] --signal SHAPE:FREQ[:AMPLITUDE_V[:OFFSET_V]] ...\n"
    "\n"
    "Plays the signals on channels 1, 2, ... of a VEK72 as one cyclic page, planned and filled as the\n"
    "program does, until Ctrl+C or SIGTERM (or --seconds), then stops the output and closes the module.\n"
    "\n"
    "Options:\n"
    "  --service HOST:PORT  the crate service (default $VEK_SERVICE, else 127.0.0.1:11111)\n"
    "  --crate SERIAL       the crate (default: the first crate with a VEK72)\n"
    "  --slot N             the slot (default: the crate's first VEK72)\n"
    "  --dac-rate HZ        48000, 96000 or 192000 (default 48000)\n"
    "  --tenth              every channel on its one-tenth output range (default: full range)\n"
    "  --seconds S          stop after S seconds\n"
    "  --signal SIGNAL      as for vek72-plan: SHAPE sine, triangle, saw, pulse or line, FREQ in Hz,\n"
    "                       AMPLITUDE_V (default 1), OFFSET_V (default 0)\n"
    "  --help               this text\n"
    "\n"
    "Once the page plays, one line tells where and how on standard output.\n"
    "Exit status: 0 played and stopped, 1 bad arguments, 2 the program would refuse the plan,\n"
    "3 the crate service or the module refused or failed (the library's message is printed).\n";

int usageError(const QString& text)
{
    return toolargs::usageError("vek72-play", text);
}

// The libraries' texts are Windows-1251.
QString errorText(int code)
{
    return QTextCodec::codecForName("Windows-1251")->toUnicode(VEK72_GetErrorString(code));
}

int moduleError(const QString& what, int code)
{
    std::fprintf(stderr, "vek72-play: %s: %s (%d)\n", qUtf8Printable(what), qUtf8Printable(errorText(code)), code);
    return exitModule;
}

// The first slot holding a VEK72: of the named crate, or of the first crate that has one.
bool findModule(QByteArray* crate, int* slot, QString* error)
{
    TVEK service;
    VEK_Init(&service);
    char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE] = {};
    int rc = VEK_OpenSvcControl(&service, serviceAddress, servicePort);
    if (rc == 0)
        rc = VEK_GetCrates(&service, serials);
    VEK_Close(&service);
    if (rc != 0) {
        *error = QStringLiteral("cannot reach the crate service (vekapi error %1)").arg(rc);
        return false;
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
                return true;
            }
        }
    }
    *error = crate->isEmpty() ? QStringLiteral("no crate holds a VEK72")
                              : QStringLiteral("crate %1 holds no VEK72").arg(QString::fromUtf8(*crate));
    return false;
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

} // namespace

int main(int argc, char* argv[])
{
    // Blocked from the start: they are taken by waitForStop, and a Ctrl+C that comes earlier still
    // ends the tool through the same orderly stop.
    const sigset_t stop = stopSignals();
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

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
            std::fputs(usageText, stdout);
            return exitOk;
        } else if (arg == QLatin1String("--service")) {
            if (!value() || text.isEmpty())
                return usageError(QStringLiteral("--service needs HOST:PORT"));
            qputenv("VEK_SERVICE", text.toUtf8());
        } else if (arg == QLatin1String("--crate")) {
            if (!value() || text.isEmpty())
                return usageError(QStringLiteral("--crate needs a crate serial"));
            crate = text.toUtf8();
        } else if (arg == QLatin1String("--slot")) {
            if (value())
                slot = text.toInt(&ok);
            if (!ok || slot < 1 || slot > VEK_SLOT_COUNT)
                return usageError(QStringLiteral("--slot needs a slot number from 1 to 16, not '%1'").arg(text));
        } else if (arg == QLatin1String("--dac-rate")) {
            if (value())
                dacRate = text.toDouble(&ok);
            if (!ok || (dacRate != 48000.0 && dacRate != 96000.0 && dacRate != 192000.0))
                return usageError(QStringLiteral("--dac-rate is 48000, 96000 or 192000, not '%1'").arg(text));
        } else if (arg == QLatin1String("--seconds")) {
            if (value())
                seconds = text.toDouble(&ok);
            if (!ok || !(seconds > 0.0) || seconds > 1e9)
                return usageError(QStringLiteral("--seconds needs a positive number, not '%1'").arg(text));
        } else if (arg == QLatin1String("--tenth")) {
            tenth = true;
        } else if (arg == QLatin1String("--signal")) {
            if (!value())
                return usageError(QStringLiteral("--signal needs SHAPE:FREQ[:AMPLITUDE_V[:OFFSET_V]]"));
            QString error;
            if (!toolargs::addSignal(text, &channels, &error))
                return usageError(error);
        } else {
            return usageError(QStringLiteral("unknown argument '%1'").arg(arg));
        }
    }
    if (channels.isEmpty())
        return usageError(QStringLiteral("at least one --signal is needed"));
    if (slot > 0 && crate.isEmpty())
        return usageError(QStringLiteral("--slot needs --crate"));

    QString error;
    if (slot == 0 && !findModule(&crate, &slot, &error)) {
        std::fprintf(stderr, "vek72-play: %s\n", qUtf8Printable(error));
        return exitModule;
    }
    const QString where = QStringLiteral("%1 slot %2").arg(QString::fromUtf8(crate)).arg(slot);

    TVEK72 module;
    VEK72_Init(&module);
    int rc = VEK72_Open(&module, serviceAddress, servicePort, crate.constData(), uint16_t(slot));
    if (rc != 0)
        return moduleError(QStringLiteral("cannot open the VEK72 in ") + where, rc);
    const int e = channels.size();
    if (e > module.info.dacChannelCount) {
        VEK72_Close(&module);
        return usageError(QStringLiteral("the VEK72 in %1 has %2 channels, %3 signals given")
                              .arg(where).arg(module.info.dacChannelCount).arg(e));
    }
    for (int i = 0; i < VEK72_MAX_CHANNELS; ++i)
        module.config.channel[i] = TVEK72_CHANNEL{uint8_t(i < e), uint8_t(tenth ? 1 : 0), 0, 0};
    module.config.outputMode = 0;
    module.config.dacEnable = 1;
    rc = VEK72_FillOutFreq(&module.config, dacRate, nullptr);
    if (rc == 0)
        rc = VEK72_Configure(&module);
    if (rc != 0) {
        VEK72_Close(&module);
        return moduleError(QStringLiteral("cannot configure the VEK72 in ") + where, rc);
    }
    const double rate = module.state.outputRate;

    synthesis::Plan plan;
    if (!synthesis::synthesizeAll(channels, rate, true, &plan)) {
        VEK72_Close(&module);
        std::fprintf(stderr, "%s\n", qUtf8Printable(plan.message));
        return exitRefusedPlan;
    }
    const qint64 frames = plan.length;
    std::vector<const double*> sources;
    for (const ChannelSignal& c : channels)
        sources.push_back(c.samples.constData());
    std::vector<double> samples(size_t(frames * e));
    synthesis::interleaveFrames(sources.data(), e, samples.data(), frames);
    std::vector<uint32_t> words(samples.size());
    const uint32_t count = uint32_t(words.size());
    rc = VEK72_PrepareDacData(&module, samples.data(), count, VEK72_PREPARE_VOLTS, words.data(), nullptr);
    if (rc == 0) {
        rc = VEK72_Send(&module, words.data(), count, sendTimeoutMs);
        if (rc >= 0 && uint32_t(rc) != count)
            rc = VEK72_E_TIMEOUT;
        else if (rc >= 0)
            rc = VEK72_SwitchCyclePage(&module, 0, sendTimeoutMs);
    }
    if (rc != 0) {
        VEK72_Close(&module);
        return moduleError(QStringLiteral("cannot start the output of the VEK72 in ") + where, rc);
    }

    QByteArray line = QStringLiteral("playing on %1: %2 channel(s) at %3 samples per second, a page of %4 frames;")
                          .arg(where).arg(e).arg(rate).arg(frames).toUtf8();
    for (int i = 0; i < e; ++i) {
        const ChannelSignal& c = channels.at(i);
        if (c.shape == ChannelSignal::Line)
            line += QStringLiteral(" ch%1 line %2 V").arg(i + 1).arg(c.offset).toUtf8();
        else
            line += QStringLiteral(" ch%1 %2 %3 Hz %4 V offset %5 V").arg(i + 1)
                        .arg(QLatin1String(toolargs::shapeName(c.shape))).arg(c.frequency, 0, 'g', 12)
                        .arg(c.amplitude).arg(c.offset).toUtf8();
        line += i + 1 < e ? "," : "\n";
    }
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);

    if (!waitForStop(&module, seconds)) {
        std::fprintf(stderr, "vek72-play: the crate service closed the connection to the VEK72 in %s\n",
                     qUtf8Printable(where));
        VEK72_Close(&module);
        return exitModule;
    }
    rc = VEK72_Stop(&module, 0);
    const int closed = VEK72_Close(&module);
    if (rc != 0)
        return moduleError(QStringLiteral("cannot stop the output of the VEK72 in ") + where, rc);
    if (closed != 0)
        return moduleError(QStringLiteral("cannot close the VEK72 in ") + where, closed);
    return exitOk;
}
