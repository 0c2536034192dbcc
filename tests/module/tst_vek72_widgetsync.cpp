// Work for GUI-thread objects from other threads: run and waited for, a value read, directly on the
// object's own thread (a queued call to yourself while you wait for it would never run), and a
// bounded wait that reports its time-out when the GUI thread is busy.
#include <QtTest>

#include <QSpinBox>
#include <QThread>

#include "threads.h"
#include "widgetsync.h"

class WidgetSyncTest : public QObject
{
    Q_OBJECT

private slots:
    void runOnAndQuery();
    void timeOutReported_data();
    void timeOutReported();
};

void WidgetSyncTest::runOnAndQuery()
{
    QSpinBox box;
    box.setRange(0, 100);
    box.setValue(17);

    // On the object's own thread: at once, without an event loop.
    bool ran = false;
    QVERIFY(widgetsync::runOn(&box, [&ran] { ran = true; }));
    QVERIFY(ran);
    QCOMPARE(widgetsync::query<int>(&box, [&box] { return box.value(); }, -1), 17);

    // From another thread: on the object's thread, and the caller sees the result after the wait.
    QThread* runsOn = nullptr;
    bool ok = false;
    int read = 0;
    int seen = 0;
    runOnOtherThread([&] {
        QThread** where = &runsOn;
        QSpinBox* target = &box;
        ok = widgetsync::runOn(&box, [where, target] {
            *where = QThread::currentThread();
            target->setValue(42);
        });
        read = widgetsync::query<int>(&box, [target] { return target->value(); }, -1);
        seen = box.value();
    });
    QVERIFY(ok);
    QCOMPARE(runsOn, QThread::currentThread());
    QCOMPARE(read, 42);
    QCOMPARE(seen, 42);

    QVERIFY(!widgetsync::runOn(nullptr, [] {}));
    QCOMPARE(widgetsync::query<int>(nullptr, [] { return 1; }, -1), -1);
}

void WidgetSyncTest::timeOutReported_data()
{
    QTest::addColumn<bool>("query");
    QTest::newRow("runOn") << false;
    QTest::newRow("query") << true;
}

// The GUI thread blocks in wait() and serves nothing until the worker has given up: the wait ends
// after its bound with failure, and the work still runs once the GUI thread runs again.
void WidgetSyncTest::timeOutReported()
{
    QFETCH(bool, query);
    QSpinBox box;
    box.setRange(0, 100);
    bool result = true;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("не применил изменение за 100 мс"));
    QSpinBox* target = &box;
    QThread* worker = QThread::create([&] {
        if (query)
            result = widgetsync::query<int>(target, [target] { target->setValue(7); return 1; }, 0, 100) == 1;
        else
            result = widgetsync::runOn(target, [target] { target->setValue(7); }, 100);
    });
    worker->start();
    QVERIFY(worker->wait(10000));
    delete worker;
    QVERIFY(!result);
    QTRY_COMPARE(box.value(), 7);
}

QTEST_MAIN(WidgetSyncTest)
#include "tst_vek72_widgetsync.moc"
