// Remote control of the program, timed from a client's side: the program (vek72, offscreen) runs
// against a vekd of its own with remote control on a free port, and this process is a client on a
// raw socket, as pyvisa is.
//
//   bench_remote [--queries N] [--restarts N]
//       The round trip of a query, *IDN? and SOUR1:FREQ?, N times each (default 10000): median and
//       99th percentile. Then eight channels play cyclically at 1 kHz, and N times (default 100)
//       "SOUR1:FREQ f;*OPC?" with f alternately 1000 and 1001 Hz, so that every line restarts the
//       output: the round trip until *OPC? answers, median and 99th percentile.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextCodec>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "vekdrunner.h"

namespace {

struct Client
{
    QTcpSocket socket;
    QString failure;

    QByteArray query(const QByteArray& line)
    {
        socket.write(line + '\n');
        while (!socket.canReadLine()) {
            if (!socket.waitForReadyRead(30000)) {
                failure = QStringLiteral("no answer to ") + QString::fromUtf8(line);
                return {};
            }
        }
        return socket.readLine().chopped(1);
    }
    void write(const QByteArray& line)
    {
        socket.write(line + '\n');
        socket.flush();
    }
};

struct Figures
{
    double median = 0;
    double p99 = 0;
    double max = 0;
};

Figures figuresOf(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double p) { return ms[size_t(p * double(ms.size() - 1) + 0.5)]; };
    return { at(0.5), at(0.99), ms.back() };
}

// Times `count` round trips of `line`; the answers must all be `expected` when it is given.
bool timeQueries(Client& c, const QByteArray& line, int count, Figures* figures)
{
    std::vector<double> ms;
    ms.reserve(size_t(count));
    QElapsedTimer clock;
    for (int i = 0; i < count; ++i) {
        clock.start();
        const QByteArray answer = c.query(line);
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (answer.isEmpty())
            return false;
    }
    *figures = figuresOf(ms);
    return true;
}

// The port remote control listens on, from the program's journal.
quint16 remotePort(const QString& journal)
{
    QFile file(journal);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QString text = QTextCodec::codecForName("Windows-1251")->toUnicode(file.readAll());
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("Удалённое управление ожидает подключений на 127\\.0\\.0\\.1:(\\d+)")).match(text);
    return m.hasMatch() ? quint16(m.captured(1).toUInt()) : 0;
}

// Sends vekd has taken from the module of slot 3 of the bench's first crate: one per page loaded.
qint64 sendsOfModule(VekdRunner& vekd)
{
    QByteArray out;
    if (vekd.vekctl({ "status" }, &out) != 0)
        return -1;
    for (const QJsonValue& crate : QJsonDocument::fromJson(out).object().value("crates").toArray()) {
        for (const QJsonValue& slot : crate.toObject().value("slots").toArray()) {
            const QJsonObject s = slot.toObject();
            if (crate.toObject().value("serial").toString() == "4B210736" && s.value("slot").toInt() == 3)
                return qint64(s.value("module").toObject().value("counters").toObject().value("sends").toDouble(-1));
        }
    }
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int queries = 10000;
    int restarts = 100;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--queries")
            queries = args[i + 1].toInt();
        else if (args[i] == "--restarts")
            restarts = args[i + 1].toInt();
    }
    if (queries < 1 || restarts < 1) {
        std::fprintf(stderr, "usage: bench_remote [--queries N] [--restarts N]\n");
        return 2;
    }

    VekdRunner vekd;
    if (!vekd.start())
        return 1;
    QTemporaryDir dir;
    {
        QFile ini(dir.filePath(QStringLiteral("stendix.ini")));
        if (!ini.open(QIODevice::WriteOnly) || ini.write("[Remote]\nPort=0\n") < 0)
            return 1;
    }
    QProcess program;
    program.setWorkingDirectory(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("VEK_SERVICE"), vekd.address());
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QCoreApplication::applicationDirPath() + QStringLiteral("/vek72"), QStringList());
    if (!program.waitForStarted(10000)) {
        std::fprintf(stderr, "bench_remote: vek72 did not start\n");
        return 1;
    }
    const QString journal = dir.filePath(QStringLiteral("stendix.log"));
    quint16 port = 0;
    QElapsedTimer waited;
    waited.start();
    while ((port = remotePort(journal)) == 0 && waited.elapsed() < 20000)
        program.waitForFinished(50);

    Client c;
    c.socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (port == 0 || !c.socket.waitForConnected(10000)) {
        std::fprintf(stderr, "bench_remote: remote control did not come up\n");
        return 1;
    }
    // The first discovery has made the module current.
    while (!c.query("*IDN?").startsWith("ZELMAR,VEK72-1-8") && waited.elapsed() < 30000)
        program.waitForFinished(50);

    int status = 0;
    Figures idn, freq, restart;
    if (!timeQueries(c, "*IDN?", queries, &idn) || !timeQueries(c, "SOUR1:FREQ?", queries, &freq))
        status = 3;

    // Eight channels at 1 kHz, 1 V RMS, cyclic.
    QByteArray on = "OUTP1 ON";
    for (int n = 2; n <= 8; ++n)
        on += ";OUTP" + QByteArray::number(n) + " ON";
    c.write(on);
    for (int n = 1; n <= 8; ++n) {
        const QByteArray ch = "SOUR" + QByteArray::number(n);
        c.write(ch + ":FUNC AC;VOLT:RANG FULL;:" + ch + ":VOLT 1;FREQ 1000");
    }
    c.write("SOUR:MODE CYCL;RATE 192000;:INIT");
    if (c.query("*OPC?;:INIT:STAT?;:SYST:ERR:COUN?") != "1;1;0") {
        std::fprintf(stderr, "bench_remote: the eight channels did not start\n");
        status = 3;
    }
    std::vector<double> ms;
    QElapsedTimer clock;
    const qint64 sendsBefore = sendsOfModule(vekd);
    for (int i = 0; status == 0 && i < restarts; ++i) {
        const QByteArray line = "SOUR1:FREQ " + QByteArray(i % 2 ? "1000" : "1001") + ";*OPC?";
        clock.start();
        const QByteArray answer = c.query(line);
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (answer != "1")
            status = 3;
    }
    qint64 pagesLoaded = 0;
    if (status == 0) {
        restart = figuresOf(ms);
        pagesLoaded = sendsOfModule(vekd) - sendsBefore;
        if (c.query("INIT:STAT?;:SYST:ERR:COUN?") != "1;0")
            status = 3;
    }
    c.write("ABOR");
    c.query("*OPC?");
    c.socket.disconnectFromHost();
    program.terminate();
    if (!program.waitForFinished(10000))
        program.kill();
    if (status != 0) {
        std::fprintf(stderr, "bench_remote: %s\n", qPrintable(c.failure.isEmpty() ? QStringLiteral("a wrong answer") : c.failure));
        return status;
    }
    std::printf("query round trip, %d each: *IDN? median %.3f ms, p99 %.3f ms, max %.3f ms; "
                "SOUR1:FREQ? median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                queries, idn.median, idn.p99, idn.max, freq.median, freq.p99, freq.max);
    std::printf("set and restart \"SOUR1:FREQ f;*OPC?\", 8 channels at 1 kHz, cyclic, %d lines: "
                "median %.1f ms, p99 %.1f ms, max %.1f ms; pages loaded meanwhile %lld\n",
                restarts, restart.median, restart.p99, restart.max, pagesLoaded);
    return 0;
}
