#ifndef ENGINETESTUTIL_H
#define ENGINETESTUTIL_H

// Helpers shared by the tests that drive the engine, directly or through the main window: crate
// records, a port where no crate service listens, and an engine on a thread of its own.

#include <QTcpServer>
#include <QTest>
#include <QThread>


#include "apptestutil.h"
#include "engine.h"

namespace apptest {

// A loopback port on which nothing listens (bound, then released).
inline quint16 deadPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

// A crate record as discovery makes it, with a module named "VEK72-1-8" in each of the given slots.
inline Engine::Crate crateOf(const QString& serial, const QList<int>& slotNumbers)
{
    Engine::Crate crate;
    crate.crateSerial = serial;
    for (int slot : slotNumbers) {
        Engine::CrateModule entry;
        entry.slotNumber = slot;
        entry.moduleType = 8995;
        entry.moduleName = QStringLiteral("VEK72-1-8");
        crate.modules.append(entry);
    }
    return crate;
}

// An engine (taken over) on a thread of its own, started as the main window starts it; stopped, unless
// the test did, and deleted at the end.
struct EngineOnThread
{
    Engine* const engine;
    QThread thread;
    SignalCounter ready{engine, &Engine::readyCrate};
    SignalCounter stopped{engine, &Engine::stopped};

    explicit EngineOnThread(Engine* engineObject) : engine(engineObject)
    {
        engine->moveToThread(&thread);
        thread.start();
        SignalCounter started(engine, &Engine::started);
        QMetaObject::invokeMethod(engine, "start", Qt::QueuedConnection);
        // The signal comes from the engine's thread, possibly before a wait could begin: count it.
        if (!QTest::qWaitFor([&]() { return started.count() > 0; }, 5000))
            qWarning("engine did not start");
    }
    ~EngineOnThread()
    {
        if (stopped.isEmpty())
            stop();
        thread.quit();
        if (!thread.wait(30000))
            qFatal("The engine thread did not end");
        delete engine;
    }
    EngineOnThread(const EngineOnThread&) = delete;
    EngineOnThread& operator=(const EngineOnThread&) = delete;

    // True once the engine has answered with stopped().
    bool stop()
    {
        QMetaObject::invokeMethod(engine, "stop", Qt::QueuedConnection);
        return QTest::qWaitFor([&]() { return stopped.count() > 0; }, 30000);
    }
    // One discovery, to its end whether or not it produced a list. True when a list came.
    bool discover()
    {
        const int before = ready.count();
        QMetaObject::invokeMethod(engine, "refreshHardware", Qt::QueuedConnection);
        if (!runQueuedCalls(engine, 60000))
            qWarning("discovery did not end");
        return ready.count() > before;
    }
};

} // namespace apptest

#endif
