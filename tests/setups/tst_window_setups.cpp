// The window's side of setups against a crate service simulator: the panels closed with are back
// when the program starts again in the same working directory, stopped (and not with
// RestoreLastSetup=false); each module's panels back when it is chosen again; the title names the
// setup and shows "*" while the panels differ from it; the last setups opened or saved.
#include <QtTest>

#include <QAction>
#include <QGroupBox>
#include <QMenu>

#include "benchstatus.h"
#include "modulevek72.h"
#include "resources.h"
#include "setupscontroller.h"
#include "vekdrunner.h"
#include "windowtestutil.h"

using namespace apptest;
using namespace windowtest;

namespace {

const QString crateA = QStringLiteral("4B210736");

// The panels of a window, as the operator works them.
struct Panels
{
    MainWindow& window;
    QWidget* controls = child<QWidget>(&window, "widgetModuleControls");
    QWidget* settings = child<QWidget>(&window, "widgetModuleSettings");

    template <typename T>
    T* channel(const char* prefix, int n) const
    {
        return child<T>(controls, QStringLiteral("%1Ch%2").arg(QLatin1String(prefix)).arg(n).toLatin1().constData());
    }
    QGroupBox* group(int n) const { return channel<QGroupBox>("groupBox", n); }
    QComboBox* type(int n) const { return channel<QComboBox>("comboBoxVoltageType", n); }
    QSpinBox* voltage(int n) const { return channel<QSpinBox>("spinBoxVoltage", n); }
    QComboBox* mode() const { return child<QComboBox>(settings, "comboBoxMode"); }
    QAbstractButton* startStop() const { return child<QAbstractButton>(settings, "pushButtonStartStop"); }

    // Lets the module thread run what the changes queued to it (and what that queued in turn).
    bool settle() const
    {
        QObject* module = window.engineObject()->moduleObject();
        for (int round = 0; round < 3; ++round) {
            if (!runQueuedCalls(module, 10000))
                return false;
        }
        return true;
    }
    void type(QAbstractSpinBox* field, const QString& text) const
    {
        field->setFocus(Qt::OtherFocusReason);
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(field, text);
    }
    void choose(QComboBox* combo, const QString& text) const { combo->setCurrentIndex(combo->findText(text)); }
};

QJsonObject moduleOf(VekdRunner& vekd, int slot)
{
    return benchstatus::module(benchstatus::status(vekd), crateA, slot);
}

} // namespace

class WindowSetupsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void lastSetupBackAtStart_data();
    void lastSetupBackAtStart();
    void eachModuleKeepsItsPanelsAndTheTitleFollows();
};

void WindowSetupsTest::initTestCase()
{
    initStendixResources();
    installMessageCapture();
}

void WindowSetupsTest::lastSetupBackAtStart_data()
{
    QTest::addColumn<bool>("restore");
    QTest::newRow("RestoreLastSetup missing: true") << true;
    QTest::newRow("RestoreLastSetup=false") << false;
}

void WindowSetupsTest::lastSetupBackAtStart()
{
    QFETCH(bool, restore);
    VekdRunner vekd;
    QVERIFY(vekd.start());
    WorkingDirectory cwd;
    if (!restore)
        QSettings(cwd.iniPath(), QSettings::IniFormat).setValue("VEK72/RestoreLastSetup", false);
    const QString last = cwd.path() + "/setups/last-4B210736-3.vek72";
    {
        MainWindow window;
        window.show();
        QVERIFY(settled(window));
        Panels p{ window };
        p.group(2)->setChecked(true);
        QVERIFY(p.settle());
        p.choose(p.type(2), "DC");
        QVERIFY(p.settle());
        p.choose(p.channel<QComboBox>("comboBoxRange", 2), "10 В");
        QVERIFY(p.settle());
        p.type(p.voltage(2), "-1234");
        p.choose(p.mode(), "Потоковый");
        QVERIFY(p.settle());
        p.startStop()->click();
        QVERIFY(QTest::qWaitFor([&] { return moduleOf(vekd, 3).value("running").toBool(); }, 20000));
        QVERIFY(window.close());
        QVERIFY(!moduleOf(vekd, 3).value("opened").toBool(true));
    }
    QCOMPARE(QFileInfo::exists(last), restore);

    MainWindow window;
    window.show();
    QVERIFY(settled(window));
    Panels p{ window };
    QVERIFY(p.settle());
    QCOMPARE(p.group(2)->isChecked(), restore);
    QCOMPARE(p.type(2)->currentText(), QString(restore ? "DC" : "AC"));
    QCOMPARE(p.voltage(2)->value(), restore ? -1234 : 0);
    QCOMPARE(p.mode()->currentText(), QString(restore ? "Потоковый" : "Циклический автогенератор"));
    // Nothing plays until the operator presses "Старт".
    QVERIFY(!p.startStop()->isChecked());
    QCOMPARE(p.startStop()->text(), QString("Старт"));
    QVERIFY(moduleOf(vekd, 3).value("opened").toBool());
    QVERIFY(!moduleOf(vekd, 3).value("running").toBool(true));
    QVERIFY(criticals().isEmpty());
    if (restore) {
        // Pressed now, it plays what was set yesterday.
        p.startStop()->click();
        QVERIFY(QTest::qWaitFor([&] { return moduleOf(vekd, 3).value("running").toBool(); }, 20000));
        QTRY_VERIFY(std::abs(moduleOf(vekd, 3).value("outputs").toArray().at(1).toDouble() + 1.234) < 0.001);
    }
}

void WindowSetupsTest::eachModuleKeepsItsPanelsAndTheTitleFollows()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    WindowInDirectory in;
    MainWindow& window = *in.window;
    const QString base = window.windowTitle();
    window.show();
    QVERIFY(settled(window));
    Panels p{ window };
    SetupsController* setups = window.setupsController();
    auto* slotBox = child<QComboBox>(&window, "comboBoxSlot");

    // Saved: the title names the file, unmodified; it is the first of the recent setups.
    p.type(p.voltage(1), "500");
    QVERIFY(p.settle());
    const QString file = in.cwd.path() + "/bench.vek72";
    QString message;
    QVERIFY2(setups->saveFile(file, &message), qPrintable(message));
    QCOMPARE(window.windowTitle(), "bench.vek72[*] - " + base);
    QVERIFY(!window.isWindowModified());
    QCOMPARE(setups->recentFiles().value(0), file);
    // A change shows "*", and going back to what the file holds takes it away.
    p.type(p.voltage(1), "600");
    QTRY_VERIFY(window.isWindowModified());
    p.type(p.voltage(1), "500");
    QTRY_VERIFY(!window.isWindowModified());
    p.type(p.voltage(1), "600");
    QVERIFY(p.settle());

    // Another module: its own panels, the title without a setup.
    slotBox->setCurrentIndex(1);
    QVERIFY(p.settle());
    QCOMPARE(window.windowTitle(), base);
    QCOMPARE(p.voltage(1)->value(), 0);
    p.type(p.voltage(1), "300");
    QVERIFY(p.settle());
    // Back to the first: what it held when it was left, not what the file holds.
    slotBox->setCurrentIndex(0);
    QVERIFY(p.settle());
    QCOMPARE(p.voltage(1)->value(), 600);
    slotBox->setCurrentIndex(1);
    QVERIFY(p.settle());
    QCOMPARE(p.voltage(1)->value(), 300);

    // The file of the 8-channel modification-1 module opened on the 4-channel modification-2 one:
    // a warning says so, the title names it.
    QVERIFY(setups->openFile(file, &message));
    QVERIFY2(message.contains("снята с модуля VEK72-1-8, открыт модуль VEK72-2-4"), qPrintable(message));
    QVERIFY(p.settle());
    QCOMPARE(p.voltage(1)->value(), 500);
    QCOMPARE(window.windowTitle(), "bench.vek72[*] - " + base);
    QVERIFY(!window.isWindowModified());
    // The menu offers it for one click.
    auto* menu = child<QMenu>(&window, "menuSetups");
    QStringList entries;
    emit menu->aboutToShow();
    for (QAction* action : menu->actions())
        entries << action->text();
    QCOMPARE(entries.mid(0, 2), (QStringList{ "Открыть настройку…", "Сохранить настройку…" }));
    QCOMPARE(entries.last(), QString("&1 bench.vek72"));
}

QTEST_MAIN(WindowSetupsTest)
#include "tst_window_setups.moc"
