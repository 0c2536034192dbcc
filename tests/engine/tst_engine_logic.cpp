// The engine's decisions around the module object, with a module that answers as told in place of
// the DAC module: which module is made current or let go, and what the selection says afterwards;
// a discovery that cannot reach the service; the order of shutdown. No crate service listens
// (VEK_SERVICE points at a port where nothing does).
#include <QtTest>

#include "enginetestutil.h"
#include "fakemodule.h"

using namespace apptest;

namespace {

// The engine with a fake module on a thread of its own, as the main window runs it, listing crate
// "A" without modules and crate "B" with modules in slots 3 and 7.
struct ThreadedEngine : EngineOnThread
{
    FakeModule* const module;

    ThreadedEngine() : ThreadedEngine(new FakeModule) {}
    QPoint selection() const { return {engine->selectedCrateIndex(), engine->selectedModuleIndex()}; }

private:
    explicit ThreadedEngine(FakeModule* moduleObject) : EngineOnThread(new Engine(moduleObject)), module(moduleObject)
    {
        engine->crateList() = {crateOf(QStringLiteral("A"), {}), crateOf(QStringLiteral("B"), {3, 7})};
    }
};

const QPoint noSelection(-1, -1);

} // namespace

class TestEngineLogic : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { installMessageCapture(); }
    void init();
    void useAndCloseModule_data();
    void useAndCloseModule();
    void serviceDownReleasesModuleAndKeepsList();
    void stopClosesModuleBeforeItsThreadEnds();
};

void TestEngineLogic::init()
{
    clearMessages();
    qputenv("VEK_SERVICE", QByteArray("127.0.0.1:") + QByteArray::number(deadPort()));
}

void TestEngineLogic::useAndCloseModule_data()
{
    // current: before the action, nothing open ("none"), or B's slot 3 made current and then
    // "running", "stopped" or "closed" (closed behind the engine's back).
    QTest::addColumn<QString>("current");
    QTest::addColumn<QStringList>("failing");
    QTest::addColumn<QString>("action");   // "use CRATE MODULE" or "close"
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QPoint>("selection");

    const QStringList ok;
    QTest::newRow("opens, starts") << "none" << ok << "use 1 1" << true << QStringList{"open(B,7)", "start"} << QPoint(1, 1);
    QTest::newRow("start fails") << "none" << QStringList{"start"} << "use 1 1" << false << QStringList{"open(B,7)", "start"} << QPoint(1, 1);
    QTest::newRow("crate past the list") << "none" << ok << "use 2 0" << false << QStringList{} << noSelection;
    QTest::newRow("module past the list") << "none" << ok << "use 1 2" << false << QStringList{} << noSelection;
    QTest::newRow("crate without modules") << "none" << ok << "use 0 0" << false << QStringList{} << noSelection;
    QTest::newRow("negative index") << "none" << ok << "use -1 0" << false << QStringList{} << noSelection;
    QTest::newRow("open fails") << "none" << QStringList{"open"} << "use 1 0" << false << QStringList{"open(B,3)"} << noSelection;
    QTest::newRow("same, stopped: started again") << "stopped" << ok << "use 1 0" << true << QStringList{"start"} << QPoint(1, 0);
    QTest::newRow("another: stopped and closed first") << "running" << ok << "use 1 1" << true
                                                      << QStringList{"stop", "close", "open(B,7)", "start"} << QPoint(1, 1);
    QTest::newRow("another, stop fails") << "running" << QStringList{"stop"} << "use 1 1" << false << QStringList{"stop"} << noSelection;
    QTest::newRow("another, close fails") << "running" << QStringList{"close"} << "use 1 1" << false
                                          << QStringList{"stop", "close"} << noSelection;
    QTest::newRow("close running") << "running" << ok << "close" << true << QStringList{"stop", "close"} << noSelection;
    QTest::newRow("close, stop fails") << "running" << QStringList{"stop"} << "close" << false << QStringList{"stop"} << QPoint(1, 0);
    QTest::newRow("close, close fails") << "stopped" << QStringList{"close"} << "close" << false << QStringList{"close"} << QPoint(1, 0);
    QTest::newRow("close, nothing open") << "closed" << ok << "close" << false << QStringList{} << QPoint(1, 0);
}

void TestEngineLogic::useAndCloseModule()
{
    QFETCH(QString, current);
    QFETCH(QStringList, failing);
    QFETCH(QString, action);
    QFETCH(bool, result);
    QFETCH(QStringList, calls);
    QFETCH(QPoint, selection);

    ThreadedEngine t;
    if (current != QLatin1String("none")) {
        QVERIFY(t.engine->useModule(1, 0));
        t.module->running = current == QLatin1String("running");
        t.module->opened = current != QLatin1String("closed");
    }
    t.module->failing = failing;
    t.module->clearCalls();

    const QStringList words = action.split(QLatin1Char(' '));
    if (words[0] == QLatin1String("use")) {
        QCOMPARE(t.engine->useModule(words[1].toInt(), words[2].toInt()), result);
    } else {
        QCOMPARE(t.engine->closeModule(), result);
    }
    QCOMPARE(t.module->calls(), calls);
    QCOMPARE(t.selection(), selection);
    // A module that was opened has its serial recorded in its entry.
    if (calls.contains(QStringLiteral("open(B,7)")) && !failing.contains(QStringLiteral("open")))
        QCOMPARE(t.engine->crateList()[1].modules[1].moduleSerial, QStringLiteral("SN-0042"));
}

void TestEngineLogic::serviceDownReleasesModuleAndKeepsList()
{
    ThreadedEngine t;
    QVERIFY(t.engine->useModule(1, 0));
    t.module->clearCalls();

    QVERIFY(!t.discover());
    QCOMPARE(criticals(), QStringList{"Нет связи со службой " + qEnvironmentVariable("VEK_SERVICE")});
    QCOMPARE(t.module->calls(), (QStringList{"stop", "close"}));
    QCOMPARE(t.selection(), noSelection);
    QCOMPARE(t.engine->crateList().size(), 2);
}

void TestEngineLogic::stopClosesModuleBeforeItsThreadEnds()
{
    ThreadedEngine t;
    QCOMPARE(t.module->thread(), t.engine->moduleWorkerThread());
    QVERIFY(t.engine->useModule(1, 0));
    // Failures of the module do not keep the engine from stopping.
    t.module->failing = QStringList{"stop", "close"};
    t.module->clearCalls();

    Engine* engine = t.engine;
    EmissionProbe<bool> threadEnded(engine, &Engine::stopped, [engine] { return engine->moduleWorkerThread()->isFinished(); });
    QVERIFY(t.stop());
    QCOMPARE(t.module->calls(), (QStringList{"stop", "close"}));
    QVERIFY(t.module->threadRanAtClose);
    QVERIFY(threadEnded.first(false));
}

QTEST_MAIN(TestEngineLogic)
#include "tst_engine_logic.moc"
