// Discovery and the service connection of the engine with the DAC module object, against a crate
// service simulator of the test's own. Selecting modules and the engine's shutdown against the
// simulator are tested through the main window (tests/mainwindow).
#include <QtTest>

#include "benchstatus.h"
#include "enginetestutil.h"
#include "resources.h"
#include "vekdrunner.h"

using namespace apptest;

namespace {

const QString serviceDown = QStringLiteral("Нет связи со службой");
const QStringList builtInBench{"4B210736[3:VEK72-1-8,7:VEK72-2-4]", "4B210751[]"};

// The engine with the DAC module on a thread of its own, as the main window runs it.
struct RunningEngine : EngineOnThread
{
    RunningEngine() : EngineOnThread(new Engine) {}

    // The crates found, as "serial[slot:name,...]".
    QStringList listed() const
    {
        QStringList result;
        for (const Engine::Crate& crate : engine->crateList()) {
            QStringList slotTexts;
            for (const Engine::CrateModule& module : crate.modules)
                slotTexts.append(QStringLiteral("%1:%2").arg(module.slotNumber).arg(module.moduleName));
            result.append(crate.crateSerial + QLatin1Char('[') + slotTexts.join(QLatin1Char(',')) + QLatin1Char(']'));
        }
        return result;
    }

    // Makes the first module listed current; its slot number, 0 when none is listed or it failed.
    int useFirstListed()
    {
        const QList<Engine::Crate>& crates = engine->crateList();
        for (int i = 0; i < crates.size(); ++i) {
            if (!crates[i].modules.isEmpty())
                return engine->useModule(i, 0) ? crates[i].modules[0].slotNumber : 0;
        }
        return 0;
    }
};

// "crate:slot" of every module the simulator holds open.
QStringList openedModules(VekdRunner& vekd)
{
    QStringList result;
    for (const QJsonValue& crate : benchstatus::status(vekd).value(QStringLiteral("crates")).toArray()) {
        for (const QJsonValue& entry : crate.toObject().value(QStringLiteral("slots")).toArray()) {
            if (entry.toObject().value(QStringLiteral("module")).toObject().value(QStringLiteral("opened")).toBool())
                result.append(crate.toObject().value(QStringLiteral("serial")).toString() + QLatin1Char(':')
                              + QString::number(entry.toObject().value(QStringLiteral("slot")).toInt()));
        }
    }
    return result;
}

} // namespace

class TestEngineDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { clearMessages(); }

    void discovery_data();
    void discovery();
    void serviceDownThenBack();
    void droppedConnectionIsReopened();
};

void TestEngineDiscovery::initTestCase()
{
    initStendixResources();
    installMessageCapture();
}

void TestEngineDiscovery::discovery_data()
{
    QTest::addColumn<QByteArray>("config");   // empty: the simulator's built-in bench
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<QStringList>("messages"); // the critical messages of a discovery
    QTest::addColumn<int>("firstSlot");        // slot of the first module listed, 0 when none

    QTest::newRow("built-in bench") << QByteArray() << builtInBench << QStringList() << 3;
    // A crate that refuses to be opened is listed without modules and not reported; a module of
    // another kind is passed over; a faulty module is not listed and reported by the module; every
    // slot up to the sixteenth is looked at.
    QTest::newRow("refused crate, other kind, faulty module, slot 16") << QByteArray(R"({"crates": [
        {"serial": "A", "refuseOpen": true, "slots": [{"slot": 2, "type": 8995}]},
        {"serial": "B", "slots": [{"slot": 1, "type": 4660},
                                  {"slot": 3, "type": 8995, "modification": 1, "channels": 8},
                                  {"slot": 5, "type": 8995, "faulty": true},
                                  {"slot": 7, "type": 8995, "modification": 2, "channels": 4},
                                  {"slot": 16, "type": 8995, "modification": 1, "channels": 2}]}]})")
        << QStringList{"A[]", "B[3:VEK72-1-8,7:VEK72-2-4,16:VEK72-1-2]"} << QStringList{"Не удалось установить связь с модулем. Ошибка -116 (Аппаратная ошибка модуля)"} << 3;
    // Modules of an unknown modification before and after a good one are refused and let go, so
    // that every usable module is probed.
    QTest::newRow("unknown modifications") << QByteArray(R"({"crates": [{"serial": "U", "slots": [
        {"slot": 3, "type": 8995, "modification": 5, "channels": 8},
        {"slot": 7, "type": 8995, "modification": 1, "channels": 4},
        {"slot": 9, "type": 8995, "modification": 9, "channels": 2}]}]})")
        << QStringList{"U[7:VEK72-1-4]"} << QStringList{"Неизвестный тип модуля", "Неизвестный тип модуля"} << 7;
    QTest::newRow("no crates") << QByteArray(R"({"crates": []})") << QStringList() << QStringList() << 0;
}

void TestEngineDiscovery::discovery()
{
    QFETCH(QByteArray, config);
    QFETCH(QStringList, listed);
    QFETCH(QStringList, messages);
    VekdRunner vekd;
    QVERIFY(vekd.start(config));
    RunningEngine t;
    QVERIFY(t.discover());
    QCOMPARE(t.listed(), listed);
    QCOMPARE(criticals(), messages);

    QFETCH(int, firstSlot);
    QCOMPARE(t.useFirstListed(), firstSlot);
    // The next discovery replaces the list, and lets go of the module made current meanwhile.
    t.engine->crateList().append(crateOf(QStringLiteral("old"), {1}));
    QVERIFY(t.discover());
    QCOMPARE(t.ready.count(), 2);
    QCOMPARE(t.listed(), listed);
    QCOMPARE(t.engine->selectedCrateIndex(), -1);
    // Discovery leaves every module closed.
    QCOMPARE(openedModules(vekd), QStringList());
}

void TestEngineDiscovery::serviceDownThenBack()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    vekd.stop(); // the address stays, nobody listens there any more
    RunningEngine t;
    QVERIFY(!t.discover());
    QVERIFY(!t.discover());
    const QString named = serviceDown + ' ' + vekd.address();
    QCOMPARE(criticals(), (QStringList{named, named}));

    // The service comes back (on another port): the next discovery connects.
    QVERIFY(vekd.start());
    clearMessages();
    QVERIFY(t.discover());
    QCOMPARE(t.listed(), builtInBench);
    QCOMPARE(criticals(), QStringList());
}

void TestEngineDiscovery::droppedConnectionIsReopened()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    RunningEngine t;
    QVERIFY(t.discover());
    QVERIFY(t.engine->useModule(0, 0));
    QCOMPARE(vekd.vekctl({"fault", "drop"}), 0);
    // The next discovery opens the service connection again without a message.
    QVERIFY(t.discover());
    QCOMPARE(t.listed(), builtInBench);
    QCOMPARE(criticals(), QStringList());
}

QTEST_MAIN(TestEngineDiscovery)
#include "tst_engine_discovery.moc"
