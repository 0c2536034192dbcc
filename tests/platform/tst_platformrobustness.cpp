// vekd under bad input and load: malformed, truncated, oversized and random frames close only the
// offending client; claimed sizes are not allocated; many clients at once; a hung service gives
// time-outs; a client vanishing in the middle of a waiting send frees its module; vekd leaves with
// its parent.
#include "platformtest.h"
#include "vekdrunner.h"

#include "client.h"
#include "vek72api.h"
#include "vekapi.h"
#include "wire.h"

#include <QtTest>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <functional>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
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
    QByteArray out;
    if (vekd.vekctl({"status"}, &out) != 0) return -1;
    return QJsonDocument::fromJson(out)["service"].toObject()["connections"].toInt(-1);
}

// A module client that stays open through a test and must keep working.
struct Witness {
    TVEK72 h;
    bool open()
    {
        VEK72_Init(&h);
        return VEK72_Open(&h, kLocal, kPort, "4B210736", 3) == 0;
    }
    int configure()
    {
        for (auto& c : h.config.channel) c = TVEK72_CHANNEL{0, 0, 0, 0};
        h.config.channel[0].enabled = 1;
        h.config.outputMode = 0;
        h.config.dacEnable = 1;
        VEK72_FillOutFreq(&h.config, 48000, nullptr);
        return VEK72_Configure(&h);
    }
    ~Witness() { VEK72_Close(&h); }
};

// A crate service of the test's own on a loopback port (VEK_SERVICE points at it while it lives): it
// answers each request of its one client with answer(opcode, requestId), then waits for the client
// to close.
class ScriptedService {
public:
    using Answer = std::function<QByteArray(uint16_t opcode, uint32_t requestId)>;
    explicit ScriptedService(Answer answer) : answer_(std::move(answer))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0
            || ::listen(listener_, 1) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            qFatal("ScriptedService: no listening socket");
        previous_ = qgetenv("VEK_SERVICE");
        qputenv("VEK_SERVICE", QByteArray("127.0.0.1:") + QByteArray::number(ntohs(a.sin_port)));
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedService()
    {
        ::shutdown(listener_, SHUT_RDWR); // ends an accept that never got its client
        const int client = client_.load();
        if (client >= 0) ::shutdown(client, SHUT_RDWR); // and a client the test left open
        thread_.join();
        ::close(listener_);
        qputenv("VEK_SERVICE", previous_);
    }

private:
    void serve()
    {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        client_ = fd;
        uint8_t raw[kHeaderSize];
        while (::recv(fd, raw, kHeaderSize, MSG_WAITALL) == ssize_t(kHeaderSize)) {
            const FrameHeader h = decodeHeader(raw);
            std::vector<char> payload(h.length);
            if (h.length && ::recv(fd, payload.data(), h.length, MSG_WAITALL) != ssize_t(h.length)) break;
            const QByteArray out = answer_(h.opcode, h.requestId);
            if (::send(fd, out.constData(), size_t(out.size()), MSG_NOSIGNAL) != ssize_t(out.size())) break;
        }
        client_ = -1;
        ::close(fd);
    }

    Answer answer_;
    int listener_ = -1;
    std::atomic<int> client_{-1};
    QByteArray previous_;
    std::thread thread_;
};

} // namespace

class TestPlatformRobustness : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void badFramesCloseOnlyThatClient_data();
    void badFramesCloseOnlyThatClient();
    void randomFrames();
    void claimedSizesAreNotAllocated();
    void manyClientsAtOnce();
    void clientVanishesDuringWaitingSend();
    void hungServiceTimesOut();
    void answersLongerThanTheRequestAllows_data();
    void answersLongerThanTheRequestAllows();
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
    QTest::newRow("oversized small") << frame(OpPing, {}, 1u << 30) << false << "payload of 1073741824 bytes";
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
    Witness w;
    QVERIFY(w.open());

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
    QCOMPARE(w.configure(), 0);
    QTRY_COMPARE(connections(vekd), 2);
}

void TestPlatformRobustness::randomFrames()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    Witness w;
    QVERIFY(w.open());
    QRandomGenerator rng(20240607);
    std::vector<QTcpSocket*> sockets;
    for (int i = 0; i < 60; ++i) {
        QByteArray junk(int(rng.bounded(1, 4000)), Qt::Uninitialized);
        for (char& c : junk) c = char(rng.bounded(256));
        if (i % 3 == 1) junk.replace(0, 4, QByteArray("VEKP", 4)); // a plausible start
        auto* s = new QTcpSocket;
        s->connectToHost("127.0.0.1", vekd.port());
        QVERIFY(s->waitForConnected(5000));
        s->write(junk);
        s->flush();
        sockets.push_back(s);
    }
    // every one of them ends up closed, by the service or (for a frame still waiting for its
    // payload) when the client gives up, with one log line each
    for (QTcpSocket* s : sockets) {
        s->disconnectFromHost();
        delete s;
    }
    QTRY_COMPARE(connections(vekd), 2);
    QVERIFY(vekd.isRunning());
    QCOMPARE(w.configure(), 0);
    QByteArray log = vekd.log();
    QCOMPARE(log.count("malformed frame") + log.count("truncated frame"), 60);
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
            TVEK svc;
            VEK_Init(&svc);
            if (VEK_OpenSvcControl(&svc, kLocal, kPort) != 0) {
                ++failures;
                return;
            }
            for (int i = 0; i < 20; ++i) {
                char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE] = {};
                if (VEK_GetCrates(&svc, serials) != 0 || QByteArray(serials[1]) != "4B210751") ++failures;
                TVEK crate;
                VEK_Init(&crate);
                uint16_t ids[VEK_SLOT_COUNT] = {};
                if (VEK_OpenCrate(&crate, kLocal, kPort, 0, "4B210736") != 0 || VEK_GetCrateModules(&crate, ids) != 0
                    || ids[6] != VEK72_MODULE_TYPE)
                    ++failures;
                VEK_Close(&crate);
            }
            VEK_Close(&svc);
        });
    }
    for (int slot : {3, 7}) {
        threads.emplace_back([&failures, slot]() {
            TVEK72 m;
            VEK72_Init(&m);
            if (VEK72_Open(&m, kLocal, kPort, "4B210736", uint16_t(slot)) != 0) {
                ++failures;
                return;
            }
            for (int i = 0; i < 20; ++i) {
                m.config.channel[0] = TVEK72_CHANNEL{1, 0, 0, 0};
                m.config.outputMode = 0;
                m.config.dacEnable = 1;
                VEK72_FillOutFreq(&m.config, 192000, nullptr);
                std::vector<double> samples(4096, 1.0);
                std::vector<uint32_t> words(4096);
                if (VEK72_Configure(&m) != 0
                    || VEK72_PrepareDacData(&m, samples.data(), 4096, 1, words.data(), nullptr) != 0
                    || VEK72_Send(&m, words.data(), 4096, 1000) != 4096 || VEK72_SwitchCyclePage(&m, 0, 1000) != 0
                    || VEK72_Stop(&m, 0) != 0)
                    ++failures;
            }
            VEK72_Close(&m);
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
    Endpoint ep;
    QVERIFY(parseEndpoint(vekd.address().toStdString(), ep));
    int fd = connectTo(ep, deadlineIn(5000), nullptr);
    QVERIFY(fd >= 0);
    std::vector<uint8_t> reply;
    Writer open;
    open.str("4B210736");
    open.u16(3);
    QVERIFY(exchange(fd, OpModOpen, 1, open.data(), nullptr, 0, deadlineIn(5000), reply) == Io::Ok);
    QCOMPARE(replyStatus(reply), 0);
    ModuleConfig c;
    c.enabled[0] = 1;
    c.outputMode = 1;
    c.dacRateHz = 48000;
    Writer conf;
    writeConfig(conf, c);
    QVERIFY(exchange(fd, OpModConfigure, 2, conf.data(), nullptr, 0, deadlineIn(5000), reply) == Io::Ok);
    QCOMPARE(replyStatus(reply), 0);
    std::vector<uint32_t> words(kMaxSendWords, 0xA5008000u);
    Writer send;
    send.u32(1000);
    send.u32(kMaxSendWords);
    QVERIFY(exchange(fd, OpModSend, 3, send.data(), words.data(), words.size() * 4, deadlineIn(10000), reply) == Io::Ok);
    QCOMPARE(replyStatus(reply), int(kMaxSendWords));
    // the FIFO is full and output is not running: this send would wait ten seconds
    Writer more;
    more.u32(10000);
    more.u32(1000);
    QByteArray f = frame(OpModSend, bytes(more) + QByteArray(4000, '\0'));
    QCOMPARE(::send(fd, f.constData(), size_t(f.size()), MSG_NOSIGNAL), ssize_t(f.size()));
    auto waiting = [&vekd]() {
        QByteArray out;
        vekd.vekctl({"status"}, &out);
        return QJsonDocument::fromJson(out)["crates"][0]["slots"][2]["module"].toObject()["sendWaiting"].toBool();
    };
    QTRY_VERIFY(waiting());
    closeSocket(fd);
    // the module is free again well before the send's time-out
    TVEK72 m;
    VEK72_Init(&m);
    QCOMPARE(openWhenReleased(&m, "4B210736", 3), 0);
    VEK72_Close(&m);
    QVERIFY(vekd.log().contains("releasing module 4B210736/3"));
}

void TestPlatformRobustness::hungServiceTimesOut()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    ServiceAndModule c;
    QVERIFY(c.open());
    QCOMPARE(::kill(pid_t(vekd.pid()), SIGSTOP), 0);
    QElapsedTimer t;
    t.start();
    char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE] = {};
    QCOMPARE(VEK_GetCrates(&c.svc, serials), VEK_E_TIMEOUT);
    qint64 vekTime = t.restart();
    QCOMPARE(VEK72_Stop(&c.m, 0), VEK72_E_TIMEOUT);
    qint64 vek72Time = t.elapsed();
    ::kill(pid_t(vekd.pid()), SIGCONT);
    QVERIFY2(vekTime >= VEK_TIMEOUT_MS - 50 && vekTime < VEK_TIMEOUT_MS + 2000, qPrintable(QString::number(vekTime)));
    QVERIFY2(vek72Time >= VEK72_TIMEOUT_MS - 50 && vek72Time < VEK72_TIMEOUT_MS + 2000, qPrintable(QString::number(vek72Time)));
    // a timed-out connection is given up; the service answers again afterwards
    QVERIFY(VEK_IsOpened(&c.svc) != 0);
    QVERIFY(VEK72_IsOpened(&c.m) != 0);
    QCOMPARE(VEK_OpenSvcControl(&c.svc, kLocal, kPort), 0);
    QCOMPARE(VEK_GetCrates(&c.svc, serials), 0);
    QCOMPARE(openWhenReleased(&c.m, "4B210736", 3), 0);
}

void TestPlatformRobustness::answersLongerThanTheRequestAllows_data()
{
    QTest::addColumn<int>("call");
    QTest::addColumn<quint32>("claimed"); // 0: one byte more than the answer may carry, all of it sent
    enum { OpenService, Crates, OpenCrate, ModuleTypes, OpenModule, Configure, Send };
    QTest::newRow("service open") << int(OpenService) << 0u;
    QTest::newRow("crate list") << int(Crates) << 0u;
    QTest::newRow("crate open") << int(OpenCrate) << 0u;
    QTest::newRow("module types") << int(ModuleTypes) << 0u;
    QTest::newRow("module open") << int(OpenModule) << 0u;
    QTest::newRow("configure") << int(Configure) << 0u;
    QTest::newRow("send") << int(Send) << 0u;
    QTest::newRow("crate list claiming 4 GiB") << int(Crates) << 0xFFFFFFFFu;
    QTest::newRow("module open claiming 4 GiB") << int(OpenModule) << 0xFFFFFFFFu;
}

// The service answers the call under test with more than its request allows (every earlier request
// of the call properly): the call fails with the protocol error and gives the connection up, having
// read no more than the header. The address space is limited meanwhile, so an answer stored at the
// size its header claims would end the test.
void TestPlatformRobustness::answersLongerThanTheRequestAllows()
{
    QFETCH(int, call);
    QFETCH(quint32, claimed);
    enum { OpenService, Crates, OpenCrate, ModuleTypes, OpenModule, Configure, Send };
    const uint16_t tested[] = {OpSvcOpen, OpGetCrates, OpOpenCrate, OpGetCrateModules, OpModOpen, OpModConfigure, OpModSend};
    ScriptedService service([&](uint16_t opcode, uint32_t id) {
        const uint32_t limit = maxReplyPayload(opcode);
        FrameHeader h;
        h.opcode = uint16_t(opcode | kReplyBit);
        h.requestId = id;
        if (opcode != tested[call]) { // a proper answer: status 0 and zeros
            h.length = opcode == OpGetCrates ? 8 : limit;
            uint8_t raw[kHeaderSize];
            encodeHeader(h, raw);
            return QByteArray(reinterpret_cast<const char*>(raw), kHeaderSize) + QByteArray(int(h.length), '\0');
        }
        h.length = claimed ? claimed : limit + 1;
        uint8_t raw[kHeaderSize];
        encodeHeader(h, raw);
        return QByteArray(reinterpret_cast<const char*>(raw), kHeaderSize) + QByteArray(claimed ? 4 : int(h.length), '\0');
    });
    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_AS, &saved), 0);
    QFile status("/proc/self/status");
    QVERIFY(status.open(QIODevice::ReadOnly));
    const QByteArray vm = status.readAll();
    const long long vmKiB = vm.mid(vm.indexOf("VmSize:") + 7).trimmed().split(' ').first().toLongLong();
    QVERIFY(vmKiB > 0);
    rlimit limited = saved;
    limited.rlim_cur = rlim_t(vmKiB + 256 * 1024) * 1024; // room for a call, not for a 4 GiB answer
    QCOMPARE(setrlimit(RLIMIT_AS, &limited), 0);
    int rc = 0, protocolError = VEK_E_PROTOCOL, opened = 0;
    TVEK svc;
    VEK_Init(&svc);
    TVEK72 m;
    VEK72_Init(&m);
    char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE];
    uint16_t ids[VEK_SLOT_COUNT];
    const uint32_t words[2] = {};
    switch (call) {
    case OpenService: rc = VEK_OpenSvcControl(&svc, kLocal, kPort); break;
    case Crates:
        rc = VEK_OpenSvcControl(&svc, kLocal, kPort);
        if (rc == 0) rc = VEK_GetCrates(&svc, serials);
        break;
    case OpenCrate: rc = VEK_OpenCrate(&svc, kLocal, kPort, 0, "4B210736"); break;
    case ModuleTypes:
        rc = VEK_OpenCrate(&svc, kLocal, kPort, 0, "4B210736");
        if (rc == 0) rc = VEK_GetCrateModules(&svc, ids);
        break;
    default:
        protocolError = VEK72_E_PROTOCOL;
        rc = VEK72_Open(&m, kLocal, kPort, "4B210736", 3);
        if (call == Configure && rc == 0) rc = VEK72_Configure(&m);
        if (call == Send && rc == 0) rc = VEK72_Send(&m, words, 2, 0);
        opened = VEK72_IsOpened(&m) == 0;
        break;
    }
    if (call < OpenModule) opened = VEK_IsOpened(&svc) == 0;
    QCOMPARE(setrlimit(RLIMIT_AS, &saved), 0);
    QCOMPARE(rc, protocolError);
    QVERIFY(!opened);
    VEK72_Close(&m);
    VEK_Close(&svc);
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
