// vekscope: a live oscilloscope view of what a simulated VEK72 plays, from the crate service
// simulator's capture; or, with --shot, one screen drawn into a PNG file without any display.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>

#include <cerrno>
#include <cmath>
#include <cstdio>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

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
    "Использование: vekscope [--service УЗЕЛ:ПОРТ] [--crate СЕРИЙНЫЙ] [--slot N] [--time-div T]\n"
    "                        [--volts-div [К=]В] ... [--trigger-channel К] [--trigger-level В]\n"
    "                        [--shot ФАЙЛ.png [--size ШxВ]]\n"
    "\n"
    "Показывает, что выводит VEK72 имитатора службы крейтов, как осциллограф: все включённые каналы\n"
    "на 10 делениях, с синхронизацией по нарастающему фронту одного канала, с частотой, размахом и\n"
    "средним каждого канала. Среднее — по целым периодам самого канала на экране (по всему экрану,\n"
    "когда на нём нет двух нарастающих фронтов канала). Окно закрывается и Ctrl+C завершает сразу,\n"
    "не дожидаясь ответа службы.\n"
    "\n"
    "Параметры:\n"
    "  --service УЗЕЛ:ПОРТ   служба крейтов (по умолчанию $VEK_SERVICE, иначе 127.0.0.1:11111)\n"
    "  --crate СЕРИЙНЫЙ      крейт (по умолчанию первый крейт с VEK72)\n"
    "  --slot N              слот (по умолчанию первый VEK72 крейта)\n"
    "  --time-div T          время на деление, например 1ms, 200us, 0.005 (по умолчанию 1ms)\n"
    "  --volts-div [К=]В     вольт на деление канала К или всех каналов, например 500mV, 2=0.2\n"
    "                        (по умолчанию 1V)\n"
    "  --trigger-channel К   канал синхронизации (по умолчанию первый включённый)\n"
    "  --trigger-level В     уровень синхронизации, например 0.5, -200mV (по умолчанию 0V)\n"
    "  --shot ФАЙЛ.png       нарисовать один экран в ФАЙЛ.png без дисплея, напечатать измерения и\n"
    "                        завершиться; строки измерений — для сценариев, по-английски:\n"
    "                          КРЕЙТ slot N VEK72-M-K: R frames per second, T s/div, triggered on chК at В V\n"
    "                          chК: frequency F Hz, peak-to-peak P V, mean M V\n"
    "  --size ШxВ            размер картинки (по умолчанию 1000x620)\n"
    "  --help                эта справка\n"
    "\n"
    "Код завершения: 0 — готово; 1 — такого VEK72 нет; 2 — ошибка в командной строке; 3 — служба\n"
    "крейтов недоступна или ответила не по протоколу; 4 — картинка не записана.\n";

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
    std::fprintf(stderr, "vekscope: %s\nСправка: vekscope --help\n", qUtf8Printable(text));
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
            return usageError(QStringLiteral("неизвестный параметр '%1'").arg(arg));
        if (i + 1 >= argc)
            return usageError(QStringLiteral("%1: нужно значение").arg(arg));
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
            return usageError(QStringLiteral("неверное значение %1 '%2'").arg(arg, text));
    }
    if (o->slot > 0 && o->crate.isEmpty())
        return usageError(QStringLiteral("--slot: нужен и --crate"));
    if (!o->shot.isEmpty() && !o->shot.endsWith(QLatin1String(".png"), Qt::CaseInsensitive))
        return usageError(QStringLiteral("--shot пишет файл PNG: имя должно кончаться на .png"));
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
            std::fprintf(stderr, "vekscope: служба крейтов %s %s\n", qUtf8Printable(scope::addressText(endpoint)),
                         a.result == scope::ScopeService::Broken ? "ответила не по протоколу" : "недоступна");
            return exitNoService;
        }
        if (a.module < 0) {
            std::fprintf(stderr, "vekscope: у службы крейтов %s нет VEK72%s\n", qUtf8Printable(scope::addressText(endpoint)),
                         o.crate.isEmpty() ? ""
                         : o.slot == 0     ? qUtf8Printable(QStringLiteral(" в крейте %1").arg(o.crate))
                                           : qUtf8Printable(QStringLiteral(" в крейте %1, слоте %2").arg(o.crate).arg(o.slot)));
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
        std::fprintf(stderr, "vekscope: не записать %s\n", qUtf8Printable(o.shot));
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

// Qt's start-up looks for a Wayland display in the runtime directory and, where XDG_RUNTIME_DIR is
// not set (a root shell, a container, CI), warns about it on standard error before it falls back to
// /tmp/runtime-USER. The scope names that directory itself, made private as Qt wants it, so that a
// normal run prints nothing; a directory that is not the user's own is left for Qt to warn about.
void provideRuntimeDirectory()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return;
    const passwd* user = getpwuid(getuid());
    const QByteArray name = user ? QByteArray(user->pw_name) : QByteArray::number(getuid());
    const QByteArray dir = QFile::encodeName(QDir::tempPath()) + "/runtime-" + name;
    if (mkdir(dir.constData(), 0700) != 0 && errno != EEXIST)
        return;
    struct stat info;
    if (lstat(dir.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid()
        || (info.st_mode & 0777) != 0700)
        return;
    qputenv("XDG_RUNTIME_DIR", dir);
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
        return usageError(QStringLiteral("служба задаётся как УЗЕЛ:ПОРТ, а не '%1'")
                              .arg(options.service.isEmpty() ? qEnvironmentVariable("VEK_SERVICE") : options.service));
    // A shot needs no display.
    if (!options.shot.isEmpty() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    provideRuntimeDirectory();
    QApplication application(argc, argv);
    if (!options.shot.isEmpty())
        return takeShot(endpoint, options);
    scope::ScopeWindow window(endpoint, options.crate, options.slot, options.settings);
    window.show();
    return application.exec();
}
