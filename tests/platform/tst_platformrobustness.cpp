// vekd under bad input and load: malformed, truncated and oversized frames close only the offending
// client; claimed sizes are not allocated; many clients at once; a client vanishing in the middle of
// a waiting send frees its module; a service that stops, hangs or drops its clients gives errors, not
// a hang; vekd leaves with its parent.
// Arbitrary input on either end of the protocol, and answers longer than their request allows, are
// tested by the wire corpus (tests/fuzz).
#include "platformtest.h"
#include "vekdrunner.h"

#include "client.h"
#include "wire.h"

#include <QtTest>
#include <QTcpSocket>

#include <atomic>
#include <csignal>
#include <sys/socket.h>
#include <thread>
#include <vector>

using namespace vekproto;

namespace {

QByteArray frame(uint16_t opcode, const QByteArray& payload, uint32_t claimed = 0xFFFFFFFFu, uint32_t magic = kFrameMagic,
                 uint16_t flags = 0)
{
    FrameHeader h;
    h.magic = magic;
    h.opcode = opcode;
    h.flags = flags;
    h.requestId = 7;
    h.length = claimed == 0xFFFFFFFFu ? uint32_t(payload.size()) : claimed;
    uint8_t raw[kHeaderSize];
    encodeHeader(h, raw);
    return QByteArray(reinterpret_cast<const char*>(raw), kHeaderSize) + payload;
}

QByteArray bytes(const Writer& w) { return QByteArray(reinterpret_cast<const char*>(w.data().data()), int(w.data().size())); }

long rssKiB(qint64 pid)
{
    QFile f(QString("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// Running (a zombie waiting to be reaped counts as gone).
bool alive(pid_t pid)
{
    QFile f(QString("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return false;
    QByteArray stat = f.readAll();
    int close = stat.lastIndexOf(')');
    return close > 0 && stat.size() > close + 2 && stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}

int connections(VekdRunner& vekd)
{
    return benchstatus::connections(benchstatus::status(vekd));
}

} // namespace

class TestPlatformRobustness : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void badFramesCloseOnlyThatClient_data();
    void badFramesCloseOnlyThatClient();
    void claimedSizesAreNotAllocated();
    void manyClientsAtOnce();
    void clientVanishesDuringWaitingSend();
    void serviceGoesAway_data();
    void serviceGoesAway();
    void vekdLeavesWithItsParent();
};

void TestPlatformRobustness::badFramesCloseOnlyThatClient_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("clientCloses"); // truncated: the client goes away mid-frame
    QTest::addColumn<QString>("logged");

    Writer hugeText;
    hugeText.u32(1000000000u);
    Writer sendMismatch;
    sendMismatch.u32(100);
    sendMismatch.u32(10);
    sendMismatch.u32(0);
    Writer config;
    for (int i = 0; i < 10; ++i) config.u32(0);

    QTest::newRow("bad magic") << frame(OpPing, {}, 0xFFFFFFFFu, 0x12345678u) << false << "bad magic 0x12345678";
    QTest::newRow("unknown opcode") << frame(0x0777, {}) << false << "unknown opcode 0x0777";
    QTest::newRow("reply opcode") << frame(OpPing | kReplyBit, {}) << false << "unknown opcode 0x8023";
    QTest::newRow("flags") << frame(OpPing, {}, 0xFFFFFFFFu, kFrameMagic, 3) << false << "flags 0x0003";
    QTest::newRow("oversized send") << frame(OpModSend, QByteArray(32, 'x'), maxRequestPayload(OpModSend) + 1) << false
                                    << "payload of 16777225 bytes";
    QTest::newRow("oversized small") << frame(OpPing, {}, kMaxSmallPayload + 1) << false << "payload of 65537 bytes";
    QTest::newRow("text longer than payload") << frame(OpModOpen, bytes(hugeText)) << false << "module open request";
    QTest::newRow("send count mismatch") << frame(OpModSend, bytes(sendMismatch)) << false << "send request";
    QTest::newRow("configure too long") << frame(OpModConfigure, bytes(config)) << false << "configure request";
    QTest::newRow("truncated header") << frame(OpPing, {}).left(9) << true << "truncated frame of 9 bytes";
    QTest::newRow("truncated payload") << frame(OpCtlFault, QByteArray(100, 'x'), 5000) << true << "truncated frame of 116 bytes";
}

void TestPlatformRobustness::badFramesCloseOnlyThatClient()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, clientCloses);
    QFETCH(QString, logged);
    VekdRunner vekd;
    QVERIFY(vekd.start());
    Module witness; // a client that stays open through the test and must keep working
    QCOMPARE(witness.open(3), 0);

    QTcpSocket s;
    s.connectToHost("127.0.0.1", vekd.port());
    QVERIFY(s.waitForConnected(5000));
    s.write(data);
    QVERIFY(s.waitForBytesWritten(5000));
    if (clientCloses) {
        QTRY_COMPARE(connections(vekd), 3); // witness, this socket, vekctl itself
        s.disconnectFromHost();
    } else {
        // the service closes the connection without an answer
        QTRY_COMPARE(s.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(s.bytesAvailable(), qint64(0));
    }
    QTRY_VERIFY2(vekd.log().contains(logged.toUtf8()), vekd.log().constData());
    QVERIFY(vekd.isRunning());
    QCOMPARE(vekd.vekctl({"ping"}), 0);
    QCOMPARE(witness.configure({{0, 0}}, 0, 48000), 0);
    QTRY_COMPARE(connections(vekd), 2);
}

void TestPlatformRobustness::claimedSizesAreNotAllocated()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    QVERIFY(connections(vekd) >= 0);
    const long before = rssKiB(vekd.pid());
    QVERIFY(before > 0);
    std::vector<QTcpSocket*> sockets;
    const int n = 40;
    for (int i = 0; i < n; ++i) {
        auto* s = new QTcpSocket;
        s->connectToHost("127.0.0.1", vekd.port());
        QVERIFY(s->waitForConnected(5000));
        Writer head;
        head.u32(1000);
        head.u32(kMaxSendWords);
        // a frame claiming the largest transfer (16 MiB), of which only a few bytes come
        s->write(frame(OpModSend, bytes(head) + QByteArray(64, '\0'), maxRequestPayload(OpModSend)));
        s->flush();
        sockets.push_back(s);
    }
    QTRY_COMPARE(connections(vekd), n + 1);
    const long after = rssKiB(vekd.pid());
    // 40 claims of 16 MiB would be 640 MiB
    QVERIFY2(after - before < 32 * 1024, qPrintable(QString("RSS grew from %1 to %2 KiB").arg(before).arg(after)));
    for (QTcpSocket* s : sockets) delete s;
    QTRY_COMPARE(connections(vekd), 1);
}

void TestPlatformRobustness::manyClientsAtOnce()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 24; ++t) {
        threads.emplace_back([&failures]() {
            ServiceControl svc;
            failures += svc.open() != 0;
            for (int i = 0; i < 20; ++i) {
                char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE] = {};
                failures += VEK_GetCrates(&svc.h, serials) != 0 || QByteArray(serials[1]) != "4B210751";
                TVEK crate;
                VEK_Init(&crate);
                uint16_t ids[VEK_SLOT_COUNT] = {};
                failures += VEK_OpenCrate(&crate, kLocal, kPort, 0, kCrate) != 0 || VEK_GetCrateModules(&crate, ids) != 0
                    || ids[6] != VEK72_MODULE_TYPE;
                VEK_Close(&crate);
            }
        });
    }
    for (int slot : {3, 7}) {
        threads.emplace_back([&failures, slot]() {
            Module m;
            failures += m.open(slot) != 0;
            for (int i = 0; i < 20; ++i) {
                failures += m.configure({{0, 0}}, 0, 192000) != 0 || m.send(m.prepare(std::vector<double>(4096, 1.0))) != 4096
                    || VEK72_SwitchCyclePage(&m.h, 0, 1000) != 0 || VEK72_Stop(&m.h, 0) != 0;
            }
        });
    }
    for (auto& t : threads) t.join();
    QCOMPARE(failures.load(), 0);
    QTRY_COMPARE(connections(vekd), 1);
}

void TestPlatformRobustness::clientVanishesDuringWaitingSend()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    Module m;
    QCOMPARE(m.open(3), 0);
    QCOMPARE(m.configure({{0, 0}}, 1, 48000), 0);
    QCOMPARE(m.send(std::vector<uint32_t>(kMaxSendWords, 0xA5008000u)), int(kMaxSendWords));
    // the FIFO is full and output is not running: this send would wait ten seconds
    Writer more;
    more.u32(10000);
    more.u32(1000);
    const QByteArray f = frame(OpModSend, bytes(more) + QByteArray(4000, '\0'));
    QCOMPARE(::send(m.h.socket, f.constData(), size_t(f.size()), MSG_NOSIGNAL), ssize_t(f.size()));
    QTRY_VERIFY(moduleStatus(vekd, 3)["sendWaiting"].toBool());
    closeSocket(m.h.socket);
    m.h.socket = -1;
    // the module is free again well before the send's time-out
    Module other;
    QCOMPARE(openWhenReleased(&other.h, kCrate, 3), 0);
    QVERIFY(vekd.log().contains("releasing module 4B210736/3"));
}

void TestPlatformRobustness::serviceGoesAway_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("stopped") << "stopped";
    QTest::newRow("hung") << "hung";
    QTest::newRow("dropping its clients") << "dropped";
}

// The next call through a service that has gone, or has dropped the connection, fails at once,
// through one that hangs after its time-out; either way the handles give their connection up, and
// open again once the service answers (a restarted one on another port, which VEK_SERVICE names).
void TestPlatformRobustness::serviceGoesAway()
{
    QFETCH(QString, how);
    const bool hung = how == "hung";
    VekdRunner vekd;
    QVERIFY(vekd.start());
    ServiceControl svc;
    Module m;
    QCOMPARE(svc.open(), 0);
    QCOMPARE(m.open(3), 0);
    if (hung) {
        QCOMPARE(::kill(pid_t(vekd.pid()), SIGSTOP), 0);
    } else if (how == "stopped") {
        vekd.stop();
    } else {
        QByteArray out;
        QCOMPARE(vekd.vekctl({"fault", "drop"}, &out), 0);
        QVERIFY(out.contains("dropping 2 connection(s)"));
        QTRY_VERIFY(VEK_IsOpened(&svc.h) != 0); // noticed without a call
        QTRY_VERIFY(VEK72_IsOpened(&m.h) != 0);
    }
    char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE] = {};
    const int crates = VEK_GetCrates(&svc.h, serials);
    const int stopped = VEK72_Stop(&m.h, 0);
    if (hung) ::kill(pid_t(vekd.pid()), SIGCONT);
    QCOMPARE(crates, hung ? VEK_E_TIMEOUT : VEK_E_CONNECTION);
    QCOMPARE(stopped, hung ? VEK72_E_TIMEOUT : VEK72_E_NOT_OPENED); // a drop is noticed before the call
    QVERIFY(VEK_IsOpened(&svc.h) != 0);
    if (hung) {
        // The module's connection outlives the hang: the late answer is taken by the next call.
        QVERIFY(VEK72_IsOpened(&m.h) == 0);
        QCOMPARE(VEK72_Stop(&m.h, 0), VEK72_E_NOT_RUNNING);
        QCOMPARE(VEK72_Close(&m.h), 0);
    }
    QVERIFY(VEK72_IsOpened(&m.h) != 0);
    if (how == "stopped") {
        QCOMPARE(svc.open(), VEK_E_CONNECTION);
        QCOMPARE(m.open(3), VEK72_E_CONNECTION);
        QVERIFY(vekd.start());
    }
    QCOMPARE(svc.open(), 0);
    QCOMPARE(VEK_GetCrates(&svc.h, serials), 0);
    QCOMPARE(QByteArray(serials[1]), QByteArray("4B210751"));
    QCOMPARE(openWhenReleased(&m.h, kCrate, 3), 0);
}

void TestPlatformRobustness::vekdLeavesWithItsParent()
{
    // a shell starts vekd as its child, tells its pid, waits (bounded) until vekd listens and exits:
    // vekd must follow
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString out = dir.filePath("vekd.out");
    QProcess sh;
    QString vekdPath = qEnvironmentVariable("VEKD_PATH", QCoreApplication::applicationDirPath() + "/vekd");
    sh.start("/bin/sh", {"-c",
                         "\"$0\" --listen 127.0.0.1:0 --parent-pid $$ >\"$1\" 2>/dev/null & echo $!; i=0; "
                         "until grep -q '^listening' \"$1\" 2>/dev/null || [ $i -ge 100 ]; do sleep 0.05; i=$((i+1)); done",
                         vekdPath, out});
    QVERIFY(sh.waitForFinished(10000));
    bool ok = false;
    pid_t pid = pid_t(sh.readAllStandardOutput().trimmed().toLong(&ok));
    QVERIFY(ok && pid > 1);
    struct Reaper { // never leave it behind, whatever the outcome
        pid_t pid;
        ~Reaper() { if (alive(pid)) ::kill(pid, SIGKILL); }
    } reaper{pid};
    QFile listening(out);
    QVERIFY(listening.open(QIODevice::ReadOnly));
    QVERIFY2(listening.readAll().startsWith("listening "), "vekd did not come up while its parent lived");
    QTRY_VERIFY_WITH_TIMEOUT(!alive(pid), 5000);
}

QTEST_GUILESS_MAIN(TestPlatformRobustness)
#include "tst_platformrobustness.moc"
