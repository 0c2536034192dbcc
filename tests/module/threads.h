// Threads as the program has them: the module object on a thread of its own, and callers on other
// threads (the engine's) while the test's thread, the GUI thread, keeps processing events.
#ifndef VEK72_TESTS_THREADS_H
#define VEK72_TESTS_THREADS_H

#include <QObject>
#include <QTest>
#include <QThread>

#include <functional>

#include "apptestutil.h"

// Runs `work` on a thread of its own while this thread keeps processing events, so that the work's
// queued requests to this thread's objects are served. The work refers to the caller's locals and
// must not outlive the call: a worker still running after timeoutMs ends the test run.
inline void runOnOtherThread(std::function<void()> work, int timeoutMs = 30000)
{
    QThread* thread = QThread::create(std::move(work));
    thread->start();
    if (!QTest::qWaitFor([thread] { return thread->isFinished(); }, timeoutMs))
        qFatal("A worker thread did not end within %d ms", timeoutMs);
    thread->wait(timeoutMs);   // already finished: returns at once
    delete thread;
}

// The module object on a thread of its own, as the engine keeps it. The thread ends when the test
// leaves the scope, also after a failed check; declare it after the module, which must outlive it.
class ModuleThread
{
public:
    explicit ModuleThread(QObject* module)
    {
        module->moveToThread(&thread);
        thread.start();
    }
    ~ModuleThread()
    {
        if (!stop())
            qFatal("The module thread did not end");
    }
    bool stop()
    {
        thread.quit();
        return thread.wait(10000);
    }

private:
    QThread thread;
};

#endif
