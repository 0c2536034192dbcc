// The remote-control server on a thread of its own, with clients on sockets: answers per line,
// several clients served one line at a time each in turn, a line over 64 KiB answered -223 and its
// client cut off, garbage answered with errors, a client that does not read its answers held back
// without holding back the others, a busy port reported once, and the journal's lines for each
// client's coming and going (a client that leaves by itself: tst_remote_pyvisa).
#include <QtTest>

#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <atomic>
#include <memory>
#include <vector>

#include "apptestutil.h"
#include "fakeremote.h"
#include "remoteserver.h"
#include "remotewarnings.h"

namespace {

const QByteArray idn = "ZELMAR,VEK72-1-8,72A10419,1.4.27";

// A module that notices two calls at once.
class WatchedModule : public FakeRemoteModule
{
public:
    std::atomic<int> inside{ 0 };
    std::atomic<bool> overlapped{ false };
    SettingResult changeSetting(const QString& key, int channel, const QVariant& value, QString* reason = nullptr) override
    {
        if (++inside > 1)
            overlapped = true;
        QThread::usleep(200);   // long enough for another client's line to try to get in
        const SettingResult result = FakeRemoteModule::changeSetting(key, channel, value, reason);
        --inside;
        return result;
    }
};

// The server on its thread, listening on a free loopback port.
struct Server
{
    WatchedModule module;
    FakeRemoteHost host;
    QThread thread;
    RemoteServer* server = new RemoteServer(&module, &host);
    quint16 port = 0;
    QString failure;
    QObject here;   // the answers of the server come to this thread

    explicit Server(quint16 wanted = 0)
    {
        server->moveToThread(&thread);
        QObject::connect(&thread, &QThread::finished, server, &QObject::deleteLater);
        QObject::connect(server, &RemoteServer::listening, &here, [this](const QString&, quint16 p) { port = p; });
        QObject::connect(server, &RemoteServer::unavailable, &here, [this](const QString& why) { failure = why; });
        thread.start();
        QMetaObject::invokeMethod(server, "listen", Qt::QueuedConnection, Q_ARG(QString, "127.0.0.1"), Q_ARG(quint16, wanted));
        if (!QTest::qWaitFor([this] { return port != 0 || !failure.isEmpty(); }, 5000))
            failure = QStringLiteral("no answer from the server");
    }
    ~Server()
    {
        server->stopCommands();
        QMetaObject::invokeMethod(server, "shutdown", Qt::QueuedConnection);
        thread.quit();
        thread.wait();
    }
};

struct Client
{
    QTcpSocket socket;
    explicit Client(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.waitForConnected(5000);
    }
    void send(const QByteArray& bytes) { socket.write(bytes); }
    // The next `count` answer lines (without '\n'); fewer when they did not come in time.
    QList<QByteArray> answers(int count, int timeoutMs = 10000)
    {
        QList<QByteArray> lines;
        const bool all = QTest::qWaitFor([&] {
            while (socket.canReadLine())
                lines << socket.readLine().chopped(1);
            return lines.size() >= count;
        }, timeoutMs);
        Q_UNUSED(all)   // fewer lines tell
        return lines;
    }
    QByteArray query(const QByteArray& line)
    {
        send(line + '\n');
        return answers(1).value(0);
    }
    bool disconnected(int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
    }
};

} // namespace

class TestRemoteServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        apptest::installMessageCapture();
        remotewarnings::install();
    }
    void init()
    {
        apptest::clearMessages();
        remotewarnings::clear();
    }
    void linesOfOneClient();
    void clientsTakeTurns();
    void garbage();
    void clientThatDoesNotRead();
    void busyPort();
};

// One client: answers per line whatever the line ends and writes, the longest line taken, and a
// longer one answered -223 and the client cut off; the journal has the client's coming and going
// and no command; the server goes on with the others.
void TestRemoteServer::linesOfOneClient()
{
    Server s;
    QVERIFY(s.port != 0);
    Client c(s.port);
    // "\r\n" and "\n" ends, several lines in one write, a line split over two writes, a line of
    // only commands (no answer), and one of queries answered in one line.
    c.send("*IDN?\r\nOUTP1 ON\nOUTP1?;:SYST:ERR?\nSYST:MOD");
    c.send("?\n");
    QCOMPARE(c.answers(3), (QList<QByteArray>{ idn, "1;0,\"No error\"", "\"4B210736\",3" }));
    // The longest line taken: 64 KiB and a CR before the line end.
    QCOMPARE(c.query("*IDN?" + QByteArray(RemoteServer::maxLineBytes - 5, ' ') + '\r'), idn);
    // A line longer than 64 KiB (its end not yet come).
    c.send("OUTP3 ON;" + QByteArray(RemoteServer::maxLineBytes, ' '));
    QCOMPARE(c.answers(1).value(0), QByteArray("-223,\"Too much data\""));
    QVERIFY(c.disconnected());
    QCOMPARE(s.module.log(), QStringList{ "enabled 1 true" });
    QCOMPARE(remotewarnings::lines().size(), 1);
    QVERIFY(remotewarnings::lines().first().endsWith(QStringLiteral("строка длиннее 65536 байт, клиент отключён")));
    QVERIFY(QTest::qWaitFor([] { return apptest::infos().size() >= 3; }, 5000));
    const QStringList infos = apptest::infos();
    QCOMPARE(infos.size(), 3);
    QVERIFY(infos.at(0).startsWith(QStringLiteral("Удалённое управление ожидает подключений на 127.0.0.1:")));
    QVERIFY(infos.at(1).startsWith(QStringLiteral("Удалённое управление: подключился клиент 127.0.0.1:")));
    QVERIFY(infos.at(2).startsWith(QStringLiteral("Удалённое управление: клиент 127.0.0.1:")) && infos.at(2).endsWith(" отключился"));
    Client other(s.port);
    QCOMPARE(other.query("*IDN?"), idn);
}

// Three clients send 50 lines at once: each gets its own answers in its order, the module is never
// asked two things at once, and the clients take turns (all three among the module's first 30 calls).
void TestRemoteServer::clientsTakeTurns()
{
    Server s;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 3; ++i)
        clients.emplace_back(new Client(s.port));
    for (int i = 0; i < 3; ++i) {
        QByteArray lines;
        for (int n = 0; n < 50; ++n)
            lines += QStringLiteral("SOUR%1:FREQ %2;FREQ?\n").arg(i + 1).arg(100 * i + n).toUtf8();
        clients[i]->send(lines);
    }
    for (int i = 0; i < 3; ++i) {
        QList<QByteArray> expected;
        for (int n = 0; n < 50; ++n)
            expected << QByteArray::number(100 * i + n);
        QCOMPARE(clients[i]->answers(50), expected);
    }
    QVERIFY(!s.module.overlapped);
    QSet<QString> first;
    for (const QString& call : s.module.log().mid(0, 30))
        first << call.section(' ', 1, 1);
    QCOMPARE(first, (QSet<QString>{ "1", "2", "3" }));
}

void TestRemoteServer::garbage()
{
    Server s;
    Client c(s.port);
    // Every byte value, control characters and NULs included, in lines of all lengths.
    QByteArray noise;
    quint32 seed = 12345;
    for (int i = 0; i < 200000; ++i) {
        seed = seed * 1103515245u + 12345u;
        noise.append(char(seed >> 23));
    }
    c.send(noise + "\n");
    // Still serving this client, with errors in its queue (the first 32, the last one -350).
    QCOMPARE(c.query("*IDN?"), idn);
    const int count = c.query("SYST:ERR:COUN?").toInt();
    QVERIFY2(count > 0 && count <= 32, qPrintable(QString::number(count)));
    // The journal has the errors as warnings, at most 50 and one line saying that the rest are not.
    QVERIFY(apptest::criticals().isEmpty());
    const QStringList warnings = remotewarnings::lines();
    QCOMPARE(warnings.size(), RemoteServer::maxJournalErrors + 1);
    QVERIFY(warnings.last().endsWith(QStringLiteral("следующие ошибки только в его очереди ошибок")));
}

void TestRemoteServer::clientThatDoesNotRead()
{
    Server s;
    Client silent(s.port);
    // Far more answers than the server holds for a client: it stops taking lines from it...
    const int lines = int(3 * RemoteServer::maxPendingAnswers / 32);
    silent.socket.setReadBufferSize(1);   // this side keeps nothing either: the answers wait in the network
    silent.send(QByteArray("*IDN?\n").repeated(lines));
    // ...while another client is served.
    Client other(s.port);
    QCOMPARE(other.query("OUTP1 ON;OUTP1?"), QByteArray("1"));
    // Once it reads, it gets every answer, none lost.
    silent.socket.setReadBufferSize(0);
    QCOMPARE(silent.answers(lines, 60000).size(), lines);
}

void TestRemoteServer::busyPort()
{
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));
    Server s(occupant.serverPort());
    QCOMPARE(s.port, quint16(0));
    QVERIFY(!s.failure.isEmpty());
    // One warning in the journal, with the address.
    QCOMPARE(remotewarnings::lines().size(), 1);
    QVERIFY(remotewarnings::lines().first().startsWith(QStringLiteral("Удалённое управление не запущено: 127.0.0.1:%1").arg(occupant.serverPort())));
}

QTEST_MAIN(TestRemoteServer)
#include "tst_remote_server.moc"
