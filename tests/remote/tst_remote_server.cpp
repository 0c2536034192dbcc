// The remote-control server on a thread of its own, with clients on sockets: answers per line,
// several clients served one line at a time each in turn, a line over 64 KiB answered -223 and its
// client cut off, garbage answered with errors, a client that does not read its answers held back
// without holding back the others, a busy port reported once, and the journal's lines for each
// client's coming and going (a client that leaves by itself: tst_remote_pyvisa).
#include <QtTest>

#include <QNetworkInterface>
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

    explicit Server(quint16 wanted = 0, const RemoteServer::Policy& policy = RemoteServer::Policy(),
                    const QString& address = QStringLiteral("127.0.0.1"))
    {
        server->setPolicy(policy);
        server->moveToThread(&thread);
        QObject::connect(&thread, &QThread::finished, server, &QObject::deleteLater);
        QObject::connect(server, &RemoteServer::listening, &here, [this](const QString&, quint16 p) { port = p; });
        QObject::connect(server, &RemoteServer::unavailable, &here, [this](const QString& why) { failure = why; });
        thread.start();
        QMetaObject::invokeMethod(server, "listen", Qt::QueuedConnection, Q_ARG(QString, address), Q_ARG(quint16, wanted));
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
    explicit Client(quint16 port, const QHostAddress& host = QHostAddress::LocalHost)
    {
        socket.connectToHost(host, port);
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
    void blockDataOverLineEnds();
    void clientsTakeTurns();
    void garbage();
    void clientThatDoesNotRead();
    void busyPort();
    void whoMayConnect_data();
    void whoMayConnect();
    void idleClientsMakeRoom();
    void journalOfAFlood();
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

// IEEE 488.2 7.7.6: a definite-length block's bytes are taken as they are, line ends among them; a
// block whose length goes beyond the 64 KiB of a line is refused as a longer line is.
void TestRemoteServer::blockDataOverLineEnds()
{
    Server s;
    QVERIFY(s.port != 0);
    Client c(s.port);
    // The block ("a\nb", then "\n\n" whose second byte is its own) is read whole, sent in pieces;
    // a string is wanted, so the command is -104 rather than -161 for a block cut at '\n'.
    c.send("SYST:MOD #13a");
    c.send("\nb,1;:OUTP2 ON\nSYST:ERR?;ERR:COUN?\n");
    QCOMPARE(c.answers(1), (QList<QByteArray>{ "-104,\"Data type error\";0" }));
    c.send("SYST:MOD #12\n\n,1\r\n");
    QCOMPARE(c.query("SYST:ERR?;:SYST:MOD?"), QByteArray("-104,\"Data type error\";\"4B210736\",3"));
    // A quoted '#1' is no block; a block shorter than its length (at the end of the line) waits
    // for its bytes, which are what follows.
    QCOMPARE(c.query("SYST:MOD \"#15\",4;:SYST:MOD?"), QByteArray("\"#15\",4"));
    c.send("SYST:MOD #570000" + QByteArray(20, 'x') + "\n");
    c.send(QByteArray(RemoteServer::maxLineBytes, 'y') + "\n");
    QCOMPARE(c.answers(1).value(0), QByteArray("-223,\"Too much data\""));
    QVERIFY(c.disconnected());
    QCOMPARE(s.module.log(), QStringList{});
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
    // What the window's status bar shows, in the operator's words.
    QCOMPARE(s.failure, QStringLiteral("127.0.0.1:%1 недоступен (порт занят другой программой)").arg(occupant.serverPort()));
    // One warning in the journal, with the address.
    QCOMPARE(remotewarnings::lines().size(), 1);
    QVERIFY(remotewarnings::lines().first().startsWith(QStringLiteral("Удалённое управление не запущено: 127.0.0.1:%1").arg(occupant.serverPort())));
}

namespace {

// An address of this computer other than loopback, as other computers reach it; null when it has none.
QHostAddress networkAddress()
{
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address;
    }
    return {};
}

} // namespace

void TestRemoteServer::whoMayConnect_data()
{
    QTest::addColumn<QString>("address");   // where the server listens
    QTest::addColumn<QString>("allowed");   // AllowedHosts; "NET" stands for this computer's network address
    QTest::addColumn<bool>("fromNetwork");  // the client comes from that address, else from loopback
    QTest::addColumn<QString>("outcome");   // "served", "refused" or "not started"
    QTest::addColumn<QString>("journal");   // the warning, "NET" and "PEER" standing in for addresses
    QTest::newRow("loopback, no list") << "127.0.0.1" << "" << false << "served" << "";
    QTest::newRow("every address, no list")
        << "0.0.0.0" << "" << false << "not started"
        << "Удалённое управление не запущено: адрес 0.0.0.0 доступен с других компьютеров, а список разрешённых (AllowedHosts в группе Remote) пуст";
    QTest::newRow("loopback, a list without it")
        << "127.0.0.1" << "10.0.0.5, 192.168.1.0/24" << false << "refused"
        << "Удалённое управление: подключение с 127.0.0.1 отклонено: адреса нет в списке AllowedHosts";
    QTest::newRow("loopback, its network listed") << "127.0.0.1" << "127.0.0.0/8" << false << "served" << "";
    QTest::newRow("every address, the client's address listed") << "0.0.0.0" << "10.0.0.5;NET" << true << "served" << "";
    QTest::newRow("every address, another network listed")
        << "0.0.0.0" << "10.99.0.0/16" << true << "refused"
        << "Удалённое управление: подключение с NET отклонено: адреса нет в списке AllowedHosts";
    QTest::newRow("every address, no list, from the network")
        << "0.0.0.0" << "" << true << "not started" << "Удалённое управление не запущено: адрес 0.0.0.0";
    QTest::newRow("every IPv6 address, its loopback listed") << "::" << "::1" << false << "served" << "";
    QTest::newRow("every IPv6 address, a list without its loopback")
        << "::" << "fd00::/8" << false << "refused"
        << "Удалённое управление: подключение с ::1 отклонено: адреса нет в списке AllowedHosts";
}

// Only this computer may connect unless AllowedHosts lists others; an address other computers reach
// is not listened on without such a list; a client from elsewhere is refused at once, with a warning
// that names its address (not its port, so that a flood of them folds into one journal line).
void TestRemoteServer::whoMayConnect()
{
    QFETCH(QString, address);
    QFETCH(QString, allowed);
    QFETCH(bool, fromNetwork);
    QFETCH(QString, outcome);
    QFETCH(QString, journal);
    const QHostAddress network = networkAddress();
    if ((fromNetwork || allowed.contains("NET")) && network.isNull())
        QSKIP("this computer has no network address but loopback");
    allowed.replace("NET", network.toString());
    journal.replace("NET", network.toString());
    RemoteServer::Policy policy;
    QStringList unreadable;
    policy.allowed = AllowedHosts::parse(allowed, &unreadable);
    QCOMPARE(unreadable, QStringList());
    Server s(0, policy, address);
    if (outcome == "not started") {
        QCOMPARE(s.port, quint16(0));
        QCOMPARE(remotewarnings::lines().size(), 1);
        QVERIFY2(remotewarnings::lines().first().startsWith(journal), qPrintable(remotewarnings::lines().first()));
        return;
    }
    if (address == "::" && s.port == 0)
        QSKIP("no IPv6 here");
    QVERIFY2(s.port != 0, qPrintable(s.failure));
    const QHostAddress loopback(address == "::" ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost);
    Client c(s.port, fromNetwork ? network : loopback);
    if (outcome == "served") {
        QCOMPARE(c.query("*IDN?"), idn);
        QCOMPARE(remotewarnings::lines(), QStringList());
        return;
    }
    QVERIFY(c.disconnected());
    QCOMPARE(s.module.log(), QStringList());
    Client again(s.port, fromNetwork ? network : loopback);
    QVERIFY(again.disconnected());
    QVERIFY(QTest::qWaitFor([] { return remotewarnings::lines().size() >= 2; }, 5000));
    QCOMPARE(remotewarnings::lines(), (QStringList{ journal, journal }));
}

// Sixteen clients that connect and say nothing: the seventeenth is refused (the journal says why),
// and once the idle time-out has passed they are disconnected and a new client is served; a client
// that keeps sending meanwhile stays.
void TestRemoteServer::idleClientsMakeRoom()
{
    RemoteServer::Policy policy;
    policy.idleTimeoutMs = 500;
    Server s(0, policy);
    Client busy(s.port);
    std::vector<std::unique_ptr<Client>> silent;
    for (int i = 1; i < RemoteServer::maxClients; ++i)
        silent.emplace_back(new Client(s.port));
    QCOMPARE(busy.query("*IDN?"), idn);
    Client refused(s.port);
    QVERIFY(refused.disconnected());
    QVERIFY(QTest::qWaitFor([] { return !remotewarnings::lines().isEmpty(); }, 5000));
    QCOMPARE(remotewarnings::lines().first(),
             QStringLiteral("Удалённое управление: клиент с 127.0.0.1 не принят: подключено уже 16 клиентов, больше не принимается"));
    // The busy client goes on asking until every silent one has been let go.
    const bool allGone = QTest::qWaitFor([&] {
        if (busy.query("SYST:ERR?") != "0,\"No error\"")
            return true;
        for (const auto& c : silent) {
            if (c->socket.state() != QAbstractSocket::UnconnectedState)
                return false;
        }
        return true;
    }, 20000);
    QVERIFY(allGone);
    QCOMPARE(busy.socket.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(busy.query("*IDN?"), idn);
    Client next(s.port);
    QCOMPARE(next.query("*IDN?"), idn);
    const QStringList timedOut = apptest::infos().filter(QStringLiteral("отключён: не было команд 0.5 с"));
    QCOMPARE(timedOut.size(), RemoteServer::maxClients - 1);
}

// A flood of connections from a host that may not connect: the server writes at most its number of
// lines in each window of time and says how many it left out, so that what the journal learns is
// counted exactly (written plus left out is one line per connection) and a flood cannot fill the
// disk. The lines name the address without the port: the journal folds a run of them into one.
void TestRemoteServer::journalOfAFlood()
{
    RemoteServer::Policy policy;
    policy.allowed = AllowedHosts::parse("10.0.0.5");
    policy.journalLines = 20;
    policy.journalWindowMs = 400;
    Server s(0, policy);
    const int clients = 300;
    for (int i = 0; i < clients; ++i) {
        Client c(s.port);
        c.socket.abort();
    }
    // One line per refused client, and the line that the server listens.
    const int expected = clients + 1;
    const QString refused = QStringLiteral("Удалённое управление: подключение с 127.0.0.1 отклонено: адреса нет в списке AllowedHosts");
    const QRegularExpression leftOut(QStringLiteral("^Удалённое управление: не записано в журнал сообщений о клиентах: (\\d+) "
                                                    "\\(их было больше 20 за 0.4 с\\)$"));
    int written = 0;
    int notWritten = 0;
    const bool counted = QTest::qWaitFor([&] {
        written = apptest::infos().filter(QStringLiteral("Удалённое управление")).size()
                  + remotewarnings::lines().filter(refused).size();
        notWritten = 0;
        for (const QString& line : remotewarnings::lines())
            notWritten += leftOut.match(line).captured(1).toInt();
        return written + notWritten >= expected;
    }, 30000);
    QVERIFY2(counted, qPrintable(QStringLiteral("%1 + %2").arg(written).arg(notWritten)));
    QCOMPARE(written + notWritten, expected);
    QVERIFY2(notWritten > clients / 2, qPrintable(QString::number(written)));
    // Only those two kinds of line.
    QCOMPARE(remotewarnings::lines().size(), remotewarnings::lines().filter(refused).size()
                                                 + remotewarnings::lines().filter(leftOut).size());
}

QTEST_MAIN(TestRemoteServer)
#include "tst_remote_server.moc"
