// The window's side of setups against a crate service simulator: the panels closed with are back
// when the program starts again in the same working directory, stopped (and not with
// RestoreLastSetup=false); each module's panels back when it is chosen again; the title names the
// setup and shows "*" while the panels differ from it; the last setups opened or saved. A last setup
// that cannot be used is kept aside, a setups folder that cannot be written is said, and a change
// survives the program being killed a moment later.
#include <QtTest>

#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QStatusBar>
#include <QTcpSocket>
#include <QTextCodec>

#include <unistd.h>

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

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// A valid last setup of the module in slot 3 with channel 1 at `voltage` mV (AC), as the program
// writes it.
QByteArray lastSetupText(const QByteArray& voltage)
{
    return R"({ "format": 1, "program": "1.4.27", "mode": "cyclic", "dacRate": 192000,
  "module": { "modification": 1, "channelCount": 8, "crate": "4B210736", "slot": 3 },
  "channels": [ { "channel": 1, "on": true, "type": "AC", "range": "full", "voltage_mV": )" + voltage + R"(,
                  "frequency_Hz": 1000, "offset_V": 0 } ] })";
}

// The real program, offscreen, in a working directory against a crate service, and a remote client.
struct Program
{
    QProcess process;
    QTcpSocket client;

    bool start(const QString& folder, const QString& service)
    {
        process.setWorkingDirectory(folder);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("VEK_SERVICE"), service);
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(VEK72_PATH), QStringList());
        if (!process.waitForStarted())
            return false;
        // Where remote control listens, from the journal.
        const QRegularExpression listening(QStringLiteral("ожидает подключений на 127\\.0\\.0\\.1:(\\d+)"));
        quint16 port = 0;
        const int before = readFile(folder + "/stendix.log").size();
        QTest::qWaitFor([&] {
            const QString journal = QTextCodec::codecForName("Windows-1251")->toUnicode(readFile(folder + "/stendix.log").mid(before));
            port = quint16(listening.match(journal).captured(1).toUInt());
            return port != 0;
        }, 20000);
        client.connectToHost(QHostAddress::LocalHost, port);
        return port != 0 && client.waitForConnected(5000);
    }
    QByteArray query(const QByteArray& line)
    {
        client.write(line + '\n');
        QTest::qWaitFor([&] { return client.canReadLine(); }, 20000);
        return client.readLine().trimmed();
    }
    ~Program()
    {
        process.kill();
        process.waitForFinished();
    }
};

} // namespace

class WindowSetupsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { clearMessages(); }
    void lastSetupBackAtStart_data();
    void lastSetupBackAtStart();
    void eachModuleKeepsItsPanelsAndTheTitleFollows();
    void unusableLastSetupKeptAside_data();
    void unusableLastSetupKeptAside();
    void folderThatCannotBeWritten_data();
    void folderThatCannotBeWritten();
    void changeThenKill();
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
    // The recent setups, then "Выход".
    QCOMPARE(entries.mid(entries.size() - 3), (QStringList{ "&1 bench.vek72", QString(), "Выход" }));
}

void WindowSetupsTest::unusableLastSetupKeptAside_data()
{
    QTest::addColumn<QByteArray>("last");       // the last setup of slot 3; empty: none
    QTest::addColumn<QByteArray>("olderBad");   // a ".bad" kept from before; empty: none
    QTest::addColumn<QString>("reason");        // what the warning says of the file; empty: nothing said
    QTest::newRow("corrupt") << QByteArray("{ \"format\": 1, \"chan") << QByteArray() << "ошибка JSON";
    QTest::newRow("truncated") << lastSetupText("700").left(120) << QByteArray() << "ошибка JSON";
    QTest::newRow("absurd value") << lastSetupText("1e308") << QByteArray()
                                  << "канал 1, \"voltage_mV\": 1e+308 — вне пределов модуля (0..7000 мВ)";
    QTest::newRow("another .bad already there") << QByteArray("garbage") << QByteArray("older") << "ошибка JSON";
    QTest::newRow("absent") << QByteArray() << QByteArray() << "";
    QTest::newRow("usable") << lastSetupText("700") << QByteArray() << "";
}

// A last setup that cannot be used is moved aside as "….vek72.bad" (the next free ".bad.N" when one
// is there), with one warning naming it and why; it is never overwritten: the panels' changes and the
// close go into a new last setup.
void WindowSetupsTest::unusableLastSetupKeptAside()
{
    QFETCH(QByteArray, last);
    QFETCH(QByteArray, olderBad);
    QFETCH(QString, reason);
    VekdRunner vekd;
    QVERIFY(vekd.start());
    WorkingDirectory cwd;
    QVERIFY(QDir(cwd.path()).mkdir("setups"));
    const QString path = cwd.path() + "/setups/last-4B210736-3.vek72";
    if (!last.isEmpty())
        QVERIFY(writeFile(path, last));
    if (!olderBad.isEmpty())
        QVERIFY(writeFile(path + ".bad", olderBad));
    const QString aside = path + (olderBad.isEmpty() ? ".bad" : ".bad.2");
    cwd.writeKey("Remote/Enabled", false);
    MainWindow window;
    window.show();
    QVERIFY(settled(window));
    Panels p{ window };
    QVERIFY(p.settle());
    const QStringList said = warnings().filter("не открыта");
    if (reason.isEmpty()) {
        QCOMPARE(said, QStringList());
        QVERIFY(!QFileInfo::exists(path + ".bad"));
        QCOMPARE(p.voltage(1)->value(), last.isEmpty() ? 0 : 700);
    } else {
        QCOMPARE(said.size(), 1);
        QVERIFY2(said.first().startsWith(QString("Настройка \"%1\" не открыта: ").arg(path)) && said.first().contains(reason)
                     && said.first().endsWith("; файл сохранён как " + aside), qPrintable(said.first()));
        QVERIFY(statusTexts(window).contains(QString("Последняя настройка модуля не восстановлена, файл сохранён как %1 (см. журнал)")
                                                 .arg(QFileInfo(aside).fileName())));
        QCOMPARE(readFile(aside), last);
        QVERIFY(!QFileInfo::exists(path));
    }
    // A change goes into a new last setup within a second; the file kept aside stays as it was.
    p.group(1)->setChecked(true);
    QVERIFY(p.settle());
    p.type(p.voltage(1), "567");
    QVERIFY(p.settle());
    QVERIFY2(QTest::qWaitFor([&] { return readFile(path).contains("\"voltage_mV\": 567"); }, 5000), readFile(path).left(600).constData());
    QVERIFY(window.close());
    QVERIFY(readFile(path).contains("\"voltage_mV\": 567"));
    if (!reason.isEmpty())
        QCOMPARE(readFile(aside), last);
    if (!olderBad.isEmpty())
        QCOMPARE(readFile(path + ".bad"), olderBad);
    QCOMPARE(warnings().filter("не открыта"), said);
}

void WindowSetupsTest::folderThatCannotBeWritten_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("problem");   // how the warning words it
    QTest::newRow("a file in its place") << "file" << "на месте папки находится файл";
    QTest::newRow("a link to nowhere") << "dangling link" << "ссылка на несуществующую папку";
    QTest::newRow("read-only") << "read-only" << "нет доступа на запись";
}

// A setups folder that cannot be written is said at start (journal and status bar), and again when a
// save of the last setup fails: once while the operator changes the panels, again when the window
// closes.
void WindowSetupsTest::folderThatCannotBeWritten()
{
    QFETCH(QString, kind);
    QFETCH(QString, problem);
    if (kind == "read-only" && geteuid() == 0)
        QSKIP("the superuser writes into read-only folders; the other rows cover a folder that cannot be written");
    VekdRunner vekd;
    QVERIFY(vekd.start());
    WorkingDirectory cwd;
    const QString folder = cwd.path() + "/setups";
    if (kind == "file")
        QVERIFY(writeFile(folder, "not a folder"));
    else if (kind == "dangling link")
        QVERIFY(QFile::link(cwd.path() + "/no-such-folder", folder));
    else
        QVERIFY(QDir().mkdir(folder) && QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    cwd.writeKey("Remote/Enabled", false);
    const QString atStart = QString("Папка настроек %1 недоступна для записи (%2): настройки модулей не сохраняются").arg(folder);
    {
        MainWindow window;
        window.show();
        QVERIFY(settled(window));
        Panels p{ window };
        QTRY_VERIFY(!warnings().filter("Папка настроек").isEmpty());
        QVERIFY2(warnings().filter("Папка настроек").first().startsWith(atStart.arg(problem).section('(', 0, 0)), qPrintable(warnings().join('\n')));
        QVERIFY2(warnings().filter("Папка настроек").first().contains(problem), qPrintable(warnings().filter("Папка настроек").first()));
        // Two changes a second apart: the failed saves are said once.
        p.group(1)->setChecked(true);
        QVERIFY(p.settle());
        p.type(p.voltage(1), "1234");
        QVERIFY(p.settle());
        QTRY_VERIFY_WITH_TIMEOUT(statusTexts(window).contains("Последняя настройка модуля не сохраняется (см. журнал)"), 5000);
        p.type(p.voltage(1), "2345");
        QVERIFY(p.settle());
        QCOMPARE(warnings().filter("не сохранена").size(), 1);
        QVERIFY(window.close());
    }
    QCOMPARE(warnings().filter("Папка настроек").size(), 1);
    // The close's save said it again.
    QCOMPARE(warnings().filter("last-4B210736-3.vek72\" не сохранена").size(), 2);
    if (kind == "read-only")
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// A change made by remote control, then the program killed (kill -9) a moment later: started again,
// it has the change back.
void WindowSetupsTest::changeThenKill()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    WorkingDirectory cwd;
    cwd.writeKey("Remote/Port", 0);
    const QString last = cwd.path() + "/setups/last-4B210736-3.vek72";
    {
        Program program;
        QVERIFY(program.start(cwd.path(), vekd.address()));
        QVERIFY(QTest::qWaitFor([&] { return program.query("SYST:MOD?") == "\"4B210736\",3"; }, 20000));
        QCOMPARE(program.query("SOUR1:FREQ 4321;*OPC?"), QByteArray("1"));
        QVERIFY(QTest::qWaitFor([&] { return readFile(last).contains("\"frequency_Hz\": 4321"); }, 5000));
        QCOMPARE(program.process.state(), QProcess::Running);
        program.process.kill();   // SIGKILL: no close, no save
        QVERIFY(program.process.waitForFinished());
        QCOMPARE(program.process.exitStatus(), QProcess::CrashExit);
    }
    Program again;
    QVERIFY(again.start(cwd.path(), vekd.address()));
    QVERIFY(QTest::qWaitFor([&] { return again.query("SYST:MOD?") == "\"4B210736\",3"; }, 20000));
    QCOMPARE(again.query("SOUR1:FREQ?").toDouble(), 4321.0);
}

QTEST_MAIN(WindowSetupsTest)
#include "tst_window_setups.moc"
