// Two settings an operator changes in the options dialog while the program runs: where the crate
// service listens ("CrateService" of group "Global", host:port, checked before it is used, the
// environment's VEK_SERVICE winning when set) and "Особые сигналы" (EnableCustomSignals of group
// "VEK72", taking effect without a restart: a running output stops first and says so).
#include <QtTest>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSpinBox>

#include "benchstatus.h"
#include "played.h"
#include "journal.h"
#include "modulevek72.h"
#include "resources.h"
#include "serviceaddress.h"
#include "vekdrunner.h"
#include "windowtestutil.h"

using namespace apptest;
using namespace windowtest;

namespace {

QString settingOf(const WindowInDirectory& w, const QString& key)
{
    return QSettings(w.cwd.iniPath(), QSettings::IniFormat).value(key).toString();
}

// While it lives, the environment's VEK_SERVICE is as given (unset when empty).
struct ServiceVariable
{
    const QByteArray before = qgetenv("VEK_SERVICE");
    explicit ServiceVariable(const QString& value)
    {
        if (value.isEmpty())
            qunsetenv("VEK_SERVICE");
        else
            qputenv("VEK_SERVICE", value.toUtf8());
    }
    ~ServiceVariable()
    {
        if (before.isEmpty())
            qunsetenv("VEK_SERVICE");
        else
            qputenv("VEK_SERVICE", before);
    }
};

// The type items of every channel and of the common controls, e.g. "AC,DC,Особый" nine times.
QStringList typeItems(const MainWindow& window)
{
    QStringList all;
    QWidget* settings = child<QWidget>(&window, "widgetModuleSettings");
    all << items(child<QComboBox>(settings, "comboBoxVoltageType")).join(QLatin1Char(','));
    for (int n = 1; n <= 8; ++n)
        all << items(child<QComboBox>(&window, QStringLiteral("comboBoxVoltageTypeCh%1").arg(n).toLatin1().constData()))
                   .join(QLatin1Char(','));
    return all;
}

// Accepts (or cancels) the options dialog after `edit`; a warning box on the way is answered and
// its text kept in `warning`.
bool options(MainWindow& window, const std::function<void(QDialog*)>& edit, bool accept, QString* warning = nullptr)
{
    return runOptionsDialog(window, [&](QDialog* dialog) {
        edit(dialog);
        if (!accept)
            return;
        QTimer answer;
        answer.setInterval(10);
        QObject::connect(&answer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                if (warning)
                    *warning = box->text();
                box->accept();
            }
        });
        answer.start();
        dialogButton(dialog, QDialogButtonBox::Ok)->click();
    });
}

} // namespace

class TestOptionsService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void serviceSetting_data();
    void serviceSetting();
    void serviceFromTheDialog();
    void serviceVariableWins();
    void customSignalsSwitched();
};

void TestOptionsService::initTestCase()
{
    initStendixResources();
    installMessageCapture();
}

void TestOptionsService::serviceSetting_data()
{
    QTest::addColumn<QString>("stored");   // "-": no key
    QTest::addColumn<QString>("used");
    QTest::addColumn<bool>("warned");
    QTest::newRow("absent: written with the default") << "-" << "127.0.0.1:11111" << false;
    QTest::newRow("another computer") << "192.168.0.10:11111" << "192.168.0.10:11111" << false;
    QTest::newRow("localhost and blanks") << " localhost : 40000 " << "127.0.0.1:40000" << false;
    QTest::newRow("no port") << "10.0.0.5" << "127.0.0.1:11111" << true;
    QTest::newRow("a name") << "stand-pc:11111" << "127.0.0.1:11111" << true;
    QTest::newRow("a part above 255") << "10.0.0.256:11111" << "127.0.0.1:11111" << true;
    QTest::newRow("three parts") << "10.0.5:11111" << "127.0.0.1:11111" << true;
    QTest::newRow("port 0") << "10.0.0.5:0" << "127.0.0.1:11111" << true;
    QTest::newRow("port too large") << "10.0.0.5:65536" << "127.0.0.1:11111" << true;
    QTest::newRow("port not a number") << "10.0.0.5:1e3" << "127.0.0.1:11111" << true;
    QTest::newRow("empty") << "" << "127.0.0.1:11111" << true;
}

// Read at start, used as read, said when it cannot be read; the file keeps what the operator wrote.
void TestOptionsService::serviceSetting()
{
    QFETCH(QString, stored);
    QFETCH(QString, used);
    QFETCH(bool, warned);
    QVariantMap keys{{QStringLiteral("ModuleMode"), QStringLiteral("Emulator")}};
    if (stored != QLatin1String("-"))
        keys.insert(QStringLiteral("CrateService"), stored);
    clearMessages();
    WindowInDirectory w(keys);
    QCOMPARE(configuredService().text(), used);
    const QStringList said = warnings().filter(QStringLiteral("Global/CrateService"));
    QCOMPARE(said.size(), warned ? 1 : 0);
    if (warned)
        QVERIFY2(said.first().endsWith(QStringLiteral("; используется 127.0.0.1:11111")), qPrintable(said.first()));
    QCOMPARE(settingOf(w, QStringLiteral("Global/CrateService")), stored == QLatin1String("-") ? used : stored);
    // The dialog shows the address in use.
    QVERIFY(runOptionsDialog(*w.window, [&](QDialog* dialog) {
        QCOMPARE(child<QLineEdit>(dialog, "lineEditCrateService")->text(), used);
    }));
}

// A service on another address: typed into the dialog, checked, used at once (as "Обновить"), and
// written; an address that is none is refused in the dialog and changes nothing.
void TestOptionsService::serviceFromTheDialog()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    const ServiceVariable none{QString()};
    DesktopFont font;
    WindowInDirectory w({{QStringLiteral("CrateService"), QStringLiteral("127.0.0.1:1")}});
    MainWindow& window = *w.window;
    window.show();
    QVERIFY(settled(window));
    QCOMPARE(shown(window), QStringLiteral("gray gray off"));
    QVERIFY(criticals().contains(QStringLiteral("Нет связи со службой 127.0.0.1:1")));

    QString warning;
    for (const QString& wrong : {QStringLiteral("stand-pc:11111"), QStringLiteral("127.0.0.1"), QString()}) {
        warning.clear();
        QVERIFY(options(window, [&](QDialog* dialog) { child<QLineEdit>(dialog, "lineEditCrateService")->setText(wrong); },
                        true, &warning));
        QVERIFY2(warning.startsWith(QStringLiteral("Адрес службы крейтов «%1» не подходит").arg(wrong)), qPrintable(warning));
        QCOMPARE(settingOf(w, QStringLiteral("Global/CrateService")), QStringLiteral("127.0.0.1:1"));
        QCOMPARE(configuredService().text(), QStringLiteral("127.0.0.1:1"));
    }
    // Cancelled: nothing changes.
    QVERIFY(options(window, [&](QDialog* dialog) {
        child<QLineEdit>(dialog, "lineEditCrateService")->setText(vekd.address());
    }, false));
    QCOMPARE(settingOf(w, QStringLiteral("Global/CrateService")), QStringLiteral("127.0.0.1:1"));

    QVERIFY(options(window, [&](QDialog* dialog) {
        child<QLineEdit>(dialog, "lineEditCrateService")->setText(QStringLiteral(" ") + vekd.address() + QStringLiteral(" "));
    }, true));
    QCOMPARE(settingOf(w, QStringLiteral("Global/CrateService")), vekd.address());
    QVERIFY(settled(window));
    QTRY_COMPARE(shown(window), QStringLiteral("green green on"));
    QVERIFY(statusTexts(window).contains(QStringLiteral("Служба крейтов: ") + vekd.address()));
    QVERIFY(benchstatus::opened(vekd, crateA, 3));
    QVERIFY(infos().contains(QStringLiteral("Адрес службы крейтов: ") + vekd.address()));
}

// With VEK_SERVICE set the libraries go there, whatever the settings say; the dialog says so.
void TestOptionsService::serviceVariableWins()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());   // sets VEK_SERVICE
    WindowInDirectory w({{QStringLiteral("CrateService"), QStringLiteral("10.255.255.1:11111")}});
    MainWindow& window = *w.window;
    window.show();
    QVERIFY(settled(window));
    QCOMPARE(shown(window), QStringLiteral("green green on"));
    QVERIFY(runOptionsDialog(window, [&](QDialog* dialog) {
        QCOMPARE(child<QLineEdit>(dialog, "lineEditCrateService")->text(), QStringLiteral("10.255.255.1:11111"));
        QVERIFY(child<QLabel>(dialog, "labelCrateServiceNote")->text().contains(QStringLiteral("VEK_SERVICE=") + vekd.address()));
    }));
    QCOMPARE(serviceAddressText(), vekd.address());
}

// "Особые сигналы" on and off while the program runs, as an operator does it: the panels become
// what a start with the setting makes of them; a running output stops first and the status bar and
// the journal say so; channels of the special type become AC and go off; Cancel changes nothing.
void TestOptionsService::customSignalsSwitched()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    DesktopFont font;
    WindowInDirectory w;
    MainWindow& window = *w.window;
    window.show();
    QVERIFY(settled(window));
    QCOMPARE(shown(window), QStringLiteral("green green on"));
    auto* module = static_cast<ModuleVek72*>(window.engineObject()->moduleObject());
    QWidget* settings = child<QWidget>(&window, "widgetModuleSettings");
    auto* customGroup = child<QGroupBox>(settings, "groupBoxCustom");
    QCOMPARE(typeItems(window), QVector<QString>(9, QStringLiteral("AC,DC")).toList());
    QVERIFY(!customGroup->isVisibleTo(&window));

    // Cancelled: nothing.
    QVERIFY(options(window, [](QDialog* dialog) { child<QCheckBox>(dialog, "checkBoxCustomSignals")->setChecked(true); }, false));
    QVERIFY(!module->customSignalsAreEnabled());
    QCOMPARE(settingOf(w, QStringLiteral("VEK72/EnableCustomSignals")), QStringLiteral("false"));

    // On, while stopped.
    QVERIFY(options(window, [](QDialog* dialog) { child<QCheckBox>(dialog, "checkBoxCustomSignals")->setChecked(true); }, true));
    QTRY_VERIFY(statusTexts(window).contains(QStringLiteral("Особые сигналы включены")));
    QVERIFY(module->customSignalsAreEnabled());
    QCOMPARE(typeItems(window), QVector<QString>(9, QStringLiteral("AC,DC,Особый")).toList());
    QVERIFY(customGroup->isVisibleTo(&window));
    QCOMPARE(settingOf(w, QStringLiteral("VEK72/EnableCustomSignals")), QStringLiteral("true"));
    // The channel worked in is marked, as with the setting from the start.
    QApplication::setActiveWindow(&window);
    auto* group2 = child<QGroupBox>(&window, "groupBoxCh2");
    group2->setChecked(true);
    QVERIFY(runQueuedCalls(module));
    child<QWidget>(&window, "spinBoxVoltageCh2")->setFocus(Qt::MouseFocusReason);
    QTRY_COMPARE(group2->styleSheet(), QStringLiteral("QGroupBox { font-weight: bold; } "));
    QTRY_COMPARE(module->focusedChannelNumber(), 2);
    // The dialog shows it on the next time.
    QVERIFY(runOptionsDialog(window, [](QDialog* dialog) {
        QVERIFY(child<QCheckBox>(dialog, "checkBoxCustomSignals")->isChecked());
    }));

    // Channels 1 and 2 of the special type, playing.
    auto* start = child<QAbstractButton>(settings, "pushButtonStartStop");
    for (int n : {1, 2}) {
        auto* group = child<QGroupBox>(&window, QStringLiteral("groupBoxCh%1").arg(n).toLatin1().constData());
        auto* type = child<QComboBox>(&window, QStringLiteral("comboBoxVoltageTypeCh%1").arg(n).toLatin1().constData());
        if (!group->isChecked())
            group->setChecked(true);
        QVERIFY(runQueuedCalls(module));
        type->setCurrentIndex(type->findText(QStringLiteral("Особый")));
        QVERIFY(runQueuedCalls(module));
    }
    // The custom group takes what the module can play (as when the setting is on from the start):
    // channel 2's signal from -0.9 V to +0.3 V (within the one-tenth range it has).
    child<QWidget>(&window, "spinBoxVoltageCh2")->setFocus(Qt::MouseFocusReason);
    QTRY_COMPARE(module->focusedChannelNumber(), 2);
    QTRY_VERIFY(customGroup->isEnabled());
    auto* amplitude = child<QSpinBox>(settings, "spinBoxCustomAmplitude");
    auto* offset = child<QDoubleSpinBox>(settings, "doubleSpinBoxCustomOffset");
    QCOMPARE(amplitude->maximum(), 10000);
    for (const auto& [field, text] : { std::make_pair<QAbstractSpinBox*>(amplitude, "600"), std::make_pair<QAbstractSpinBox*>(offset, "-0.3") }) {
        field->setFocus(Qt::TabFocusReason);
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(field, QLatin1String(text));
        QTest::keyClick(field, Qt::Key_Return);
    }
    QCOMPARE(amplitude->value(), 600);
    QCOMPARE(offset->value(), -0.3);
    QVERIFY(runQueuedCalls(module));
    start->click();
    QTRY_VERIFY_WITH_TIMEOUT(benchstatus::module(benchstatus::status(vekd), crateA, 3).value("running").toBool(), 20000);
    // Whole periods of 1 kHz at 96 kHz a channel.
    Played frames;
    QTRY_VERIFY_WITH_TIMEOUT((frames = capture(vekd, 3, 960)).frames() == 960, 20000);
    const int column = frames.channels.indexOf(QStringLiteral("ch2"));
    QVERIFY2(column >= 0, qPrintable(frames.channels.join(QLatin1Char(','))));
    const auto [low, high] = std::minmax_element(frames.columns[column].cbegin(), frames.columns[column].cend());
    QVERIFY2(std::abs(*low + 0.9) < 0.001 && std::abs(*high - 0.3) < 0.001, qPrintable(QStringLiteral("%1 .. %2").arg(*low).arg(*high)));

    // Off while playing: the output stops first, and that is said.
    window.postMessage(QString());
    QVERIFY(options(window, [](QDialog* dialog) { child<QCheckBox>(dialog, "checkBoxCustomSignals")->setChecked(false); }, true));
    const QString said =
        QStringLiteral("Особые сигналы выключены; генерация остановлена; выключены каналы режима «Особый»: 1, 2");
    QTRY_VERIFY_WITH_TIMEOUT(statusTexts(window).contains(said), 20000);
    QVERIFY(infos().contains(said));
    QVERIFY(!module->customSignalsAreEnabled());
    QCOMPARE(start->text(), QStringLiteral("Старт"));
    QVERIFY(!start->isChecked());
    const QJsonObject played = benchstatus::module(benchstatus::status(vekd), crateA, 3);
    QVERIFY(!played.value("running").toBool());
    QVERIFY(benchstatus::outputsAtZero(played));
    QCOMPARE(typeItems(window), QVector<QString>(9, QStringLiteral("AC,DC")).toList());
    QVERIFY(!customGroup->isVisibleTo(&window));
    for (int n : {1, 2}) {
        QCOMPARE(child<QComboBox>(&window, QStringLiteral("comboBoxVoltageTypeCh%1").arg(n).toLatin1().constData())->currentText(),
                 QStringLiteral("AC"));
        QVERIFY(!child<QGroupBox>(&window, QStringLiteral("groupBoxCh%1").arg(n).toLatin1().constData())->isChecked());
    }
    QCOMPARE(settingOf(w, QStringLiteral("VEK72/EnableCustomSignals")), QStringLiteral("false"));
    // No echo left waiting in any family: the panels work on as before.
    for (int family = 0; family < 12; ++family)
        QCOMPARE(module->echoPermits(family), 0);
}

QTEST_MAIN(TestOptionsService)
#include "tst_options_service.moc"
