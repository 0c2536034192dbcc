// The engine's use of the module interface, its lifecycle on its threads and emulator mode, with a
// recording module object in place of the DAC module. No crate service is involved: where the
// engine might contact one, VEK_SERVICE points at a listener of the test that counts connections,
// or at a port where nothing listens.
#include <QtTest>

#include <QMetaType>
#include <QTcpServer>

#include "apptestutil.h"
#include "engine.h"
#include "enginetestutil.h"
#include "fakemodule.h"

using namespace apptest;

namespace {

// The engine with a recording module object, on a thread of its own as the main window runs it.
struct ThreadedEngine : EngineOnThread
{
    FakeModule* const module;

    ThreadedEngine() : ThreadedEngine(new FakeModule) {}

private:
    explicit ThreadedEngine(FakeModule* moduleObject) : EngineOnThread(new Engine(moduleObject)), module(moduleObject) {}
};

} // namespace

class TestEngineLogic : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void constructionStartsModuleThread();
    void emulatorDiscoveryNeverTouchesService();
    void emulatorUseModuleTakesAnyIndices();
    void useModuleRejectsIndicesOutsideTheList();
    void useModuleOpensRecordsAndStarts();
    void useModuleOpenFailureClearsSelection();
    void useModuleSameModuleAgain();
    void useModuleSwitchStopsAndClosesFirst();
    void useModuleStopOrCloseFailure_data();
    void useModuleStopOrCloseFailure();
    void closeModuleResults_data();
    void closeModuleResults();
    void stopShutsDownInOrder();
    void stopInEmulatorModeLeavesModuleAlone();
    void serviceDownReleasesModuleAndReportsOnce();
    void crateListReachesAnotherThreadAsCopy();
    void displayPeriodBecomesModuleParameter();
    void destroyedWithoutStop();

private:
    QTcpServer counter;
    int connections = 0;
};

void TestEngineLogic::initTestCase()
{
    installMessageCapture();
    QVERIFY(counter.listen(QHostAddress::LocalHost, 0));
    connect(&counter, &QTcpServer::newConnection, this, [this]() {
        while (QTcpSocket* socket = counter.nextPendingConnection()) {
            ++connections;
            socket->close();
            socket->deleteLater();
        }
    });
}

void TestEngineLogic::init()
{
    connections = 0;
    clearMessages();
    qputenv("VEK_SERVICE", QByteArray("127.0.0.1:") + QByteArray::number(deadPort()));
}

void TestEngineLogic::cleanup()
{
    qunsetenv("VEK_SERVICE");
}

void TestEngineLogic::constructionStartsModuleThread()
{
    ThreadedEngine t;
    QVERIFY(t.engine->moduleWorkerThread()->isRunning());
    QCOMPARE(t.module->thread(), t.engine->moduleWorkerThread());
    QCOMPARE(t.engine->selectedCrateIndex(), -1);
    QCOMPARE(t.engine->selectedModuleIndex(), -1);
    QVERIFY(t.engine->crateList().isEmpty());
    QVERIFY(QMetaType::type("QList<Engine::Crate>&") != QMetaType::UnknownType);
    QVERIFY(QMetaType::type("ModuleUsage") != QMetaType::UnknownType);
    // The engine's thread is where the slots run.
    QCOMPARE(t.engine->thread(), &t.thread);
}

void TestEngineLogic::emulatorDiscoveryNeverTouchesService()
{
    qputenv("VEK_SERVICE", QByteArray("127.0.0.1:") + QByteArray::number(counter.serverPort()));
    ThreadedEngine t;
    t.engine->setEmulator(true);
    // A module left open from elsewhere must not be touched in emulator mode either.
    t.module->setState(true, true);
    t.module->clearCalls();

    QVERIFY(t.discover());
    QVERIFY(t.discover());
    QCOMPARE(t.ready.count(), 2);
    const QList<Engine::Crate>& crates = t.engine->crateList();
    QCOMPARE(crates.size(), 1);
    QCOMPARE(crates[0].crateSerial, QStringLiteral("2D355915"));
    QCOMPARE(crates[0].modules.size(), 1);
    QCOMPARE(crates[0].modules[0].slotNumber, 1);
    QCOMPARE(int(crates[0].modules[0].moduleType), 8995);
    QCOMPARE(crates[0].modules[0].moduleName, QStringLiteral("VEK72"));
    QVERIFY(crates[0].modules[0].moduleSerial.isEmpty());
    // Only the identity of the module was asked for.
    for (const QString& call : t.module->calls())
        QVERIFY2(call == QLatin1String("moduleId") || call == QLatin1String("name(false)"), qPrintable(call));

    t.module->clearCalls();
    QVERIFY(t.engine->useModule(0, 0));
    QVERIFY(t.stop());
    QVERIFY(t.module->calls().isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(connections, 0);
    QVERIFY(criticals().isEmpty());
}

void TestEngineLogic::emulatorUseModuleTakesAnyIndices()
{
    ThreadedEngine t;
    t.engine->setEmulator(true);
    t.module->clearCalls();
    QVERIFY(t.engine->crateList().isEmpty());
    QVERIFY(t.engine->useModule(5, 9));
    QCOMPARE(t.engine->selectedCrateIndex(), 5);
    QCOMPARE(t.engine->selectedModuleIndex(), 9);
    QVERIFY(t.module->calls().isEmpty());
    // The module is never open, so there is nothing to close and the selection stays.
    QVERIFY(!t.engine->closeModule());
    QCOMPARE(t.engine->selectedCrateIndex(), 5);
}

void TestEngineLogic::useModuleRejectsIndicesOutsideTheList()
{
    ThreadedEngine t;
    t.engine->crateList() = {crateOf(QStringLiteral("A"), {3, 7}), crateOf(QStringLiteral("B"), {})};
    t.module->clearCalls();

    QVERIFY(!t.engine->useModule(2, 0)); // crate index equal to the number of crates
    QCOMPARE(t.engine->selectedCrateIndex(), -1);
    QCOMPARE(t.engine->selectedModuleIndex(), -1);
    QVERIFY(!t.engine->useModule(0, 2)); // module index equal to the number of modules
    QVERIFY(!t.engine->useModule(1, 0)); // crate without modules
    QVERIFY(!t.engine->useModule(-1, 0));
    QVERIFY(!t.engine->useModule(0, -1));
    QCOMPARE(t.engine->selectedCrateIndex(), -1);
    QCOMPARE(t.engine->selectedModuleIndex(), -1);
    QVERIFY(!t.module->calls().join(',').contains(QLatin1String("open")));
}

void TestEngineLogic::useModuleOpensRecordsAndStarts()
{
    ThreadedEngine t;
    t.engine->crateList() = {crateOf(QStringLiteral("A"), {}), crateOf(QStringLiteral("B"), {3, 7})};
    t.module->clearCalls();

    QVERIFY(t.engine->useModule(1, 1));
    QCOMPARE(t.module->calls(),
             (QStringList{"isOpened", "open(B,7)", "serial", "start(false)"}));
    QCOMPARE(t.engine->selectedCrateIndex(), 1);
    QCOMPARE(t.engine->selectedModuleIndex(), 1);
    QCOMPARE(t.engine->crateList()[1].modules[1].moduleSerial, QStringLiteral("SN-0042"));
    QVERIFY(t.engine->crateList()[1].modules[0].moduleSerial.isEmpty());
    // Called on the caller's thread, not queued.
    QCOMPARE(t.module->lastCallThread(), QThread::currentThread());

    // The result is that of start(false); the selection is recorded all the same.
    t.module->setState(false, false);
    t.module->startResult = false;
    QVERIFY(!t.engine->useModule(1, 0));
    QCOMPARE(t.engine->selectedCrateIndex(), 1);
    QCOMPARE(t.engine->selectedModuleIndex(), 0);
}

void TestEngineLogic::useModuleOpenFailureClearsSelection()
{
    ThreadedEngine t;
    t.engine->crateList() = {crateOf(QStringLiteral("A"), {3})};
    t.module->setState(false, false);
    QVERIFY(t.engine->useModule(0, 0));
    t.module->setState(false, false);
    t.module->openResult = false;
    t.module->clearCalls();
    QVERIFY(!t.engine->useModule(0, 0));
    QCOMPARE(t.module->calls(), (QStringList{"isOpened", "open(A,3)"}));
    QCOMPARE(t.engine->selectedCrateIndex(), -1);
    QCOMPARE(t.engine->selectedModuleIndex(), -1);
}

void TestEngineLogic::useModuleSameModuleAgain()
{
    ThreadedEngine t;
    t.engine->crateList() = {crateOf(QStringLiteral("A"), {3, 7})};
    QVERIFY(t.engine->useModule(0, 1));

    // Open but stopped: only started again.
    t.module->setState(true, false);
    t.module->clearCalls();
    QVERIFY(t.engine->useModule(0, 1));
    QCOMPARE(t.module->calls(), (QStringList{"isOpened", "isRunning", "start(false)"}));
    QCOMPARE(t.engine->selectedModuleIndex(), 1);
}

void TestEngineLogic::useModuleSwitchStopsAndClosesFirst()
{
    ThreadedEngine t;
    t.engine->crateList() = {crateOf(QStringLiteral("A"), {3, 7})};
    QVERIFY(t.engine->useModule(0, 0));
    QVERIFY(t.module->running());
    t.module->clearCalls();

    QVERIFY(t.engine->useModule(0, 1));
    QCOMPARE(t.module->calls(),
             (QStringList{"isOpened", "isRunning", "stop", "close", "open(A,7)", "serial", "start(false)"}));
    QCOMPARE(t.engine->selectedModuleIndex(), 1);
    QCOMPARE(t.engine->crateList()[0].modules[1].moduleSerial, QStringLiteral("SN-0042"));
}

void TestEngineLogic::useModuleStopOrCloseFailure_data()
{
    QTest::addColumn<bool>("stopFails");
    QTest::addColumn<QStringList>("expectedCalls");
    QTest::newRow("stop fails") << true << QStringList{"isOpened", "isRunning", "stop"};
    QTest::newRow("close fails") << false << QStringList{"isOpened", "isRunning", "stop", "close"};
}

void TestEngineLogic::useModuleStopOrCloseFailure()
{
    QFETCH(bool, stopFails);
    QFETCH(QStringList, expectedCalls);
    ThreadedEngine t;
    t.engine->crateList() = {crateOf(QStringLiteral("A"), {3, 7})};
    QVERIFY(t.engine->useModule(0, 0));
    t.module->stopResult = !stopFails;
    t.module->closeResult = stopFails;
    t.module->clearCalls();

    QVERIFY(!t.engine->useModule(0, 1));
    QCOMPARE(t.module->calls(), expectedCalls);
    // The module stays open in the hardware, but the engine no longer calls it current.
    QVERIFY(t.module->opened());
    QCOMPARE(t.engine->selectedCrateIndex(), -1);
    QCOMPARE(t.engine->selectedModuleIndex(), -1);
}

void TestEngineLogic::closeModuleResults_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("stopOk");
    QTest::addColumn<bool>("closeOk");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("expectedCalls");
    QTest::newRow("not open") << false << false << true << true << false << QStringList{"isOpened"};
    QTest::newRow("open, stopped") << true << false << true << true << true
                                   << QStringList{"isOpened", "isRunning", "close"};
    QTest::newRow("running") << true << true << true << true << true
                             << QStringList{"isOpened", "isRunning", "stop", "close"};
    QTest::newRow("stop fails") << true << true << false << true << false
                                << QStringList{"isOpened", "isRunning", "stop"};
    QTest::newRow("close fails") << true << false << true << false << false
                                 << QStringList{"isOpened", "isRunning", "close"};
}

void TestEngineLogic::closeModuleResults()
{
    QFETCH(bool, open);
    QFETCH(bool, running);
    QFETCH(bool, stopOk);
    QFETCH(bool, closeOk);
    QFETCH(bool, result);
    QFETCH(QStringList, expectedCalls);
    ThreadedEngine t;
    t.engine->crateList() = {crateOf(QStringLiteral("A"), {3, 7})};
    QVERIFY(t.engine->useModule(0, 1));
    t.module->setState(open, running);
    t.module->stopResult = stopOk;
    t.module->closeResult = closeOk;
    t.module->clearCalls();

    QCOMPARE(t.engine->closeModule(), result);
    QCOMPARE(t.module->calls(), expectedCalls);
    QCOMPARE(t.engine->selectedCrateIndex(), result ? -1 : 0);
    QCOMPARE(t.engine->selectedModuleIndex(), result ? -1 : 1);
}

void TestEngineLogic::stopShutsDownInOrder()
{
    ThreadedEngine t;
    t.engine->crateList() = {crateOf(QStringLiteral("A"), {3})};
    QVERIFY(t.engine->useModule(0, 0));
    QVERIFY(t.module->running());
    t.module->watchedThread = t.engine->moduleWorkerThread();
    // Even failures of the module do not keep the engine from stopping.
    t.module->stopResult = false;
    t.module->closeResult = false;
    t.module->clearCalls();

    Engine* engine = t.engine;
    EmissionProbe<QPair<bool, QThread*>> atStopped(engine, &Engine::stopped, [engine] {
        return qMakePair(engine->moduleWorkerThread()->isFinished(), QThread::currentThread());
    });
    QVERIFY(t.stop());
    QCOMPARE(t.module->calls(), (QStringList{"isOpened", "isRunning", "stop", "close"}));
    // The module was closed while its thread still ran; the thread had ended when stopped() came.
    QVERIFY(t.module->watchedRunningAtClose);
    QCOMPARE(atStopped.first({}), qMakePair(true, static_cast<QThread*>(&t.thread)));
    QCOMPARE(t.module->lastCallThread(), &t.thread);
}

void TestEngineLogic::stopInEmulatorModeLeavesModuleAlone()
{
    ThreadedEngine t;
    t.engine->setEmulator(true);
    t.module->setState(true, true);
    t.module->clearCalls();
    QVERIFY(t.stop());
    QVERIFY(t.module->calls().isEmpty());
    QVERIFY(t.engine->moduleWorkerThread()->isFinished());
}

void TestEngineLogic::serviceDownReleasesModuleAndReportsOnce()
{
    ThreadedEngine t;
    t.engine->crateList() = {crateOf(QStringLiteral("A"), {3})};
    QVERIFY(t.engine->useModule(0, 0));
    t.module->clearCalls();

    QVERIFY(!t.discover());
    QCOMPARE(t.ready.count(), 0);
    QCOMPARE(criticals(), QStringList{QStringLiteral("Нет связи со службой")});
    // The module was released first; the previous list is kept.
    QCOMPARE(t.module->calls(), (QStringList{"isOpened", "isRunning", "stop", "close"}));
    QCOMPARE(t.engine->crateList().size(), 1);
    QCOMPARE(t.engine->crateList()[0].crateSerial, QStringLiteral("A"));
}

void TestEngineLogic::crateListReachesAnotherThreadAsCopy()
{
    ThreadedEngine t;
    t.engine->setEmulator(true);
    QList<Engine::Crate> received;
    const QList<Engine::Crate>* receivedAddress = nullptr;
    QObject receiver; // lives on this thread: the delivery is queued
    connect(t.engine, &Engine::readyCrate, &receiver, [&](QList<Engine::Crate>& list) {
        received = list;
        receivedAddress = &list;
    });
    QMetaObject::invokeMethod(t.engine, "refreshHardware", Qt::QueuedConnection);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, 5000);
    QCOMPARE(received[0].crateSerial, QStringLiteral("2D355915"));
    QVERIFY(receivedAddress != &t.engine->crateList());
}

void TestEngineLogic::displayPeriodBecomesModuleParameter()
{
    ThreadedEngine t;
    t.module->clearCalls();
    t.engine->setDisplayPeriod(50);
    QCOMPARE(t.module->calls(), QStringList{QStringLiteral("setParameter(Период отображения,50)")});
}

void TestEngineLogic::destroyedWithoutStop()
{
    bool destroyed = false;
    auto* module = new FakeModule(&destroyed);
    {
        Engine engine(module);
        QVERIFY(engine.moduleWorkerThread()->isRunning());
    }
    QVERIFY(destroyed);
}

QTEST_MAIN(TestEngineLogic)
#include "tst_engine_logic.moc"
