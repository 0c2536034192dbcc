// Set and wait from the module thread onto GUI-thread widgets: the wait ends when the GUI thread
// has carried out the change, also for requests the widget cannot take exactly, and a caller on
// the widget's own thread acts directly instead of waiting for itself.
#include <QtTest>

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QSpinBox>
#include <QThread>

#include "threads.h"
#include "widgetsync.h"

class WidgetSyncTest : public QObject
{
    Q_OBJECT

private slots:
    void directOnTheWidgetsThread();
    void waitsUntilTheGuiThreadApplied();
    void clampedValueEndsTheWait();
    void roundedDoubleEndsTheWait();
    void otherStates();
    void boundedWhenTheGuiThreadIsBusy();
    void queryAndRunOn();
    void runOnReportsItsTimeOut();
};

void WidgetSyncTest::directOnTheWidgetsThread()
{
    QSpinBox box;
    box.setRange(0, 100);
    int changes = 0;
    connect(&box, QOverload<int>::of(&QSpinBox::valueChanged), [&] { ++changes; });
    // No event loop runs between the call and the checks: a queued request would not be done yet.
    QVERIFY(widgetsync::setValue(&box, 42));
    QCOMPARE(box.value(), 42);
    QCOMPARE(changes, 1);
    QVERIFY(!widgetsync::setValue(&box, 500));
    QCOMPARE(box.value(), 100);

    QCheckBox check;
    QVERIFY(widgetsync::set(&check, "setChecked", "bool", true));
    QVERIFY(check.isChecked());
    QVERIFY(!widgetsync::set(&check, "noSuchSlot", "bool", true));
    QVERIFY(!widgetsync::set<bool>(nullptr, "setChecked", "bool", true));
}

void WidgetSyncTest::waitsUntilTheGuiThreadApplied()
{
    QSpinBox box;
    box.setRange(0, 100);
    bool result = false;
    int seen = -1;
    runOnOtherThread([&] {
        result = widgetsync::setValue(&box, 42);
        seen = box.value();   // after the wait the change is visible to the caller
    });
    QVERIFY(result);
    QCOMPARE(seen, 42);

    QComboBox combo;
    combo.addItems({ "a", "b", "c" });
    runOnOtherThread([&] {
        result = widgetsync::setCurrentIndex(&combo, 2);
        seen = combo.currentIndex();
    });
    QVERIFY(result);
    QCOMPARE(seen, 2);
}

void WidgetSyncTest::clampedValueEndsTheWait()
{
    QSpinBox box;
    box.setRange(0, 99);
    bool result = true;
    // A wait for the requested value itself would never end; the wait is for the change.
    runOnOtherThread([&] { result = widgetsync::setValue(&box, 1000, 600000); });
    QVERIFY(!result);
    QCOMPARE(box.value(), 99);
}

void WidgetSyncTest::roundedDoubleEndsTheWait()
{
    QDoubleSpinBox box;
    box.setDecimals(2);
    box.setRange(0, 10);
    bool result = true;
    runOnOtherThread([&] { result = widgetsync::setValue(&box, 1.23456, 600000); });
    QVERIFY(!result);
    QCOMPARE(box.value(), 1.23);
    runOnOtherThread([&] { result = widgetsync::setValue(&box, 2.5, 600000); });
    QVERIFY(result);
}

void WidgetSyncTest::otherStates()
{
    QWidget parent;
    QGroupBox group(&parent);
    group.setCheckable(true);
    group.setChecked(false);
    QSpinBox inside(&group);
    bool checked = false, enabled = false, styled = false;
    runOnOtherThread([&] {
        checked = widgetsync::setChecked(&group, true);
        // The widget's own wish counts, whatever its parent's state.
        enabled = widgetsync::setEnabled(&inside, true);
        styled = widgetsync::setStyleSheet(&group, "QGroupBox { font-weight: bold; } ");
    });
    QVERIFY(checked);
    QVERIFY(group.isChecked());
    QVERIFY(enabled);
    QVERIFY(styled);
    QCOMPARE(group.styleSheet(), QString("QGroupBox { font-weight: bold; } "));

    parent.setEnabled(false);
    runOnOtherThread([&] { enabled = widgetsync::setEnabled(&inside, true); });
    QVERIFY(enabled);
    QVERIFY(!inside.isEnabled());
    QVERIFY(!widgetsync::setValue(static_cast<QSpinBox*>(nullptr), 1));
}

void WidgetSyncTest::boundedWhenTheGuiThreadIsBusy()
{
    QSpinBox box;
    box.setRange(0, 100);
    bool result = true;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("не применил изменение за 100 мс"));
    // This thread blocks in wait() and processes no events until the worker has given up.
    QThread* worker = QThread::create([&] { result = widgetsync::setValue(&box, 7, 100); });
    worker->start();
    QVERIFY(worker->wait(10000));
    delete worker;
    QVERIFY(!result);
    // The request stays queued and is carried out once the GUI thread runs again.
    QTRY_COMPARE(box.value(), 7);
}

void WidgetSyncTest::queryAndRunOn()
{
    QSpinBox box;
    box.setRange(0, 100);
    box.setValue(17);
    int read = 0;
    runOnOtherThread([&] {
        read = widgetsync::query<int>(&box, [&box] { return box.value(); }, -1);
    });
    QCOMPARE(read, 17);
    QCOMPARE(widgetsync::query<int>(nullptr, [] { return 1; }, -1), -1);

    bool ran = false;
    QVERIFY(widgetsync::runOn(&box, [&ran] { ran = true; }));
    QVERIFY(ran);   // directly, without an event loop
    QThread* runsOn = nullptr;
    bool ok = false;
    runOnOtherThread([&] {
        QThread** where = &runsOn;
        ok = widgetsync::runOn(&box, [where] { *where = QThread::currentThread(); });
    });
    QVERIFY(ok);
    QCOMPARE(runsOn, QThread::currentThread());
    QVERIFY(!widgetsync::runOn(nullptr, [] {}));
}

void WidgetSyncTest::runOnReportsItsTimeOut()
{
    QSpinBox box;
    bool result = true;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("не применил изменение за 100 мс"));
    // This thread blocks in wait(), so the work cannot run before the worker gives up.
    QThread* worker = QThread::create([&] { result = widgetsync::runOn(&box, [] {}, 100); });
    worker->start();
    QVERIFY(worker->wait(10000));
    delete worker;
    QVERIFY(!result);
}

QTEST_MAIN(WidgetSyncTest)
#include "tst_vek72_widgetsync.moc"
