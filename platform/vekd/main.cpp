// vekd: the crate service simulator.
//   vekd [--listen HOST:PORT] [--config FILE] [--parent-pid PID] [--verbose] [--dmm HOST:PORT [--dmm-speed K]]
// Listens on a loopback address only (default 127.0.0.1:11111; port 0 picks a free port) and prints
// "listening HOST:PORT" as the first line of its standard output once it accepts clients; with
// --dmm a simulated multimeter listens too, and the second line says where ("dmm listening
// HOST:PORT"). Logs go to standard error.
#include "bench.h"
#include "dmmserver.h"
#include "server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>

using namespace vekd;

static int usageError(const QString& text)
{
    std::fprintf(stderr, "vekd: %s\n", text.toUtf8().constData());
    return 2;
}

// A loopback HOST:PORT of the command line; false (with the reason) when it is not one.
static bool loopbackAddress(const QString& option, const QString& text, QHostAddress* address, quint16* port, QString* error)
{
    int colon = text.lastIndexOf(':');
    bool portOk = false;
    uint value = colon > 0 ? text.mid(colon + 1).toUInt(&portOk) : 0;
    QString host = colon > 0 ? text.left(colon) : QString();
    if (host == "localhost") host = "127.0.0.1";
    *address = QHostAddress(host);
    if (!portOk || value > 65535 || address->isNull()) {
        *error = option + " wants HOST:PORT, for example 127.0.0.1:11111, not \"" + text + "\"";
        return false;
    }
    if (!address->isLoopback()) {
        *error = "refusing to listen on " + host + ": only loopback addresses are served";
        return false;
    }
    *port = quint16(value);
    return true;
}

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("vekd");

    QCommandLineParser parser;
    parser.setApplicationDescription("Crate service simulator: crates with simulated VEK72 modules over TCP.");
    parser.addHelpOption();
    QCommandLineOption listenOpt("listen", "Loopback address and port to listen on (port 0: any free port).", "HOST:PORT",
                                 "127.0.0.1:11111");
    QCommandLineOption configOpt("config", "Crate file (JSON); without it the built-in bench.", "FILE");
    QCommandLineOption parentOpt("parent-pid", "Exit when the process PID is gone.", "PID");
    QCommandLineOption verboseOpt("verbose", "Log every request.");
    QCommandLineOption dmmOpt("dmm", "Loopback address and port of a simulated multimeter (SCPI over TCP).", "HOST:PORT");
    QCommandLineOption dmmSpeedOpt("dmm-speed", "The multimeter's readings take their time divided by K (default 1).", "K", "1");
    parser.addOption(listenOpt);
    parser.addOption(configOpt);
    parser.addOption(parentOpt);
    parser.addOption(verboseOpt);
    parser.addOption(dmmOpt);
    parser.addOption(dmmSpeedOpt);
    if (!parser.parse(app.arguments())) return usageError(parser.errorText());
    if (parser.isSet("help")) {
        std::fputs(parser.helpText().toUtf8().constData(), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError("unexpected argument \"" + parser.positionalArguments().first() + "\"");

    QString listen = parser.value(listenOpt);
    QHostAddress address;
    quint16 port = 0;
    QString addressError;
    if (!loopbackAddress("--listen", listen, &address, &port, &addressError)) return usageError(addressError);
    QHostAddress dmmAddress;
    quint16 dmmPort = 0;
    if (parser.isSet(dmmOpt) && !loopbackAddress("--dmm", parser.value(dmmOpt), &dmmAddress, &dmmPort, &addressError))
        return usageError(addressError);
    bool speedOk = false;
    const double dmmSpeed = parser.value(dmmSpeedOpt).toDouble(&speedOk);
    if (!speedOk || !(dmmSpeed >= 0.01 && dmmSpeed <= 10000))
        return usageError("--dmm-speed wants a number from 0.01 to 10000, not \"" + parser.value(dmmSpeedOpt) + "\"");

    Bench bench;
    if (parser.isSet(configOpt)) {
        QFile f(parser.value(configOpt));
        if (!f.open(QIODevice::ReadOnly)) return usageError("cannot read the crate file " + f.fileName() + ": " + f.errorString());
        if (f.size() > 16 * 1024 * 1024) return usageError("the crate file " + f.fileName() + " is too large");
        QString error;
        if (!parseBench(f.readAll(), bench, &error)) return usageError("crate file " + f.fileName() + ": " + error);
    } else {
        builtinBench(bench);
    }

    qint64 parentPid = 0;
    if (parser.isSet(parentOpt)) {
        bool ok = false;
        parentPid = parser.value(parentOpt).toLongLong(&ok);
        if (!ok || parentPid <= 1) return usageError("--parent-pid wants a process id");
    }

    Service service(std::move(bench), parser.isSet(verboseOpt));
    QString error;
    if (!service.listen(address, port, &error)) {
        std::fprintf(stderr, "vekd: cannot listen on %s: %s\n", listen.toUtf8().constData(), error.toUtf8().constData());
        return 1;
    }
    std::unique_ptr<DmmServer> dmm;
    if (parser.isSet(dmmOpt)) {
        dmm = std::make_unique<DmmServer>(service.bench(), dmmSpeed);
        if (!dmm->listen(dmmAddress, dmmPort, &error)) {
            std::fprintf(stderr, "vekd: cannot listen on %s: %s\n", parser.value(dmmOpt).toUtf8().constData(),
                         error.toUtf8().constData());
            return 1;
        }
        service.attachMultimeter(dmm.get());
    }
    std::printf("listening %s\n", service.address().toUtf8().constData());
    if (dmm) std::printf("dmm listening %s\n", dmm->address().toUtf8().constData());
    std::fflush(stdout);
    int crates = int(service.bench().crates.size());
    logLine(QString("serving %1 crate(s) on %2%3").arg(crates).arg(service.address(),
                                                          parser.isSet(configOpt) ? " from " + parser.value(configOpt) : QString(" (built-in bench)")));
    if (dmm) logLine(QString("simulated multimeter on %1 (readings %2 times as fast as the real meter's), its input open")
                         .arg(dmm->address()).arg(dmmSpeed));

    QTimer watchdog;
    if (parentPid > 0) {
        QObject::connect(&watchdog, &QTimer::timeout, [&]() {
            if (getppid() != pid_t(parentPid)) {
                logLine(QString("parent process %1 is gone; exiting").arg(parentPid));
                app.quit();
            }
        });
        watchdog.start(200);
    }
    return app.exec();
}
