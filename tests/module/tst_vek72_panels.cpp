// The module object without hardware: its settings group, identity before any open, the named
// parameters, the panel handler's keys and highlight, the options page, a start that cannot
// configure, and the order of destruction.
#include <QtTest>

#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QMovie>
#include <QPushButton>

#include "modulevek72.h"
#include "modulevek72guihandler.h"
#include "panelhosts.h"

namespace {

QStringList items(QComboBox* combo)
{
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemText(i);
    return texts;
}

QMap<QString, QVariant> readGroup(const QString& path)
{
    QSettings file(path, QSettings::IniFormat);
    QMap<QString, QVariant> values;
    for (const QString& key : file.allKeys())
        values.insert(key, file.value(key));
    return values;
}

} // namespace

class PanelsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void loadSettingsWritesDefaults();
    void loadSettingsReadsExistingValues();
    void customSignalsSwitch_data();
    void customSignalsSwitch();
    void identityBeforeOpen();
    void parameters_data();
    void parameters();
    void returnAndTab_data();
    void returnAndTab();
    void groupHighlight_data();
    void groupHighlight();
    void optionsCancelAndApply();
    void failedStartSwitchesTheButtonBack();
    void destructionEndsTheSenderThreadFirst();
};

void PanelsTest::initTestCase()
{
    initStendixResources();
}

void PanelsTest::loadSettingsWritesDefaults()
{
    TestSettings file("[Global]\nDisplayUpdateMs=700\n");
    ModuleVek72 module;
    module.loadSettings(file.settings.get());
    file.settings->sync();

    const auto values = readGroup(file.path());
    QCOMPARE(values.size(), 7);
    QCOMPARE(values.value("Global/DisplayUpdateMs").toInt(), 700);
    QCOMPARE(values.value("VEK72/EnableCustomSignals").toBool(), false);
    QVERIFY(values.contains("VEK72/EnableCustomSignals"));
    QCOMPARE(values.value("VEK72/AccuracyAC").toInt(), 3);
    QCOMPARE(values.value("VEK72/AccuracyDC").toInt(), 3);
    QCOMPARE(values.value("VEK72/AccuracyFreq").toInt(), 3);
    QCOMPARE(values.value("VEK72/RestoreLastSetup").toBool(), true);
    QCOMPARE(values.value("VEK72/VoltageLimit").toInt(), 0);
    QVERIFY(!module.customSignalsAreEnabled());
    QCOMPARE(module.savedAccuracyAc(), 3);
    QCOMPARE(module.savedAccuracyDc(), 3);
    QCOMPARE(module.savedAccuracyFreq(), 3);
    QVERIFY(file.settings->group().isEmpty());   // the group was ended
}

void PanelsTest::loadSettingsReadsExistingValues()
{
    TestSettings file("[VEK72]\nEnableCustomSignals=true\nAccuracyAC=1\nAccuracyDC=abc\n");
    ModuleVek72 module;
    module.loadSettings(file.settings.get());
    file.settings->sync();

    QVERIFY(module.customSignalsAreEnabled());
    QCOMPARE(module.savedAccuracyAc(), 1);
    QCOMPARE(module.savedAccuracyDc(), 3);     // does not convert: the default, the file keeps its text
    QCOMPARE(module.savedAccuracyFreq(), 3);   // missing: written with its default
    const auto values = readGroup(file.path());
    QCOMPARE(values.value("VEK72/AccuracyDC").toString(), QString("abc"));
    QCOMPARE(values.value("VEK72/AccuracyFreq").toInt(), 3);
    // The pending values are not touched by loading.
    QCOMPARE(module.pendingAccuracy(0), 3);

    module.loadSettings(nullptr);   // nothing to read: nothing happens
    QCOMPARE(module.savedAccuracyAc(), 1);
}

void PanelsTest::customSignalsSwitch_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("on");
    QTest::newRow("true") << QByteArray("true") << true;
    QTest::newRow("TRUE") << QByteArray("TRUE") << true;
    QTest::newRow("1") << QByteArray("1") << true;
    QTest::newRow("false") << QByteArray("false") << false;
    QTest::newRow("0") << QByteArray("0") << false;
    QTest::newRow("yes") << QByteArray("yes") << false;
    QTest::newRow("no") << QByteArray("no") << false;
    QTest::newRow("abc") << QByteArray("abc") << false;
    QTest::newRow("empty") << QByteArray("") << false;
}

// Only a boolean switches the custom signals on; a text that does not convert reads as false.
void PanelsTest::customSignalsSwitch()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, on);
    TestSettings file("[VEK72]\nEnableCustomSignals=" + text + "\n");
    ModuleVek72 module;
    module.loadSettings(file.settings.get());
    PanelHosts hosts;
    hosts.build(module);
    QCOMPARE(module.customSignalsAreEnabled(), on);
    QCOMPARE(items(hosts.combo("comboBoxVoltageType")).contains("Особый"), on);
    QCOMPARE(items(hosts.combo("comboBoxVoltageTypeCh1")).contains("Особый"), on);
    QCOMPARE(hosts.group("groupBoxCustom")->isHidden(), !on);
}

void PanelsTest::identityBeforeOpen()
{
    ModuleVek72 module;
    QCOMPARE(module.name(false), QString("VEK72"));
    QCOMPARE(module.name(true), QString("VEK72"));
    QCOMPARE(module.moduleId(), 8995);
    QVERIFY(!module.icon().isNull());
    QVERIFY(!module.isOpened());
    QCOMPARE(module.serial(), QString("?"));
    QVERIFY(!module.isRunning());

    QString key = "Modification";
    const QString* modification = module.infoValue(key);
    QVERIFY(modification);
    QVERIFY(modification->isEmpty());
    key = "modification";
    QVERIFY(!module.infoValue(key));
    key = "Serial";
    QVERIFY(!module.infoValue(key));

    // Limits exist for codes 0 to 3 only; any other code reads the row of no module.
    QCOMPARE(&limitsForModification(3), &modificationLimits[2]);
    QCOMPARE(&limitsForModification(255), &modificationLimits[0]);
    QCOMPARE(&limitsForModification(-1), &modificationLimits[0]);
}

void PanelsTest::parameters_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("known");
    QTest::addColumn<int>("entry");   // entry whose current choice becomes `name`, -1 none
    QTest::newRow("display period") << "Период отображения" << false << -1;
    QTest::newRow("name of a choice entry") << "Режим" << false << -1;
    QTest::newRow("channel 3") << "Канал 3" << true << 1;
    QTest::newRow("lower-case channel 3") << "канал 3" << false << -1;
    QTest::newRow("trailing blank") << "Канал 3 " << false << -1;
    QTest::newRow("numeric frequency") << "Частота" << true << -1;
    QTest::newRow("dac 48") << "Частота ЦАП 48 кГц" << true << 3;
    QTest::newRow("output 1:10") << "Выход 1:10" << true << 2;
    QTest::newRow("empty") << "" << false << -1;
}

// The named parameters a caller may set: a known name is accepted, a choice becomes the current
// one of its entry only, in this module object only; checkParameter knows none.
void PanelsTest::parameters()
{
    QFETCH(QString, name);
    QFETCH(bool, known);
    QFETCH(int, entry);
    ModuleVek72 module;
    QCOMPARE(module.setParameter(name, 500), known);
    for (int i = 0; i < module.parameterEntries().size(); ++i)
        QCOMPARE(module.parameterEntries()[i].currentChoice, i == entry ? name : QString());
    ModuleVek72 other;
    for (const ParameterEntry& e : other.parameterEntries())
        QVERIFY(e.currentChoice.isEmpty());
    QString error = "previous";
    QVERIFY(!module.checkParameter(name, 1.0, error));
    QCOMPARE(error, QString("Неизвестный параметр %1").arg(name));
}

void PanelsTest::returnAndTab_data()
{
    QTest::addColumn<bool>("custom");
    QTest::newRow("custom signals off") << false;
    QTest::newRow("custom signals on") << true;
}

void PanelsTest::returnAndTab()
{
    QFETCH(bool, custom);
    PanelHosts hosts;
    auto module = makeModule(custom);
    hosts.build(*module);
    hosts.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&hosts.window));

    QSignalSpy restarts(module->panelHandler(), &ModuleVek72GuiHandler::restart);
    QSignalSpy locks(module.get(), &ModuleVek72::lockControls);

    // Return applies: a restart request, which does nothing while the button is released.
    QTest::keyClick(hosts.spin("spinBoxVoltage"), Qt::Key_Return);
    QCOMPARE(restarts.count(), 1);
    QTest::keyClick(hosts.channel<QSpinBox>("spinBoxVoltageCh", 3), Qt::Key_Enter);
    QCOMPARE(restarts.count(), 2);
    QCOMPARE(locks.count(), 0);
    QVERIFY(!module->panelHandler()->waitMessageBox()->isVisible());

    // Tab cycles within the three common fields.
    hosts.dspin("doubleSpinBoxOffset")->setFocus();
    QTest::keyClick(hosts.dspin("doubleSpinBoxOffset"), Qt::Key_Tab);
    QTRY_VERIFY(hosts.spin("spinBoxVoltage")->hasFocus());
    QTest::keyClick(hosts.spin("spinBoxVoltage"), Qt::Key_Tab);
    QTRY_VERIFY(hosts.dspin("doubleSpinBoxFrequency")->hasFocus());

    // ... and within one channel, never into the next channel.
    hosts.find<QGroupBox>("groupBoxCh5")->setChecked(true);
    QDoubleSpinBox* offset5 = hosts.channel<QDoubleSpinBox>("doubleSpinBoxOffsetCh", 5);
    offset5->setFocus();
    QTest::keyClick(offset5, Qt::Key_Tab);
    QTRY_VERIFY(hosts.channel<QSpinBox>("spinBoxVoltageCh", 5)->hasFocus());

    // The custom fields are handled only with custom signals on.
    const int before = restarts.count();
    QTest::keyClick(hosts.dspin("doubleSpinBoxCustomOffset"), Qt::Key_Return);
    QCOMPARE(restarts.count(), before + (custom ? 1 : 0));
}

void PanelsTest::groupHighlight_data()
{
    returnAndTab_data();
}

void PanelsTest::groupHighlight()
{
    QFETCH(bool, custom);
    PanelHosts hosts;
    auto module = makeModule(custom);
    hosts.build(*module);
    QSignalSpy focused(module->panelHandler(), &ModuleVek72GuiHandler::channelFocused);

    // Switching channels on focuses the last one (6), which is made special.
    hosts.find<QGroupBox>("groupBoxCh2")->setChecked(true);
    hosts.find<QGroupBox>("groupBoxCh6")->setChecked(true);
    if (custom)
        hosts.channel<QComboBox>("comboBoxVoltageTypeCh", 6)->setCurrentText("Особый");
    QFocusEvent in(QEvent::FocusIn, Qt::OtherFocusReason);
    QApplication::sendEvent(hosts.channel<QSpinBox>("spinBoxVoltageCh", 2), &in);
    QFocusEvent in4(QEvent::FocusIn, Qt::OtherFocusReason);
    QApplication::sendEvent(hosts.channel<QSpinBox>("spinBoxVoltageCh", 4), &in4);   // unchecked

    if (!custom) {
        QCOMPARE(hosts.find<QGroupBox>("groupBoxCh2")->styleSheet(), QString());
        QCOMPARE(focused.count(), 0);
        QCOMPARE(module->focusedChannelNumber(), 1);
        return;
    }
    QCOMPARE(hosts.find<QGroupBox>("groupBoxCh2")->styleSheet(), QString("QGroupBox { font-weight: bold; } "));
    QCOMPARE(hosts.find<QGroupBox>("groupBoxCh6")->styleSheet(), QString("QGroupBox { font-weight: normal; } "));
    QCOMPARE(hosts.find<QGroupBox>("groupBoxCh4")->styleSheet(), QString("QGroupBox { font-weight: normal; } "));
    QCOMPARE(focused.count(), 1);
    QCOMPARE(focused.at(0).at(0).toInt(), 2);
    QCOMPARE(focused.at(0).at(1).toBool(), false);
    QCOMPARE(module->focusedChannelNumber(), 2);   // same thread here: the slot ran directly
    QCOMPARE(module->panelHandler()->highlightedChannel(), 2);
    QVERIFY(!hosts.group("groupBoxCustom")->isEnabled());

    // Back in the special channel: the custom group is enabled and shows its custom signal over
    // what the group showed before.
    hosts.combo("comboBoxCustomShape")->setCurrentIndex(2);
    hosts.dspin("doubleSpinBoxCustomFrequency")->setValue(50.0);
    QFocusEvent in6(QEvent::FocusIn, Qt::OtherFocusReason);
    QApplication::sendEvent(hosts.channel<QComboBox>("comboBoxVoltageTypeCh", 6), &in6);
    QCOMPARE(hosts.find<QGroupBox>("groupBoxCh6")->styleSheet(), QString("QGroupBox { font-weight: bold; } "));
    QCOMPARE(hosts.find<QGroupBox>("groupBoxCh2")->styleSheet(), QString("QGroupBox { font-weight: normal; } "));
    QVERIFY(hosts.group("groupBoxCustom")->isEnabled());
    QCOMPARE(focused.count(), 2);
    QCOMPARE(focused.at(1).at(1).toBool(), true);
    QCOMPARE(module->focusedChannelNumber(), 6);
    QCOMPARE(hosts.combo("comboBoxCustomShape")->currentIndex(), 0);
    QCOMPARE(hosts.dspin("doubleSpinBoxCustomFrequency")->value(), 1000.0);
    QCOMPARE(module->customSignal(2).frequency, 50.0);   // the group edited the focused channel 2

    // Within channel 6 again: nothing further.
    QApplication::sendEvent(hosts.channel<QSpinBox>("spinBoxVoltageCh", 6), &in6);
    QCOMPARE(focused.count(), 2);
}

void PanelsTest::optionsCancelAndApply()
{
    PanelHosts hosts;
    ModuleVek72 module;
    TestSettings file("[VEK72]\nAccuracyAC=2\nAccuracyDC=3\nAccuracyFreq=5\n");
    module.loadSettings(file.settings.get());
    hosts.build(module);
    QCOMPARE(hosts.dspin("doubleSpinBoxFrequencyCh4")->decimals(), 5);

    module.resetOptions();
    QCOMPARE(hosts.spin("spinBoxAccuracyAC")->value(), 2);
    QCOMPARE(hosts.spin("spinBoxAccuracyDC")->value(), 3);
    QCOMPARE(hosts.spin("spinBoxAccuracyFreq")->value(), 5);

    // Edits reach the pending values only; Cancel and a new showing discard them.
    hosts.spin("spinBoxAccuracyFreq")->setValue(1);
    hosts.spin("spinBoxAccuracyDC")->setValue(6);
    QCOMPARE(module.pendingAccuracy(2), 1);
    QCOMPARE(module.pendingAccuracy(1), 6);
    QCOMPARE(module.savedAccuracyFreq(), 5);
    module.resetOptions();
    QCOMPARE(hosts.spin("spinBoxAccuracyFreq")->value(), 5);
    QCOMPARE(module.pendingAccuracy(2), 5);
    QCOMPARE(module.pendingAccuracy(1), 3);

    // OK without edits: the saved values once more, decimals as they were.
    module.applyOptions(file.settings.get());
    file.settings->sync();
    QCOMPARE(readGroup(file.path()).value("VEK72/AccuracyFreq").toInt(), 5);
    QCOMPARE(readGroup(file.path()).value("VEK72/AccuracyDC").toInt(), 3);
    QCOMPARE(hosts.dspin("doubleSpinBoxFrequency")->decimals(), 5);
    QCOMPARE(hosts.dspin("doubleSpinBoxOffsetCh8")->decimals(), 3);

    // OK after edits: saved, written, and every frequency and offset field takes its decimals.
    module.resetOptions();
    hosts.spin("spinBoxAccuracyFreq")->setValue(1);
    hosts.spin("spinBoxAccuracyDC")->setValue(4);
    hosts.spin("spinBoxAccuracyAC")->setValue(6);
    module.applyOptions(file.settings.get());
    file.settings->sync();
    QCOMPARE(module.savedAccuracyFreq(), 1);
    QCOMPARE(module.savedAccuracyDc(), 4);
    QCOMPARE(module.savedAccuracyAc(), 6);
    const auto values = readGroup(file.path());
    QCOMPARE(values.value("VEK72/AccuracyFreq").toInt(), 1);
    QCOMPARE(values.value("VEK72/AccuracyDC").toInt(), 4);
    QCOMPARE(values.value("VEK72/AccuracyAC").toInt(), 6);
    QCOMPARE(hosts.dspin("doubleSpinBoxFrequency")->decimals(), 1);
    QCOMPARE(hosts.dspin("doubleSpinBoxCustomFrequency")->decimals(), 1);
    QCOMPARE(hosts.dspin("doubleSpinBoxOffset")->decimals(), 4);
    for (int n = 1; n <= 8; ++n) {
        QCOMPARE(hosts.channel<QDoubleSpinBox>("doubleSpinBoxFrequencyCh", n)->decimals(), 1);
        QCOMPARE(hosts.channel<QDoubleSpinBox>("doubleSpinBoxOffsetCh", n)->decimals(), 4);
    }
    // AccuracyAC sets no widget: the voltage fields count whole millivolts.
    QVERIFY(file.settings->group().isEmpty());
}

void PanelsTest::failedStartSwitchesTheButtonBack()
{
    PanelHosts hosts;
    auto module = makeModule(false);
    hosts.build(*module);
    QSignalSpy locks(module.get(), &ModuleVek72::lockControls);
    QPushButton* button = hosts.find<QPushButton>("pushButtonStartStop");

    // No module is open: nothing can be played, the start is refused before anything is configured
    // (no wait box), and the button goes back to "Старт".
    QTest::ignoreMessage(QtCriticalMsg, "Нет включенных каналов для генерации");
    button->click();
    QTRY_VERIFY(!button->isChecked());
    QTRY_COMPARE(button->text(), QString("Старт"));
    QCOMPARE(locks.count(), 0);
    QVERIFY(!module->isRunning());
    QVERIFY(!module->panelHandler()->waitMessageBox()->isVisible());
    for (int family = 0; family < 12; ++family)
        QCOMPARE(module->echoPermits(family), 0);
}

void PanelsTest::destructionEndsTheSenderThreadFirst()
{
    PanelHosts hosts;
    auto* module = new ModuleVek72();
    hosts.build(*module);
    QPointer<ModuleSenderVek72> sender = module->sampleSender();
    QThread* senderThread = module->senderThreadObject();
    QVERIFY(sender);
    QCOMPARE(sender->thread(), senderThread);
    QVERIFY(senderThread->isRunning());

    QStringList order;
    QThread* destroyedOn = nullptr;
    connect(senderThread, &QThread::finished, senderThread, [&] { order << "thread finished"; },
            Qt::DirectConnection);
    connect(sender.data(), &QObject::destroyed, sender.data(), [&] {
        order << "sender destroyed";
        destroyedOn = QThread::currentThread();
    }, Qt::DirectConnection);
    QPointer<ModuleVek72GuiHandler> handler = module->panelHandler();
    QPointer<QMovie> movie = module->busyAnimation();

    delete module;
    QCOMPARE(order, QStringList({ "thread finished", "sender destroyed" }));
    QCOMPARE(destroyedOn, senderThread);   // deleted once, by its own thread as it ended
    QVERIFY(!sender);
    QVERIFY(!handler);
    QVERIFY(!movie);
    // The panels stay with their hosts.
    QVERIFY(hosts.find<QWidget>("spinBoxVoltage"));
    QVERIFY(!hosts.find<QLabel>("labelActive")->movie());
}

QTEST_MAIN(PanelsTest)
#include "tst_vek72_panels.moc"
