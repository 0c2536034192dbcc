// Discovery and module opening through vekapi and vek72api against a vekd of the test's own.
#include "platformtest.h"
#include "vekdrunner.h"

#include <QtTest>

#include <cstring>
#include <unistd.h>

namespace {

QStringList crateList(TVEK* svc)
{
    char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE] = {};
    if (VEK_GetCrates(svc, serials) != 0) return {"<error>"};
    QStringList out;
    for (auto& s : serials) out << QString::fromUtf8(s);
    while (!out.isEmpty() && out.last().isEmpty()) out.removeLast();
    return out;
}

// The module types of a crate's 16 slots; empty when the crate cannot be opened (why in openResult).
QVector<int> slotTypes(const char* crate, int* openResult = nullptr)
{
    TVEK h;
    VEK_Init(&h);
    int rc = VEK_OpenCrate(&h, kLocal, kPort, 0, crate);
    if (openResult) *openResult = rc;
    QVector<int> out;
    uint16_t ids[VEK_SLOT_COUNT];
    if (rc == 0 && VEK_GetCrateModules(&h, ids) == 0)
        for (uint16_t id : ids) out << id;
    VEK_Close(&h);
    return out;
}

// Slot types from the occupied slots (1-based).
QVector<int> types(const QMap<int, int>& occupied)
{
    QVector<int> out(16, 0);
    for (auto it = occupied.begin(); it != occupied.end(); ++it) out[it.key() - 1] = it.value();
    return out;
}

} // namespace

class TestPlatformDiscovery : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void crateFile();
    void badCrateFileIsRefused_data();
    void badCrateFileIsRefused();
    void oneClientPerModule();
};

// Discovery and module opening of a crate file: a refusing crate, the sixteenth slot, the identity of
// a VEK72 and its defaults, a faulty module, the states of the handles and the arguments the
// libraries refuse themselves.
void TestPlatformDiscovery::crateFile()
{
    VekdRunner vekd;
    QVERIFY(vekd.start(R"({"crates": [
        {"serial": "A", "refuseOpen": true, "slots": [{"slot": 2, "type": 8995}]},
        {"serial": "B", "slots": [{"slot": 16, "type": 8995, "modification": 3, "channels": 2, "serial": "S16", "firmware": 215},
            {"slot": 1, "type": 65535}, {"slot": 5, "type": 8995, "faulty": true}, {"slot": 6, "type": 8995}]},
        {"serial": "EMPTY"}]})"));
    ServiceControl svc;
    QVERIFY(VEK_IsOpened(&svc.h) != 0);
    QCOMPARE(svc.open(), 0);
    QCOMPARE(VEK_IsOpened(&svc.h), 0);
    QCOMPARE(svc.open(), VEK_E_ALREADY_OPEN);
    QCOMPARE(crateList(&svc.h), (QStringList{"A", "B", "EMPTY"}));
    // entries past the crates stay as the caller left them
    char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE];
    std::memset(serials, 'x', sizeof serials);
    QCOMPARE(VEK_GetCrates(&svc.h, serials), 0);
    QCOMPARE(serials[3][0], 'x');
    // a handle of the wrong kind, then a closed one that may be opened again
    uint16_t ids[VEK_SLOT_COUNT];
    QCOMPARE(VEK_GetCrateModules(&svc.h, ids), VEK_E_NOT_OPENED);
    QCOMPARE(VEK_Close(&svc.h), 0);
    QVERIFY(VEK_IsOpened(&svc.h) != 0);
    QCOMPARE(VEK_GetCrates(&svc.h, serials), VEK_E_NOT_OPENED);
    QCOMPARE(svc.open(), 0);

    int rc = 0;
    QVERIFY(slotTypes("A", &rc).isEmpty());
    QCOMPARE(rc, VEK_E_CRATE_REFUSED);
    QCOMPARE(slotTypes("B"), types({{1, 65535}, {5, VEK72_MODULE_TYPE}, {6, VEK72_MODULE_TYPE}, {16, VEK72_MODULE_TYPE}}));
    QCOMPARE(slotTypes("EMPTY"), QVector<int>(16, 0));
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

    TVEK72 m;
    VEK72_Init(&m);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "B", 1), VEK72_E_NO_MODULE); // another module type
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "B", 2), VEK72_E_NO_MODULE); // an empty slot
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "B", 5), VEK72_E_HARDWARE);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "X", 6), VEK72_E_NO_CRATE);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "B", 0), VEK72_E_ARGUMENT);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "B", 17), VEK72_E_ARGUMENT);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, nullptr, 6), VEK72_E_ARGUMENT);
    QCOMPARE(VEK72_Open(nullptr, kLocal, kPort, "B", 6), VEK72_E_HANDLE);
    QVERIFY(VEK72_IsOpened(&m) != 0);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "B", 6), 0);
    QCOMPARE(QByteArray(m.info.serial), QByteArray("B-6"));
    QCOMPARE(int(m.info.modification), 1);
    QCOMPARE(int(m.info.dacChannelCount), 8);
    VEK72_Close(&m);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "B", 16), 0);
    QCOMPARE(QByteArray(m.info.serial), QByteArray("S16"));
    QCOMPARE(int(m.info.firmware), 215);
    QCOMPARE(int(m.info.modification), 3);
    QCOMPARE(int(m.info.dacChannelCount), 2);
    QCOMPARE(VEK72_Open(&m, kLocal, kPort, "B", 16), VEK72_E_ALREADY_OPEN);
    QCOMPARE(VEK72_Close(&m), 0);
    QCOMPARE(VEK72_Close(&m), VEK72_E_NOT_OPENED);
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

void TestPlatformDiscovery::oneClientPerModule()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    Module a, b;
    QVERIFY(VEK72_IsOpened(&a.h) != 0);
    QCOMPARE(a.open(3), 0);
    QCOMPARE(VEK72_IsOpened(&a.h), 0);
    QVERIFY(benchstatus::opened(vekd, kCrate, 3));
    QCOMPARE(b.open(3), VEK72_E_BUSY);
    QVERIFY(VEK72_IsOpened(&b.h) != 0);
    QCOMPARE(b.open(7), 0); // another module is free
    VEK72_Close(&b.h);
    QCOMPARE(VEK72_Close(&a.h), 0);
    QVERIFY(VEK72_IsOpened(&a.h) != 0);
    QVERIFY(!benchstatus::opened(vekd, kCrate, 3));
    QCOMPARE(b.open(3), 0);
    // a client that vanishes without closing releases its module (the service notices a moment later)
    ::close(b.h.socket);
    b.h.socket = -1;
    QCOMPARE(openWhenReleased(&a.h, kCrate, 3), 0);
}

QTEST_GUILESS_MAIN(TestPlatformDiscovery)
#include "tst_platformdiscovery.moc"
