// The whole program driven from pyvisa, as a bench script drives it: the main window with its
// remote-control server runs here against a crate service simulator, and pyvisa scripts connect as
// child processes. Three channels set and started: vekd plays what was sent, the achieved frequency
// is read back, the window's widgets show the remote values; each error code provoked once changes
// nothing; the journal has each client's coming and going and the errors as warnings.
#include <QtTest>

#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QStatusBar>

#include "playedsignals.h"
#include "remotewarnings.h"
#include "resources.h"
#include "windowtestutil.h"

using namespace windowtest;

namespace {

// Runs a Python script with pyvisa while this thread serves the window; its standard output, or
// an empty text with the reason in `problem`.
QByteArray runPython(const QStringList& arguments, QString* problem)
{
    QProcess python;
    python.start(QStringLiteral(PYVISA_PYTHON), arguments);
    if (!python.waitForStarted(10000)) {
        *problem = QStringLiteral("%1 did not start").arg(PYVISA_PYTHON);
        return {};
    }
    if (!QTest::qWaitFor([&] { return python.state() == QProcess::NotRunning; }, 120000)) {
        python.kill();
        python.waitForFinished();
        *problem = QStringLiteral("the script did not end: ") + QString::fromUtf8(python.readAllStandardError());
        return {};
    }
    if (python.exitStatus() != QProcess::NormalExit || python.exitCode() != 0) {
        *problem = QStringLiteral("exit %1: ").arg(python.exitCode()) + QString::fromUtf8(python.readAllStandardError());
        return {};
    }
    return python.readAllStandardOutput();
}

QJsonObject runSession(quint16 port, const char* phase, QString* problem)
{
    const QByteArray out = runPython({ QStringLiteral(PYVISA_SCRIPT), QString::number(port), QLatin1String(phase) }, problem);
    return QJsonDocument::fromJson(out).object();
}

// What a control of the module's panels shows.
QString text(MainWindow& window, const char* name)
{
    QWidget* w = child<QWidget>(child<QWidget>(&window, "widgetModuleSettings"), name);
    if (!w)
        w = child<QWidget>(child<QWidget>(&window, "widgetModuleControls"), name);
    if (auto* box = qobject_cast<QAbstractSpinBox*>(w))
        return box->text();
    if (auto* combo = qobject_cast<QComboBox*>(w))
        return combo->currentText();
    if (auto* group = qobject_cast<QGroupBox*>(w))
        return group->isChecked() ? QStringLiteral("on") : QStringLiteral("off");
    if (auto* button = qobject_cast<QAbstractButton*>(w))
        return button->text();
    return QStringLiteral("missing");
}

} // namespace

class TestRemotePyvisa : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void benchScript();
    void generatorDriver();
};

void TestRemotePyvisa::initTestCase()
{
    initStendixResources();
    apptest::installMessageCapture();
    remotewarnings::install();
    QString problem;
    runPython({ QStringLiteral("-c"), QStringLiteral("import pyvisa, pyvisa_py") }, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(QStringLiteral("pyvisa is needed (python3-pyvisa, python3-pyvisa-py): ") + problem));
}

void TestRemotePyvisa::benchScript()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    apptest::WorkingDirectory cwd;
    QVERIFY(cwd.isValid());
    {
        QSettings ini(cwd.iniPath(), QSettings::IniFormat);
        ini.setValue(QStringLiteral("Remote/Port"), 0);   // any free port
    }
    MainWindow window;
    window.show();
    QVERIFY(settled(window));
    QVERIFY(QTest::qWaitFor([&] { return !window.remoteControlAddress().isEmpty(); }, 5000));
    const quint16 port = quint16(window.remoteControlAddress().section(':', 1).toUInt());
    // The status bar says where remote control listens; the file keeps the group's keys.
    bool said = false;
    for (QLabel* label : window.statusBar()->findChildren<QLabel*>())
        said = said || label->text() == QStringLiteral("Удалённое управление: %1 (только с этого компьютера)").arg(window.remoteControlAddress());
    QVERIFY(said);
    QSettings saved(cwd.iniPath(), QSettings::IniFormat);
    QCOMPARE(saved.value("Remote/Enabled").toString(), QStringLiteral("true"));
    QCOMPARE(saved.value("Remote/Address").toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(saved.value("Remote/AllowedHosts").toString(), QString());
    QCOMPARE(saved.value("Remote/IdleTimeoutMs").toInt(), 300000);

    // Three channels set and started from pyvisa.
    QString problem;
    const QJsonObject setup = runSession(port, "setup", &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    const QString serial = child<QLineEdit>(&window, "lineEditModuleSerial")->text();
    QCOMPARE(setup.value("idn").toString(), QStringLiteral("ZELMAR,VEK72-1-8,%1,1.4.27").arg(serial));
    QCOMPARE(setup.value("channels").toString(), QStringLiteral("8"));
    QCOMPARE(setup.value("catalog").toString(), QStringLiteral("\"4B210736\",3,\"VEK72-1-8\";\"4B210736\",7,\"VEK72-2-4\""));
    QCOMPARE(setup.value("module").toString(), QStringLiteral("\"4B210736\",3"));
    QCOMPARE(setup.value("opc").toString(), QStringLiteral("1"));
    QCOMPARE(setup.value("running").toString(), QStringLiteral("1"));
    QCOMPARE(setup.value("errors").toString(), QStringLiteral("0"));
    const QStringList read = setup.value("read").toString().split(';');
    QCOMPARE(read.mid(2), (QStringList{ "2", "0.5", "DC", "3", "FULL", "96000", "CYCL", "0" }));

    // The module plays what was sent: 2 V RMS at 1 kHz, 1 V RMS at 500 Hz around 0.5 V, 3 V.
    const PlayedSignals played = waitForPlayed(vekd, "4B210736", 3, 9600);
    QCOMPARE(played.problem, QString());
    QCOMPARE(played.channels.keys(), (QList<int>{ 1, 2, 3 }));
    const double sqrt2 = 1.4142135623730951;
    QVERIFY2(qAbs(played[1].peakToPeak - 4 * sqrt2) < 0.01 && qAbs(played[1].mean) < 0.01, qPrintable(QString::number(played[1].peakToPeak)));
    QVERIFY2(qAbs(played[2].peakToPeak - 2 * sqrt2) < 0.01 && qAbs(played[2].mean - 0.5) < 0.01, qPrintable(QString::number(played[2].mean)));
    QVERIFY2(qAbs(played[3].mean - 3.0) < 0.005 && played[3].peakToPeak < 0.005, qPrintable(QString::number(played[3].mean)));
    // The frequencies read back are those the fields show after the start, and those played.
    for (int n = 1; n <= 2; ++n) {
        const QString field = QStringLiteral("doubleSpinBoxFrequencyCh%1").arg(n);
        QCOMPARE(read.at(n - 1), QString::number(child<QDoubleSpinBox>(&window, qPrintable(field))->value(), 'g', 12));
        QVERIFY2(qAbs(played[n].frequency - read.at(n - 1).toDouble()) < 0.5, qPrintable(QString::number(played[n].frequency)));
    }

    // The window shows the remote values.
    const QStringList shown{ "groupBoxCh1=on", "groupBoxCh2=on", "groupBoxCh3=on", "groupBoxCh4=off", "groupBoxCh8=off",
                             "spinBoxVoltageCh1=2000", "comboBoxRangeCh1=7 В", "spinBoxVoltageCh2=1000",
                             "doubleSpinBoxOffsetCh2=0.500", "comboBoxVoltageTypeCh3=DC", "spinBoxVoltageCh3=3000",
                             "comboBoxRangeCh3=10 В", "comboBoxDacFreq=96 кГц", "pushButtonStartStop=Стоп" };
    for (const QString& expected : shown) {
        const QByteArray name = expected.section('=', 0, 0).toLatin1();
        QCOMPARE(expected.section('=', 0, 0) + '=' + text(window, name.constData()), expected);
    }

    // Each error code once (their texts are the session test's): nothing changes, the window shows
    // no pop-up, the journal a warning.
    const QJsonObject errors = runSession(port, "errors", &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    for (const QString code : { "-102", "-109", "-113", "-114", "-221", "-222", "-224", "-241" }) {
        const QJsonObject one = errors.value(code).toObject();
        QVERIFY2(one.value("error").toString().startsWith(code + ",\""), qPrintable(code + ": " + one.value("error").toString()));
        QVERIFY2(!one.value("changed").toBool(), qPrintable(code));
    }
    const QJsonObject overflow = errors.value("-350").toObject();
    QCOMPARE(overflow.value("count").toString(), QStringLiteral("32"));
    QCOMPARE(overflow.value("last").toString(), QStringLiteral("-350,\"Queue overflow\""));
    QCOMPARE(errors.value("selected").toString(), QStringLiteral("\"4B210736\",7;4"));
    QCOMPARE(errors.value("left").toString(), QStringLiteral("0,\"No error\""));
    // The window followed the remote selection as its selectors do.
    QCOMPARE(child<QComboBox>(&window, "comboBoxSlot")->currentText(), QStringLiteral("Слот 7 - VEK72-2-4"));

    // The journal: two clients came and went; one warning per error (the seven codes, the forty of
    // the overflow, the channel not there), each with its command; no critical message.
    const QRegularExpression client(QStringLiteral("^Удалённое управление: (подключился клиент|клиент .* отключился)"));
    QCOMPARE(apptest::infos().filter(client).size(), 4);
    const QStringList warnings = remotewarnings::lines();
    QCOMPARE(warnings.size(), 7 + 40 + 1);
    QVERIFY2(warnings.first().endsWith(QStringLiteral(": -102,\"Syntax error\" в команде \"SOUR1:VOLT 1,,2\"")),
             qPrintable(warnings.first()));
    QVERIFY2(apptest::criticals().isEmpty(), qPrintable(apptest::criticals().join('\n')));

    // The README's example runs against the same window.
    const QByteArray example = runPython({ QStringLiteral(EXAMPLE_SCRIPT), QString::number(port) }, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY2(example.contains("12345.678 Hz asked,"), example.constData());
}

void TestRemotePyvisa::generatorDriver()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    apptest::WorkingDirectory cwd;
    QVERIFY(cwd.isValid());
    {
        QSettings ini(cwd.iniPath(), QSettings::IniFormat);
        ini.setValue(QStringLiteral("Remote/Port"), 0);
        ini.setValue(QStringLiteral("VEK72/EnableCustomSignals"), true);
    }
    MainWindow window;
    window.show();
    QVERIFY(settled(window));
    QVERIFY(QTest::qWaitFor([&] { return !window.remoteControlAddress().isEmpty(); }, 5000));
    const quint16 port = quint16(window.remoteControlAddress().section(':', 1).toUInt());

    QString problem;
    const QJsonObject read = runSession(port, "generator", &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    // IEEE 488.2 12.5.3: *OPC after the restart, then *ESR? has the operation complete bit alone.
    QCOMPARE(read.value("esr").toString(), QStringLiteral("1"));
    QCOMPARE(read.value("read").toString(), QStringLiteral("SQU;1000;2;0.5;1.5;-0.5;1;SIN;2000;VPP"));
    QCOMPARE(read.value("apply").toString(), QStringLiteral("\"SIN 2000,2.82842712475,0\""));
    // OPERation bit 8 while the module plays; no error queued, no summary enabled.
    QCOMPARE(read.value("status").toString(), QStringLiteral("256;1999.0;0"));
    const QJsonArray refused = read.value("refused").toArray();
    QVERIFY2(refused.at(0).toString().startsWith("-221,\"Settings conflict;"), qPrintable(refused.at(0).toString()));
    QVERIFY2(refused.at(1).toString().startsWith("-221,\"Settings conflict;"), qPrintable(refused.at(1).toString()));
    QCOMPARE(read.value("errors").toString(), QStringLiteral("0,\"No error\""));

    // What the module plays: a 1 kHz square from -0.5 V to 1.5 V, and a 2 kHz sine of 1 V RMS.
    const PlayedSignals played = waitForPlayed(vekd, "4B210736", 3, 9600);
    QCOMPARE(played.problem, QString());
    QVERIFY(played.has(1) && played.has(2));
    QVERIFY2(qAbs(played[1].frequency - 1000) < 0.5, qPrintable(QString::number(played[1].frequency)));
    QVERIFY2(qAbs(played.lowest[1] + 0.5) < 0.002 && qAbs(played.highest[1] - 1.5) < 0.002,
             qPrintable(QStringLiteral("%1 .. %2").arg(played.lowest[1]).arg(played.highest[1])));
    QVERIFY2(played.atExtremes[1] > 0.95, qPrintable(QString::number(played.atExtremes[1])));
    QVERIFY2(qAbs(played[1].mean - 0.5) < 0.01, qPrintable(QString::number(played[1].mean)));
    QVERIFY2(qAbs(played[2].frequency - 2000) < 1, qPrintable(QString::number(played[2].frequency)));
    QVERIFY2(qAbs(played[2].peakToPeak - 2 * 1.4142135623730951) < 0.01, qPrintable(QString::number(played[2].peakToPeak)));
    QVERIFY2(played.atExtremes[2] < 0.5, qPrintable(QString::number(played.atExtremes[2])));

    // The 64 points of a sine sent as a binary block to channel 3: 2 V peak to peak at 500 Hz around 0 V.
    const QJsonObject arbitrary = runSession(port, "arbitrary", &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(arbitrary.value("opc").toString(), QStringLiteral("1"));
    QCOMPARE(arbitrary.value("read").toString(), QStringLiteral("ARB;\"SINE64\";32000;64"));
    QCOMPARE(arbitrary.value("errors").toString(), QStringLiteral("0,\"No error\""));
    const PlayedSignals third = waitForPlayed(vekd, "4B210736", 3, 9600);
    QCOMPARE(third.problem, QString());
    QVERIFY(third.has(3));
    QVERIFY2(qAbs(third[3].frequency - 500) < 0.5, qPrintable(QString::number(third[3].frequency)));
    QVERIFY2(qAbs(third[3].peakToPeak - 2) < 0.01 && qAbs(third[3].mean) < 0.01,
             qPrintable(QStringLiteral("%1 %2").arg(third[3].peakToPeak).arg(third[3].mean)));
    QVERIFY2(apptest::criticals().isEmpty(), qPrintable(apptest::criticals().join('\n')));

    // The README's generator example runs against the same window.
    const QByteArray example = runPython({ QStringLiteral(GENERATOR_EXAMPLE_SCRIPT), QString::number(port) }, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY2(example.contains("errors: 0,\"No error\""), example.constData());
}

QTEST_MAIN(TestRemotePyvisa)
#include "tst_remote_pyvisa.moc"
