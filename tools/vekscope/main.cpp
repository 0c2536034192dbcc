// vekscope: a live oscilloscope view of what a simulated VEK72 plays, from the crate service
// simulator's capture; or, with --shot, one screen drawn into a PNG file without any display.

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>

#include <cmath>
#include <cstdio>

#include "client.h"
#include "scopeservice.h"
#include "scopeview.h"
#include "scopewindow.h"

namespace {

constexpr int exitOk = 0;
constexpr int exitNoModule = 1;   // the service has no such VEK72
constexpr int exitUsage = 2;
constexpr int exitNoService = 3;  // the service cannot be reached or broke the protocol
constexpr int exitFile = 4;       // the picture cannot be written

// How long --shot waits at most, beyond the length of two screens, for a playing module to have
// played the frames of one screen and its trigger search.
constexpr int shotPatienceMs = 3000;

const char* const usageText =
    "Usage: vekscope [--service HOST:PORT] [--crate SERIAL] [--slot N] [--time-div T]\n"
    "                [--volts-div [CH=]V] ... [--trigger-channel CH] [--trigger-level V]\n"
    "                [--shot FILE.png [--size WxH]]\n"
    "\n"
    "Shows what a VEK72 of the crate service simulator plays, as an oscilloscope would: every enabled\n"
    "channel over a window of 10 divisions, triggered on the rising edge of one channel, with each\n"
    "channel's frequency, peak-to-peak amplitude and mean.\n"
    "\n"
    "Options:\n"
    "  --service HOST:PORT   the crate service (default $VEK_SERVICE, else 127.0.0.1:11111)\n"
    "  --crate SERIAL        the crate (default: the first crate with a VEK72)\n"
    "  --slot N              the slot (default: the first VEK72 of the crate)\n"
    "  --time-div T          time per division, e.g. 1ms, 200us, 0.005 (default 1ms)\n"
    "  --volts-div [CH=]V    volts per division of channel CH, or of every channel, e.g. 500mV, 2=0.2\n"
    "                        (default 1V)\n"
    "  --trigger-channel CH  the channel to trigger on (default: the first enabled)\n"
    "  --trigger-level V     the trigger level, e.g. 0.5, -200mV (default 0V)\n"
    "  --shot FILE.png       draw one screen into FILE.png without a display, print the\n"
    "                        measurements and exit\n"
    "  --size WxH            size of the picture (default 1000x620)\n"
    "  --help                this text\n"
    "\n"
    "Exit status: 0 done, 1 no such VEK72, 2 bad arguments, 3 the crate service cannot be reached,\n"
    "4 the picture cannot be written.\n";

struct Options
{
    QString service;
    QString crate;
    int slot = 0;
    scope::ScopeSettings settings;
    QString shot;
    QSize size{1000, 620};
};

int usageError(const QString& text)
{
    std::fprintf(stderr, "vekscope: %s\nTry 'vekscope --help'.\n", qUtf8Printable(text));
    return exitUsage;
}

// A number with an optional unit of the given base ("s" or "V") and prefix m, u or µ: "200us",
// "0.5", "-200mV".
bool parseQuantity(const QString& text, const QString& base, double* value)
{
    const QRegularExpression pattern(QStringLiteral("^\\s*([-+]?[0-9]*\\.?[0-9]+(?:[eE][-+]?[0-9]+)?)\\s*(m|u|µ)?(%1)?\\s*$")
                                         .arg(QRegularExpression::escape(base)));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch() || (!match.captured(2).isEmpty() && match.captured(3).isEmpty()))
        return false;
    const double scale = match.captured(2) == QLatin1String("m") ? 1e-3 : match.captured(2).isEmpty() ? 1.0 : 1e-6;
    *value = match.captured(1).toDouble() * scale;
    return std::isfinite(*value);
}

// Parses the command line into options; answers -1 to go on, else the exit status.
int parseOptions(int argc, char* argv[], Options* o)
{
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(usageText, stdout);
            return exitOk;
        }
        static const QStringList valued = {"--service", "--crate", "--slot", "--time-div", "--volts-div",
                                           "--trigger-channel", "--trigger-level", "--shot", "--size"};
        if (!valued.contains(arg))
            return usageError(QStringLiteral("unknown argument '%1'").arg(arg));
        if (i + 1 >= argc)
            return usageError(QStringLiteral("%1 needs a value").arg(arg));
        const QString text = QString::fromLocal8Bit(argv[++i]);
        bool ok = true;
        double number = 0.0;
        if (arg == QLatin1String("--service")) {
            o->service = text;
        } else if (arg == QLatin1String("--crate")) {
            o->crate = text;
        } else if (arg == QLatin1String("--slot")) {
            o->slot = text.toInt(&ok);
            ok = ok && o->slot >= 1 && o->slot <= 16;
        } else if (arg == QLatin1String("--time-div")) {
            ok = parseQuantity(text, QStringLiteral("s"), &number) && number >= 1e-6 && number <= 1.0;
            o->settings.secondsPerDivision = number;
        } else if (arg == QLatin1String("--volts-div")) {
            const int equals = text.indexOf(QLatin1Char('='));
            const int channel = equals < 0 ? 0 : text.left(equals).toInt(&ok);
            ok = ok && channel >= 0 && channel <= 8 && parseQuantity(text.mid(equals + 1), QStringLiteral("V"), &number)
                 && number >= 1e-4 && number <= 100.0;
            for (int c = 1; ok && c <= 8; ++c) {
                if (channel == 0 || channel == c)
                    o->settings.voltsPerDivision[size_t(c - 1)] = number;
            }
        } else if (arg == QLatin1String("--trigger-channel")) {
            o->settings.triggerChannel = text.toInt(&ok);
            ok = ok && o->settings.triggerChannel >= 1 && o->settings.triggerChannel <= 8;
        } else if (arg == QLatin1String("--trigger-level")) {
            ok = parseQuantity(text, QStringLiteral("V"), &o->settings.triggerLevel);
        } else if (arg == QLatin1String("--shot")) {
            o->shot = text;
            ok = !text.isEmpty();
        } else if (arg == QLatin1String("--size")) {
            const QStringList parts = text.split(QLatin1Char('x'));
            bool wide = false;
            bool high = false;
            if (parts.size() == 2)
                o->size = QSize(parts.at(0).toInt(&wide), parts.at(1).toInt(&high));
            ok = wide && high && o->size.width() >= 200 && o->size.height() >= 150 && o->size.width() <= 8000
                 && o->size.height() <= 8000;
        }
        if (!ok)
            return usageError(QStringLiteral("bad %1 '%2'").arg(arg, text));
    }
    if (o->slot > 0 && o->crate.isEmpty())
        return usageError(QStringLiteral("--slot needs --crate"));
    if (!o->shot.isEmpty() && !o->shot.endsWith(QLatin1String(".png"), Qt::CaseInsensitive))
        return usageError(QStringLiteral("--shot writes a PNG file: its name ends in .png"));
    return -1;
}

QByteArray number(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.6g", value);
    return QByteArray(text);
}

// One screen into a PNG file; what it shows, in words, on standard output.
int takeShot(const vekproto::Endpoint& endpoint, const Options& o)
{
    scope::ScopeService service(endpoint);
    const double windowSeconds = o.settings.windowSeconds();
    QElapsedTimer waited;
    waited.start();
    scope::Acquisition a;
    for (;;) {
        a = scope::acquire(service, o.crate, o.slot, windowSeconds);
        if (a.result != scope::ScopeService::Ok) {
            std::fprintf(stderr, "vekscope: the crate service at %s %s\n", qUtf8Printable(scope::addressText(endpoint)),
                         a.result == scope::ScopeService::Broken ? "broke the protocol" : "cannot be reached");
            return exitNoService;
        }
        if (a.module < 0) {
            std::fprintf(stderr, "vekscope: the crate service at %s has no VEK72%s\n", qUtf8Printable(scope::addressText(endpoint)),
                         o.crate.isEmpty() ? ""
                         : o.slot == 0     ? qUtf8Printable(QStringLiteral(" in crate %1").arg(o.crate))
                                           : qUtf8Printable(QStringLiteral(" in crate %1 slot %2").arg(o.crate).arg(o.slot)));
            return exitNoModule;
        }
        // A module that has just started has not yet played the frames of a whole screen: they come
        // in real time.
        const scope::ModuleInfo& m = a.modules.at(a.module);
        const int64_t wanted = scope::framesForWindow(windowSeconds * m.outputRate);
        if (!m.running || a.capture.frames >= wanted || waited.elapsed() > shotPatienceMs + 2000 * windowSeconds)
            break;
        QThread::msleep(20);
    }
    const scope::ModuleInfo& m = a.modules.at(a.module);
    const scope::ScopeFrame frame = scope::makeFrame(m, a.capture, o.settings);
    QImage image(o.size, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    scope::drawScope(painter, image.rect(), frame, o.settings);
    painter.end();
    if (!image.save(o.shot, "PNG")) {
        std::fprintf(stderr, "vekscope: cannot write %s\n", qUtf8Printable(o.shot));
        return exitFile;
    }

    QByteArray text = QStringLiteral("%1 slot %2 %3: ").arg(m.crate).arg(m.slot).arg(m.name).toUtf8();
    if (!m.running)
        text += "output stopped, the outputs hold their levels\n";
    else
        text += number(m.outputRate) + " frames per second, " + number(o.settings.secondsPerDivision) + " s/div, "
                + (frame.triggered ? "triggered on ch" + QByteArray::number(frame.triggerChannel) + " at "
                                         + number(o.settings.triggerLevel) + " V\n"
                                   : QByteArray("not triggered\n"));
    for (const scope::Trace& trace : frame.traces) {
        const scope::Measurement& mm = trace.measurement;
        text += "ch" + QByteArray::number(trace.channel) + ": frequency "
                + (std::isnan(mm.frequency) ? QByteArray("none") : number(mm.frequency) + " Hz") + ", peak-to-peak "
                + number(mm.peakToPeak) + " V, mean " + number(mm.mean) + " V\n";
    }
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    return exitOk;
}

} // namespace

int main(int argc, char* argv[])
{
    Options options;
    const int parsed = parseOptions(argc, argv, &options);
    if (parsed >= 0)
        return parsed;
    vekproto::Endpoint endpoint;
    if (!options.service.isEmpty() ? !vekproto::parseEndpoint(options.service.toStdString(), endpoint)
                                   : !vekproto::serviceEndpoint(0x7F000001u, 11111, endpoint))
        return usageError(QStringLiteral("the service is HOST:PORT, not '%1'")
                              .arg(options.service.isEmpty() ? qEnvironmentVariable("VEK_SERVICE") : options.service));
    // A shot needs no display.
    if (!options.shot.isEmpty() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    if (!options.shot.isEmpty())
        return takeShot(endpoint, options);
    scope::ScopeWindow window(endpoint, options.crate, options.slot, options.settings);
    window.show();
    return application.exec();
}
