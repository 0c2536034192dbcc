// Discovery, module selection and shutdown of the engine with the DAC module object against a crate
// service simulator of the test's own.
#include <QtTest>

#include "apptestutil.h"
#include "benchstatus.h"
#include "engine.h"
#include "enginetestutil.h"
#include "resources.h"
#include "vekdrunner.h"

using namespace apptest;

namespace {

int countOf(const QStringList& list, const QString& text)
{
    return int(std::count(list.begin(), list.end(), text));
}

const QString serviceDown = QStringLiteral("Нет связи со службой");

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
};

} // namespace

class TestEngineDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void builtInBench();
    void unopenableCrateFaultySlotAndTheLastSlot();
    void unknownModificationIsLetGo();
    void noCrates();
    void serviceDownThenBack();
    void droppedConnectionIsReopened();
    void useModuleAgainstTheBench();
    void stopClosesModuleAndService();
};

void TestEngineDiscovery::initTestCase()
{
    initStendixResources();
    installMessageCapture();
}

void TestEngineDiscovery::init()
{
    clearMessages();
}

void TestEngineDiscovery::builtInBench()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    RunningEngine t;
    QVERIFY(t.discover());
    QCOMPARE(t.ready.count(), 1);
    QCOMPARE(t.listed(), (QStringList{"4B210736[3:VEK72-1-8,7:VEK72-2-4]", "4B210751[]"}));
    for (const Engine::CrateModule& module : t.engine->crateList()[0].modules) {
        QCOMPARE(int(module.moduleType), 8995);
        QVERIFY(module.moduleSerial.isEmpty());
    }
    // Discovery leaves every module closed.
    const QJsonObject status = benchstatus::status(vekd);
    QVERIFY(!benchstatus::module(status, "4B210736", 3).value("opened").toBool(true));
    QVERIFY(!benchstatus::module(status, "4B210736", 7).value("opened").toBool(true));
    QVERIFY(criticals().isEmpty());
}

void TestEngineDiscovery::unopenableCrateFaultySlotAndTheLastSlot()
{
    VekdRunner vekd;
    QVERIFY(vekd.start(R"({"crates": [
        {"serial": "A", "refuseOpen": true, "slots": [{"slot": 2, "type": 8995}]},
        {"serial": "B", "slots": [{"slot": 1, "type": 4660},
                                  {"slot": 3, "type": 8995, "modification": 1, "channels": 8},
                                  {"slot": 5, "type": 8995, "faulty": true},
                                  {"slot": 7, "type": 8995, "modification": 2, "channels": 4},
                                  {"slot": 16, "type": 8995, "modification": 1, "channels": 2}]}]})"));
    RunningEngine t;
    QVERIFY(t.discover());
    QCOMPARE(t.listed(), (QStringList{"A[]", "B[3:VEK72-1-8,7:VEK72-2-4,16:VEK72-1-2]"}));
    // The refused crate is not reported; the faulty module is, by the module's own message. Every slot
    // up to the sixteenth is looked at.
    QCOMPARE(countOf(criticals(), serviceDown), 0);
    QVERIFY(!criticals().isEmpty());
}

// A module of an unknown kind before and after a good one: refused and let go, so that every usable
// module is probed and offered, and nothing selected before stays selected.
void TestEngineDiscovery::unknownModificationIsLetGo()
{
    VekdRunner vekd;
    QVERIFY(vekd.start(R"({"crates": [{"serial": "U", "slots": [
        {"slot": 3, "type": 8995, "modification": 5, "channels": 8},
        {"slot": 7, "type": 8995, "modification": 1, "channels": 4},
        {"slot": 9, "type": 8995, "modification": 9, "channels": 2}]}]})"));
    RunningEngine t;
    QVERIFY(t.discover());
    QVERIFY(t.engine->useModule(0, 0));
    QCOMPARE(t.engine->selectedModuleIndex(), 0);

    clearMessages();
    QVERIFY(t.discover());
    QCOMPARE(t.listed(), QStringList{"U[7:VEK72-1-4]"});
    QCOMPARE(criticals(), (QStringList{"Неизвестный тип модуля", "Неизвестный тип модуля"}));
    QCOMPARE(t.engine->selectedCrateIndex(), -1);
    QCOMPARE(t.engine->selectedModuleIndex(), -1);
    QJsonObject status = benchstatus::status(vekd);
    for (int slot : {3, 7, 9})
        QVERIFY2(!benchstatus::module(status, "U", slot).value("opened").toBool(true), qPrintable(QString::number(slot)));

    // The listed module is the one that opens, by the same indices.
    QVERIFY(t.engine->useModule(0, 0));
    QCOMPARE(t.engine->crateList()[0].modules[0].slotNumber, 7);
    status = benchstatus::status(vekd);
    QVERIFY(benchstatus::module(status, "U", 7).value("opened").toBool());
    QVERIFY(!benchstatus::module(status, "U", 3).value("opened").toBool(true));
}

void TestEngineDiscovery::noCrates()
{
    VekdRunner vekd;
    QVERIFY(vekd.start(R"({"crates": []})"));
    RunningEngine t;
    t.engine->crateList().append(Engine::Crate{QStringLiteral("old"), {}});
    QVERIFY(t.discover());
    QCOMPARE(t.ready.count(), 1);
    QVERIFY(t.engine->crateList().isEmpty());
    QVERIFY(criticals().isEmpty());
}

void TestEngineDiscovery::serviceDownThenBack()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    vekd.stop(); // the address stays, nobody listens there any more
    RunningEngine t;
    QVERIFY(!t.discover());
    QCOMPARE(criticals(), QStringList{serviceDown});
    QVERIFY(!t.discover());
    QCOMPARE(criticals(), (QStringList{serviceDown, serviceDown}));
    QCOMPARE(t.ready.count(), 0);

    // The service comes back (on another port): the next discovery connects.
    QVERIFY(vekd.start());
    clearMessages();
    QVERIFY(t.discover());
    QCOMPARE(t.listed(), (QStringList{"4B210736[3:VEK72-1-8,7:VEK72-2-4]", "4B210751[]"}));
    QVERIFY(criticals().isEmpty());
}

void TestEngineDiscovery::droppedConnectionIsReopened()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    RunningEngine t;
    QVERIFY(t.discover());
    QVERIFY(t.engine->useModule(0, 0));
    QVERIFY(vekd.vekctl({"fault", "drop"}) == 0);
    // The service connection has dropped: the next discovery opens it again without a message.
    QVERIFY(t.discover());
    QCOMPARE(t.listed(), (QStringList{"4B210736[3:VEK72-1-8,7:VEK72-2-4]", "4B210751[]"}));
    QCOMPARE(countOf(criticals(), serviceDown), 0);
}

void TestEngineDiscovery::useModuleAgainstTheBench()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    RunningEngine t;
    QVERIFY(t.discover());

    QVERIFY(t.engine->useModule(0, 0));
    QCOMPARE(t.engine->selectedCrateIndex(), 0);
    QCOMPARE(t.engine->selectedModuleIndex(), 0);
    QCOMPARE(t.engine->crateList()[0].modules[0].moduleSerial, QStringLiteral("72A10419"));
    QVERIFY(benchstatus::opened(vekd, "4B210736", 3));

    // Another slot: the first module is closed, the second opened and its serial recorded.
    QVERIFY(t.engine->useModule(0, 1));
    QCOMPARE(t.engine->selectedModuleIndex(), 1);
    QCOMPARE(t.engine->crateList()[0].modules[1].moduleSerial, QStringLiteral("72B20733"));
    QJsonObject status = benchstatus::status(vekd);
    QVERIFY(!benchstatus::module(status, "4B210736", 3).value("opened").toBool(true));
    QVERIFY(benchstatus::module(status, "4B210736", 7).value("opened").toBool());

    // A crate index past the list: the module that was current is closed first, then the index
    // check fails and clears the selection.
    QVERIFY(!t.engine->useModule(2, 0));
    QCOMPARE(t.engine->selectedCrateIndex(), -1);
    QCOMPARE(t.engine->selectedModuleIndex(), -1);
    QVERIFY(!benchstatus::opened(vekd, "4B210736", 7));
    QVERIFY(!t.engine->closeModule());

    // closeModule closes what is open, then has nothing left to close.
    QVERIFY(t.engine->useModule(0, 1));
    QVERIFY(t.engine->closeModule());
    QVERIFY(!benchstatus::opened(vekd, "4B210736", 7));
    QCOMPARE(t.engine->selectedCrateIndex(), -1);
    QVERIFY(!t.engine->closeModule());

    // A module whose open fails: false and no selection.
    QVERIFY(t.engine->useModule(0, 0));
    QVERIFY(t.engine->closeModule());
    QVERIFY(vekd.vekctl({"fault", "fail", "--crate", "4B210736", "--slot", "3", "--function", "VEK72_Open"}) == 0);
    QVERIFY(!t.engine->useModule(0, 0));
    QCOMPARE(t.engine->selectedCrateIndex(), -1);
    QVERIFY(!benchstatus::opened(vekd, "4B210736", 3));
}

void TestEngineDiscovery::stopClosesModuleAndService()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    const int baseline = benchstatus::connections(benchstatus::status(vekd));
    RunningEngine t;
    QVERIFY(t.discover());
    QVERIFY(t.engine->useModule(0, 0));
    QVERIFY(benchstatus::connections(benchstatus::status(vekd)) > baseline);

    Engine* engine = t.engine;
    EmissionProbe<bool> moduleThreadEnded(engine, &Engine::stopped,
                                          [engine] { return engine->moduleWorkerThread()->isFinished(); });
    QVERIFY(t.stop());
    QVERIFY(moduleThreadEnded.first(false));
    const QJsonObject status = benchstatus::status(vekd);
    const QJsonObject module = benchstatus::module(status, "4B210736", 3);
    QVERIFY(!module.value("opened").toBool(true));
    QVERIFY(benchstatus::outputsAtZero(module));
    // Every connection of the engine and the module is gone.
    QVERIFY(QTest::qWaitFor([&]() { return benchstatus::connections(benchstatus::status(vekd)) == baseline; }, 5000));
}

QTEST_MAIN(TestEngineDiscovery)
#include "tst_engine_discovery.moc"
