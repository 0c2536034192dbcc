// Discovery and module opening through vekapi and vek72api against a vekd of the test's own.
#include "platformtest.h"
#include "vekdrunner.h"

#include "vek72api.h"
#include "vekapi.h"

#include <QtTest>

#include <cstring>
#include <unistd.h>

namespace {

QStringList crateList(TVEK* svc)
{
    char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE];
    std::memset(serials, 0, sizeof serials);
    if (VEK_GetCrates(svc, serials) != 0) return {"<error>"};
    QStringList out;
    for (auto& s : serials) out << QString::fromUtf8(s);
    while (!out.isEmpty() && out.last().isEmpty()) out.removeLast();
    return out;
}

QVector<int> slotTypes(const char* crate, int* openResult)
{
    TVEK h;
    VEK_Init(&h);
    *openResult = VEK_OpenCrate(&h, kLocal, kPort, 0, crate);
    QVector<int> out;
    if (*openResult == 0) {
        uint16_t ids[VEK_SLOT_COUNT];
        std::memset(ids, 0xFF, sizeof ids);
        if (VEK_GetCrateModules(&h, ids) == 0)
            for (uint16_t id : ids) out << id;
    }
    VEK_Close(&h);
    return out;
}

} // namespace

class TestPlatformDiscovery : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void builtInBench();
    void customCrateFile();
    void badCrateFileIsRefused_data();
    void badCrateFileIsRefused();
    void moduleInformationAfterOpen();
    void moduleOpenFailures();
    void oneClientPerModule();
    void droppedConnectionIsNoticed();
    void deadServiceGivesErrors();
};

void TestPlatformDiscovery::builtInBench()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    TVEK svc;
    QCOMPARE(VEK_Init(&svc), 0);
    QVERIFY(VEK_IsOpened(&svc) != 0);
    QCOMPARE(VEK_OpenSvcControl(&svc, kLocal, kPort), 0);
    QCOMPARE(VEK_IsOpened(&svc), 0);
    QCOMPARE(crateList(&svc), (QStringList{"4B210736", "4B210751"}));

    int rc = -1;
    QVector<int> a = slotTypes("4B210736", &rc);
    QCOMPARE(rc, 0);
    QVector<int> expectA(16, 0);
    expectA[0] = 4660;
    expectA[2] = VEK72_MODULE_TYPE;
    expectA[6] = VEK72_MODULE_TYPE;
    QCOMPARE(a, expectA);
    QVector<int> b = slotTypes("4B210751", &rc);
    QCOMPARE(rc, 0);
    QCOMPARE(b.count(0), 15);
    QVERIFY(!b.contains(VEK72_MODULE_TYPE));

    // a handle of the wrong kind
    uint16_t ids[VEK_SLOT_COUNT];
    QCOMPARE(VEK_GetCrateModules(&svc, ids), VEK_E_NOT_OPENED);
    QCOMPARE(VEK_Close(&svc), 0);
    QVERIFY(VEK_IsOpened(&svc) != 0);
    char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE];
    QCOMPARE(VEK_GetCrates(&svc, serials), VEK_E_NOT_OPENED);
    // the handle may be opened again
    QCOMPARE(VEK_OpenSvcControl(&svc, kLocal, kPort), 0);
    QCOMPARE(VEK_OpenSvcControl(&svc, kLocal, kPort), VEK_E_ALREADY_OPEN);
    VEK_Close(&svc);
}

void TestPlatformDiscovery::customCrateFile()
{
    VekdRunner vekd;
    QVERIFY(vekd.start(R"({"crates": [
        {"serial": "A", "refuseOpen": true, "slots": [{"slot": 2, "type": 8995}]},
        {"serial": "B", "slots": [{"slot": 1, "type": 17},
                                  {"slot": 3, "type": 8995, "modification": 3, "channels": 2},
                                  {"slot": 7, "type": 8995},
                                  {"slot": 16, "type": 65535}]},
        {"serial": "EMPTY"}]})"));
    TVEK svc;
    VEK_Init(&svc);
    QCOMPARE(VEK_OpenSvcControl(&svc, kLocal, kPort), 0);
    QCOMPARE(crateList(&svc), (QStringList{"A", "B", "EMPTY"}));
    // entries past the crates stay as the caller left them
    char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE];
    std::memset(serials, 'x', sizeof serials);
    QCOMPARE(VEK_GetCrates(&svc, serials), 0);
    QCOMPARE(serials[3][0], 'x');
    VEK_Close(&svc);

    int rc = 0;
    QVERIFY(slotTypes("A", &rc).isEmpty());
    QCOMPARE(rc, VEK_E_CRATE_REFUSED);
    QVector<int> b = slotTypes("B", &rc);
    QCOMPARE(rc, 0);
    QCOMPARE(b.size(), 16);
    QCOMPARE(b[0], 17);
    QCOMPARE(b[2], VEK72_MODULE_TYPE);
    QCOMPARE(b[6], VEK72_MODULE_TYPE);
    QCOMPARE(b[15], 65535);
    QCOMPARE(b.count(0), 12);
    QCOMPARE(slotTypes("EMPTY", &rc), QVector<int>(16, 0));
    slotTypes("NOSUCH", &rc);
    QCOMPARE(rc, VEK_E_NO_CRATE);

    TVEK h;
    VEK_Init(&h);
    QCOMPARE(VEK_OpenCrate(&h, kLocal, kPort, 1, "B"), VEK_E_ARGUMENT);
    QCOMPARE(VEK_OpenCrate(&h, kLocal, kPort, 0, nullptr), VEK_E_ARGUMENT);
    QCOMPARE(VEK_OpenCrate(&h, kLocal, kPort, 0, "0123456789ABCDEF"), VEK_E_ARGUMENT);
    TVEK raw;
    std::memset(&raw, 0, sizeof raw);
    QCOMPARE(VEK_OpenSvcControl(&raw, kLocal, kPort), VEK_E_HANDLE);
    QCOMPARE(VEK_OpenSvcControl(nullptr, kLocal, kPort), VEK_E_HANDLE);
}

void TestPlatformDiscovery::badCrateFileIsRefused_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("logged");
    QTest::newRow("slot out of range") << QByteArray(R"({"crates": [{"serial": "A", "slots": [{"slot": 17, "type": 8995}]}]})")
                                       << "\"slot\" must be an integer from 1 to 16";
    QTest::newRow("slot beyond int") << QByteArray(R"({"crates": [{"serial": "A", "slots": [{"slot": 1e300, "type": 8995}]}]})")
                                     << "\"slot\" must be an integer from 1 to 16";
    QTest::newRow("fractional type") << QByteArray(R"({"crates": [{"serial": "A", "slots": [{"slot": 2, "type": 8995.5}]}]})")
                                     << "\"type\" must be an integer from 1 to 65535";
    QTest::newRow("channels as text") << QByteArray(R"({"crates": [{"serial": "A", "slots": [{"slot": 2, "type": 8995, "channels": "8"}]}]})")
                                      << "\"channels\" must be an integer from 1 to 8";
    QTest::newRow("serial twice") << QByteArray(R"({"crates": [{"serial": "A"}, {"serial": "A"}]})")
                                  << "crates[1]: serial \"A\" appears twice";
}

void TestPlatformDiscovery::badCrateFileIsRefused()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, logged);
    VekdRunner vekd;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("VekdRunner: vekd did not report its address"));
    QVERIFY(!vekd.start(file));
    QVERIFY2(vekd.log().contains(logged.toUtf8()), vekd.log().constData());
    QVERIFY(!vekd.isRunning());
}

void TestPlatformDiscovery::moduleInformationAfterOpen()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    TVEK72 m;
    QCOMPARE(VEK72_Init(&m), 0);
    QVERIFY(VEK72_IsOpened(&m) != 0);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "4B210736", 3), 0);
    QCOMPARE(VEK72_IsOpened(&m), 0);
    QCOMPARE(QByteArray(m.info.serial), QByteArray("72A10419"));
    QCOMPARE(int(m.info.firmware), 214);
    QCOMPARE(int(m.info.modification), 1);
    QCOMPARE(int(m.info.dacChannelCount), 8);
    QCOMPARE(int(m.state.running), 0);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "4B210736", 3), VEK72_E_ALREADY_OPEN);

    TVEK72 n;
    VEK72_Init(&n);
    QCOMPARE(VEK72_Open(&n, kLocal, kPort, "4B210736", 7), 0);
    QCOMPARE(QByteArray(n.info.serial), QByteArray("72B20733"));
    QCOMPARE(int(n.info.modification), 2);
    QCOMPARE(int(n.info.dacChannelCount), 4);

    QByteArray status;
    QCOMPARE(vekd.vekctl({"status"}, &status), 0);
    QJsonDocument doc = QJsonDocument::fromJson(status);
    QJsonObject slot3 = doc["crates"][0]["slots"][2]["module"].toObject();
    QCOMPARE(slot3["opened"].toBool(), true);
    QCOMPARE(slot3["serial"].toString(), QString("72A10419"));

    QCOMPARE(VEK72_Close(&m), 0);
    QVERIFY(VEK72_IsOpened(&m) != 0);
    QCOMPARE(VEK72_Close(&m), VEK72_E_NOT_OPENED);
    QCOMPARE(VEK72_Close(&n), 0);
    QCOMPARE(vekd.vekctl({"status"}, &status), 0);
    doc = QJsonDocument::fromJson(status);
    QCOMPARE(doc["crates"][0]["slots"][2]["module"]["opened"].toBool(), false);
}

void TestPlatformDiscovery::moduleOpenFailures()
{
    VekdRunner vekd;
    QVERIFY(vekd.start(R"({"crates": [{"serial": "C", "slots": [
        {"slot": 1, "type": 4660}, {"slot": 5, "type": 8995, "faulty": true}, {"slot": 6, "type": 8995}]}]})"));
    TVEK72 m;
    VEK72_Init(&m);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "C", 1), VEK72_E_NO_MODULE);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "C", 2), VEK72_E_NO_MODULE);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "C", 5), VEK72_E_HARDWARE);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "X", 6), VEK72_E_NO_CRATE);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "C", 0), VEK72_E_ARGUMENT);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "C", 17), VEK72_E_ARGUMENT);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, nullptr, 6), VEK72_E_ARGUMENT);
    QVERIFY(VEK72_IsOpened(&m) != 0);
    // defaults of a VEK72 entry without details
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "C", 6), 0);
    QCOMPARE(int(m.info.modification), 1);
    QCOMPARE(int(m.info.dacChannelCount), 8);
    QCOMPARE(QByteArray(m.info.serial), QByteArray("C-6"));
    VEK72_Close(&m);
    TVEK72 raw;
    std::memset(&raw, 0, sizeof raw);
    QCOMPARE(VEK72_Open(&raw, kLocal, kPort, "C", 6), VEK72_E_HANDLE);
    QCOMPARE(VEK72_Open(nullptr, kLocal, kPort, "C", 6), VEK72_E_HANDLE);
}

void TestPlatformDiscovery::oneClientPerModule()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    TVEK72 a, b;
    VEK72_Init(&a);
    VEK72_Init(&b);
    QCOMPARE(VEK72_Open(&a, kLocal, kPort, "4B210736", 3), 0);
    QCOMPARE(VEK72_Open(&b, kLocal, kPort, "4B210736", 3), VEK72_E_BUSY);
    QVERIFY(VEK72_IsOpened(&b) != 0);
    QCOMPARE(VEK72_Open(&b, kLocal, kPort, "4B210736", 7), 0); // another module is free
    VEK72_Close(&b);
    QCOMPARE(VEK72_Close(&a), 0);
    QCOMPARE(VEK72_Open(&b, kLocal, kPort, "4B210736", 3), 0);
    // a client that vanishes without closing releases its module
    ::close(b.socket);
    b.socket = -1;
    // (the service notices the vanished client a moment later)
    int rc = openWhenReleased(&a, "4B210736", 3);
    QCOMPARE(rc, 0);
    VEK72_Close(&a);
}

void TestPlatformDiscovery::droppedConnectionIsNoticed()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    ServiceAndModule c;
    QVERIFY(c.open());
    QByteArray out;
    QCOMPARE(vekd.vekctl({"fault", "drop"}, &out), 0);
    QVERIFY(out.contains("dropping 2 connection(s)"));
    QTRY_VERIFY(VEK_IsOpened(&c.svc) != 0);
    QTRY_VERIFY(VEK72_IsOpened(&c.m) != 0);
    // the service restarts on another port; the libraries follow VEK_SERVICE at the next connect
    vekd.stop();
    QVERIFY(vekd.start());
    QCOMPARE(VEK_OpenSvcControl(&c.svc, kLocal, kPort), 0);
    QCOMPARE(crateList(&c.svc).size(), 2);
    QCOMPARE(VEK72_Open(&c.m, kLocal, kPort, "4B210736", 3), 0);
}

void TestPlatformDiscovery::deadServiceGivesErrors()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    ServiceAndModule c;
    QVERIFY(c.open());
    vekd.stop();
    QElapsedTimer t;
    t.start();
    char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE];
    int rc = VEK_GetCrates(&c.svc, serials);
    QVERIFY2(rc == VEK_E_CONNECTION || rc == VEK_E_TIMEOUT, qPrintable(QString::number(rc)));
    QVERIFY(VEK_IsOpened(&c.svc) != 0);
    QCOMPARE(VEK_OpenSvcControl(&c.svc, kLocal, kPort), VEK_E_CONNECTION);
    QCOMPARE(VEK72_Configure(&c.m), VEK72_E_NOT_OPENED); // the library noticed the drop
    QCOMPARE(VEK72_Open(&c.m, kLocal, kPort, "4B210736", 3), VEK72_E_CONNECTION);
    QVERIFY(t.elapsed() < VEK_TIMEOUT_MS);
    QCOMPARE(QByteArray(VEK72_GetErrorString(VEK72_E_CONNECTION)),
             QByteArray("\xCD\xE5\xF2 \xF1\xE2\xFF\xE7\xE8 \xF1\xEE \xF1\xEB\xF3\xE6\xE1\xEE\xE9 \xEA\xF0\xE5\xE9\xF2\xEE\xE2"));
}

QTEST_GUILESS_MAIN(TestPlatformDiscovery)
#include "tst_platformdiscovery.moc"
