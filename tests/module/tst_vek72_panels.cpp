// The module object without hardware: its settings group, identity before any open, the named
// parameters, the four forms as createGui builds them (with custom signals off and on), the panel
// handler's keys and highlight, the options page, the restart and the order of destruction.
#include <QtTest>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMovie>
#include <QPushButton>

#include "customcheckbox.h"
#include "modulevek72.h"
#include "modulevek72guihandler.h"
#include "panelhosts.h"
#include "threads.h"

namespace {

const QString enterTip = QStringLiteral("Нажмите Enter для применения изменений");

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
    void parameters();
    void startAndRestartWithTheButtonReleased();
    void formObjects();
    void initialStateWithoutCustomSignals();
    void initialStateWithCustomSignals();
    void returnAndTab_data();
    void returnAndTab();
    void groupHighlight_data();
    void groupHighlight();
    void allChannelsClickCycle();
    void optionsCancelAndApply();
    void failedStartSwitchesTheButtonBack();
    void moduleOnItsOwnThread();
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
    QCOMPARE(values.size(), 5);
    QCOMPARE(values.value("Global/DisplayUpdateMs").toInt(), 700);
    QCOMPARE(values.value("VEK72/EnableCustomSignals").toBool(), false);
    QVERIFY(values.contains("VEK72/EnableCustomSignals"));
    QCOMPARE(values.value("VEK72/AccuracyAC").toInt(), 3);
    QCOMPARE(values.value("VEK72/AccuracyDC").toInt(), 3);
    QCOMPARE(values.value("VEK72/AccuracyFreq").toInt(), 3);
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
    QCOMPARE(module.savedAccuracyDc(), 0);     // does not convert: 0, kept in the file as it was
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
    QCOMPARE(items(hosts.combo("comboBoxVoltageTypeCh1")).contains("Особый"), on);
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
}

void PanelsTest::parameters()
{
    ModuleVek72 module;
    QString name = "Период отображения";
    QVERIFY(!module.setParameter(name, 500));
    for (const ParameterEntry& entry : module.parameterEntries())
        QVERIFY(entry.currentChoice.isEmpty());

    name = "Канал 3";
    QVERIFY(module.setParameter(name, 0));
    QCOMPARE(module.parameterEntries()[1].currentChoice, QString("Канал 3"));
    QVERIFY(vek72ParameterTable()[1].currentChoice.isEmpty());
    ModuleVek72 other;
    QVERIFY(other.parameterEntries()[1].currentChoice.isEmpty());

    QString error = "previous";
    name = "X";
    QVERIFY(!module.checkParameter(name, 1.0, error));
    QCOMPARE(error, QString("Неизвестный параметр X"));
    name = "Канал 3";
    QVERIFY(!module.checkParameter(name, 1.0, error));
    QCOMPARE(error, QString("Неизвестный параметр Канал 3"));
}

void PanelsTest::startAndRestartWithTheButtonReleased()
{
    ModuleVek72 bare;
    QVERIFY(!bare.start(true));
    QVERIFY(bare.start(false));   // no panels: nothing pressed, nothing to start

    PanelHosts hosts;
    auto module = makeModule(false);
    hosts.build(*module);
    QSignalSpy locks(module.get(), &ModuleVek72::lockControls);
    QVERIFY(!module->start(true));
    QVERIFY(module->start(false));
    module->restartManual();
    QCOMPARE(locks.count(), 0);
    QVERIFY(!module->isRunning());
    QVERIFY(!module->panelHandler()->waitMessageBox()->isVisible());
}

void PanelsTest::formObjects()
{
    PanelHosts hosts;
    auto module = makeModule(false);
    hosts.build(*module);

    struct Expected { const char* name; const char* className; const char* text; };
    const Expected settings[] = {
        { "groupBoxSettings", "QGroupBox", "VEK72" },
        { "groupBoxCustom", "QGroupBox", "Генератор сигналов" },
        { "widgetCustomCheckBox", "QWidget", nullptr },
        { "labelActive", "QLabel", "" },
        { "labelMode", "QLabel", "Режим работы" },
        { "comboBoxMode", "QComboBox", nullptr },
        { "pushButtonStartStop", "QPushButton", "Старт" },
        { "labelVoltageType", "QLabel", "Режим воспроизведений" },
        { "comboBoxVoltageType", "QComboBox", nullptr },
        { "labelVoltage", "QLabel", "Напряжение" },
        { "spinBoxVoltage", "QSpinBox", nullptr },
        { "labelVoltageUnit", "QLabel", "мВ" },
        { "labelRange", "QLabel", "Диапазон воспроизведений" },
        { "comboBoxRange", "QComboBox", nullptr },
        { "labelFrequency", "QLabel", "Частота" },
        { "doubleSpinBoxFrequency", "QDoubleSpinBox", nullptr },
        { "labelFrequencyUnit", "QLabel", "Гц" },
        { "labelDacFreq", "QLabel", "Частота преобразований ЦАП" },
        { "comboBoxDacFreq", "QComboBox", nullptr },
        { "labelOffset", "QLabel", "Смещение" },
        { "doubleSpinBoxOffset", "QDoubleSpinBox", nullptr },
        { "labelOffsetUnit", "QLabel", "В" },
        { "labelCustomShape", "QLabel", "Форма сигнала" },
        { "comboBoxCustomShape", "QComboBox", nullptr },
        { "labelCustomAmplitude", "QLabel", "Амплитуда" },
        { "spinBoxCustomAmplitude", "QSpinBox", nullptr },
        { "labelCustomAmplitudeUnit", "QLabel", "мВ" },
        { "labelCustomFrequency", "QLabel", "Частота" },
        { "doubleSpinBoxCustomFrequency", "QDoubleSpinBox", nullptr },
        { "labelCustomFrequencyUnit", "QLabel", "Гц" },
        { "labelCustomOffset", "QLabel", "Смещение" },
        { "spinBoxCustomOffset", "QSpinBox", nullptr },
        { "labelCustomOffsetUnit", "QLabel", "мВ" },
        { "groupBoxInfo", "QGroupBox", "Сведения о модуле VEK72" },
        { "labelModuleSerial", "QLabel", "Серийный номер" },
        { "lineEditModuleSerial", "QLineEdit", nullptr },
        { "labelModuleFirmware", "QLabel", "Версия микропрограммы" },
        { "lineEditModuleFirmware", "QLineEdit", nullptr },
        { "groupBoxAccuracy", "QGroupBox", "Точность" },
        { "labelAccuracyAC", "QLabel", "Точность AC" },
        { "spinBoxAccuracyAC", "QSpinBox", nullptr },
        { "labelAccuracyDC", "QLabel", "Точность DC" },
        { "spinBoxAccuracyDC", "QSpinBox", nullptr },
        { "labelAccuracyFreq", "QLabel", "Точность частоты" },
        { "spinBoxAccuracyFreq", "QSpinBox", nullptr },
        { "labelAccuracyError", "QLabel", "Точность погрешности" },
        { "spinBoxAccuracyError", "QSpinBox", nullptr },
    };
    for (const Expected& e : settings) {
        QObject* object = hosts.find<QObject>(e.name);
        QVERIFY2(object, e.name);
        QCOMPARE(QString(object->metaObject()->className()), QString(e.className));
        if (!e.text)
            continue;
        if (auto* label = qobject_cast<QLabel*>(object))
            QCOMPARE(label->text(), QString(e.text));
        else if (auto* group = qobject_cast<QGroupBox*>(object))
            QCOMPARE(group->title(), QString(e.text));
        else if (auto* button = qobject_cast<QPushButton*>(object))
            QCOMPARE(button->text(), QString(e.text));
    }
    // Settings panel inside its host, information and options pages in theirs.
    QVERIFY(hosts.settings->isAncestorOf(hosts.find<QWidget>("groupBoxCustom")));
    QVERIFY(hosts.info->isAncestorOf(hosts.find<QWidget>("lineEditModuleSerial")));
    QVERIFY(hosts.options->isAncestorOf(hosts.find<QWidget>("spinBoxAccuracyFreq")));
    QVERIFY(hosts.find<QPushButton>("pushButtonStartStop")->isCheckable());
    QVERIFY(hosts.find<QLineEdit>("lineEditModuleSerial")->isReadOnly());
    QVERIFY(hosts.find<QLineEdit>("lineEditModuleFirmware")->isReadOnly());

    QCOMPARE(items(hosts.combo("comboBoxMode")), QStringList({ "Циклический автогенератор", "Потоковый" }));
    QCOMPARE(items(hosts.combo("comboBoxVoltageType")), QStringList({ "AC", "DC" }));
    QCOMPARE(items(hosts.combo("comboBoxRange")), QStringList({ "0.7 В", "7 В" }));
    QCOMPARE(items(hosts.combo("comboBoxDacFreq")), QStringList({ "192 кГц", "96 кГц", "48 кГц" }));
    QCOMPARE(items(hosts.combo("comboBoxCustomShape")),
             QStringList({ "Синус", "Треугольник", "Пила", "Импульс", "Линия" }));

    for (const char* name : { "spinBoxVoltage", "doubleSpinBoxFrequency", "doubleSpinBoxOffset",
                              "spinBoxCustomAmplitude", "doubleSpinBoxCustomFrequency", "spinBoxCustomOffset" })
        QCOMPARE(hosts.find<QWidget>(name)->toolTip(), enterTip);

    // The channel panel: eight group boxes in a row, each with its fourteen objects.
    for (int n = 1; n <= 8; ++n) {
        QGroupBox* group = hosts.channel<QGroupBox>("groupBoxCh", n);
        QVERIFY(group);
        QVERIFY(hosts.controls->isAncestorOf(group));
        QCOMPARE(group->title(), QString("Канал %1").arg(n));
        QVERIFY(group->isCheckable());
        QVERIFY(group->findChild<QGridLayout*>(QString("gridLayoutCh%1").arg(n)));
        const auto label = [&](const char* prefix) { return hosts.channel<QLabel>(prefix, n)->text(); };
        QCOMPARE(label("labelVoltageTypeCh"), QString("Режим\nвоспроизведений"));
        QCOMPARE(label("labelRangeCh"), QString("Диапазон\nвоспроизведений"));
        QCOMPARE(label("labelVoltageCh"), QString("Напряжение"));
        QCOMPARE(label("labelVoltageUnitCh"), QString("мВ"));
        QCOMPARE(label("labelFrequencyCh"), QString("Частота"));
        QCOMPARE(label("labelFrequencyUnitCh"), QString("Гц"));
        QCOMPARE(label("labelOffsetCh"), QString("Смещение"));
        QCOMPARE(label("labelOffsetUnitCh"), QString("В"));
        QCOMPARE(items(hosts.channel<QComboBox>("comboBoxRangeCh", n)), QStringList({ "0.7 В", "7 В" }));
        QVERIFY(group->isAncestorOf(hosts.channel<QSpinBox>("spinBoxVoltageCh", n)));
        QCOMPARE(hosts.channel<QSpinBox>("spinBoxVoltageCh", n)->toolTip(), enterTip);
        QCOMPARE(hosts.channel<QDoubleSpinBox>("doubleSpinBoxFrequencyCh", n)->toolTip(), enterTip);
        QCOMPARE(hosts.channel<QDoubleSpinBox>("doubleSpinBoxOffsetCh", n)->toolTip(), enterTip);
    }
    QVERIFY(!hosts.find<QObject>("groupBoxCh9"));
}

void PanelsTest::initialStateWithoutCustomSignals()
{
    PanelHosts hosts;
    auto module = makeModule(false);
    hosts.build(*module);

    QVERIFY(hosts.group("groupBoxCustom")->isHidden());
    QVERIFY(!hosts.group("groupBoxCustom")->isEnabled());
    QCOMPARE(hosts.combo("comboBoxMode")->currentText(), QString("Циклический автогенератор"));
    QCOMPARE(hosts.combo("comboBoxVoltageType")->currentText(), QString("AC"));
    QCOMPARE(hosts.combo("comboBoxRange")->currentText(), QString("0.7 В"));
    QCOMPARE(hosts.combo("comboBoxDacFreq")->currentText(), QString("192 кГц"));
    QCOMPARE(hosts.combo("comboBoxCustomShape")->currentText(), QString("Синус"));

    // Start-up limits: no module, limits row 0.
    QSpinBox* voltage = hosts.spin("spinBoxVoltage");
    QCOMPARE(voltage->minimum(), -1);
    QCOMPARE(voltage->maximum(), 0);
    QCOMPARE(voltage->value(), 0);
    QDoubleSpinBox* frequency = hosts.dspin("doubleSpinBoxFrequency");
    QCOMPARE(frequency->minimum(), 0.0);
    QCOMPARE(frequency->maximum(), 249999.0);
    QCOMPARE(frequency->value(), 1000.0);
    QCOMPARE(frequency->decimals(), 3);
    QDoubleSpinBox* offset = hosts.dspin("doubleSpinBoxOffset");
    QCOMPARE(offset->minimum(), -1.0);
    QCOMPARE(offset->maximum(), 0.0);
    QCOMPARE(offset->decimals(), 3);

    for (int n = 1; n <= 8; ++n) {
        QCOMPARE(hosts.channel<QGroupBox>("groupBoxCh", n)->isChecked(), n == 1);
        QCOMPARE(hosts.channel<QGroupBox>("groupBoxCh", n)->styleSheet(), QString());
        QComboBox* type = hosts.channel<QComboBox>("comboBoxVoltageTypeCh", n);
        QCOMPARE(items(type), QStringList({ "AC", "DC" }));
        QCOMPARE(type->currentIndex(), 0);
        QCOMPARE(hosts.channel<QComboBox>("comboBoxRangeCh", n)->currentIndex(), 0);
        QSpinBox* channelVoltage = hosts.channel<QSpinBox>("spinBoxVoltageCh", n);
        QCOMPARE(channelVoltage->minimum(), 0);
        QCOMPARE(channelVoltage->maximum(), 0);
        QDoubleSpinBox* channelFrequency = hosts.channel<QDoubleSpinBox>("doubleSpinBoxFrequencyCh", n);
        QCOMPARE(channelFrequency->minimum(), 1.0);
        QCOMPARE(channelFrequency->maximum(), 249999.0);
        QCOMPARE(channelFrequency->value(), 1000.0);
        QDoubleSpinBox* channelOffset = hosts.channel<QDoubleSpinBox>("doubleSpinBoxOffsetCh", n);
        QCOMPARE(channelOffset->minimum(), 0.0);
        QCOMPARE(channelOffset->maximum(), 0.0);
        QCOMPARE(channelOffset->decimals(), 3);
    }

    // The all-channels check box in its container, partially checked.
    Ui::CustomCheckBox* all = module->allChannelsBox();
    QVERIFY(all);
    QCOMPARE(all->text(), QString("Все каналы"));
    QVERIFY(all->isTristate());
    QCOMPARE(all->checkState(), Qt::PartiallyChecked);
    QCOMPARE(all->parentWidget(), hosts.find<QWidget>("widgetCustomCheckBox"));
    QVERIFY(all->parentWidget()->layout());
    QCOMPARE(all->parentWidget()->layout()->contentsMargins(), QMargins(0, 0, 0, 0));

    // The busy animation sits in labelActive, paused.
    QMovie* movie = module->busyAnimation();
    QVERIFY(movie);
    QCOMPARE(hosts.find<QLabel>("labelActive")->movie(), movie);
    QCOMPARE(movie->fileName(), QString(":/wave.gif"));
    QCOMPARE(movie->state(), QMovie::Paused);
    QCOMPARE(hosts.find<QLabel>("labelActive")->alignment(), Qt::AlignHCenter | Qt::AlignVCenter);

    // Options page: ranges 0..6, the error accuracy hidden.
    for (const char* name : { "spinBoxAccuracyAC", "spinBoxAccuracyDC", "spinBoxAccuracyFreq" }) {
        QCOMPARE(hosts.spin(name)->minimum(), 0);
        QCOMPARE(hosts.spin(name)->maximum(), 6);
    }
    QVERIFY(hosts.find<QWidget>("labelAccuracyError")->isHidden());
    QVERIFY(hosts.find<QWidget>("spinBoxAccuracyError")->isHidden());

    // The handler lives on the GUI thread with its hidden wait box over the channel panel.
    ModuleVek72GuiHandler* handler = module->panelHandler();
    QVERIFY(handler);
    QCOMPARE(handler->thread(), hosts.settings->thread());
    QMessageBox* wait = handler->waitMessageBox();
    QCOMPARE(wait->parentWidget(), hosts.controls);
    QVERIFY(!wait->isVisible());
    QCOMPARE(wait->text(), QString("Выполняется настройка\nПожалуйста, подождите"));
    QCOMPARE(wait->windowModality(), Qt::WindowModal);
    QCOMPARE(wait->icon(), QMessageBox::Warning);
    QVERIFY(wait->buttons().isEmpty());
    QVERIFY(!(wait->windowFlags() & Qt::WindowCloseButtonHint));
    QVERIFY(!(wait->windowFlags() & Qt::WindowContextHelpButtonHint));
}

void PanelsTest::initialStateWithCustomSignals()
{
    PanelHosts hosts;
    auto module = makeModule(true);
    hosts.build(*module);

    QVERIFY(!hosts.group("groupBoxCustom")->isHidden());
    QVERIFY(!hosts.group("groupBoxCustom")->isEnabled());
    QCOMPARE(items(hosts.combo("comboBoxVoltageType")), QStringList({ "AC", "DC", "Особый" }));
    QCOMPARE(hosts.combo("comboBoxVoltageType")->currentText(), QString("AC"));
    for (int n = 1; n <= 8; ++n) {
        QCOMPARE(items(hosts.channel<QComboBox>("comboBoxVoltageTypeCh", n)),
                 QStringList({ "AC", "DC", "Особый" }));
        QCOMPARE(hosts.channel<QGroupBox>("groupBoxCh", n)->styleSheet(),
                 QString("QGroupBox { font-weight: normal; } "));
        const ChannelSignal& custom = module->customSignal(n);
        QCOMPARE(custom.channel, n);
        QCOMPARE(custom.shape, 0);
        QCOMPARE(custom.amplitude, 0.0);
        QCOMPARE(custom.frequency, 1000.0);
        QCOMPARE(custom.offset, 0.0);
        QVERIFY(custom.samples.isEmpty());
    }
    QCOMPARE(hosts.spin("spinBoxCustomAmplitude")->minimum(), 0);
    QCOMPARE(hosts.spin("spinBoxCustomAmplitude")->maximum(), 0);
    QCOMPARE(hosts.dspin("doubleSpinBoxCustomFrequency")->minimum(), 1.0);
    QCOMPARE(hosts.dspin("doubleSpinBoxCustomFrequency")->maximum(), 249999.0);
    QCOMPARE(hosts.combo("comboBoxCustomShape")->currentIndex(), module->customSignal(6).shape);
    QCOMPARE(hosts.dspin("doubleSpinBoxCustomFrequency")->value(), 1000.0);
    QCOMPARE(hosts.spin("spinBoxCustomOffset")->minimum(), 0);
    QCOMPARE(hosts.spin("spinBoxCustomOffset")->maximum(), 0);
    QCOMPARE(module->focusedChannelNumber(), 1);
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
    QTest::keyClick(hosts.spin("spinBoxCustomOffset"), Qt::Key_Return);
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

// The operator toggles between checked and unchecked; the partial state comes from the program only.
void PanelsTest::allChannelsClickCycle()
{
    Ui::CustomCheckBox all;
    all.setText(QStringLiteral("Все каналы"));
    all.resize(all.sizeHint());
    all.setCheckState(Qt::PartiallyChecked);
    all.click();
    QCOMPARE(all.checkState(), Qt::Checked);
    all.click();
    QCOMPARE(all.checkState(), Qt::Unchecked);
    all.click();
    QCOMPARE(all.checkState(), Qt::Checked);
    all.setCheckState(Qt::PartiallyChecked);
    QTest::mouseClick(&all, Qt::LeftButton);
    QCOMPARE(all.checkState(), Qt::Checked);
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

    // No module is open: the configuration fails, the button goes back to "Старт".
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(".+"));
    button->click();
    QTRY_VERIFY(!button->isChecked());
    QTRY_COMPARE(button->text(), QString("Старт"));
    QCOMPARE(locks.count(), 2);
    QCOMPARE(locks.at(0).at(0).toBool(), true);
    QCOMPARE(locks.at(1).at(0).toBool(), false);
    QVERIFY(!module->isRunning());
    QVERIFY(!module->panelHandler()->waitMessageBox()->isVisible());
    for (int family = 0; family < 12; ++family)
        QCOMPARE(module->echoPermits(family), 0);
}

// As in the program: the module lives on a thread of its own, its panels on the GUI thread, and
// the module's slots run queued there and change widgets by set and wait.
void PanelsTest::moduleOnItsOwnThread()
{
    PanelHosts hosts;
    auto module = makeModule(false);
    ModuleThread moduleThread(module.get());
    hosts.build(*module);

    QSignalSpy locks(module.get(), &ModuleVek72::lockControls);
    QPushButton* button = hosts.find<QPushButton>("pushButtonStartStop");
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(".+"));
    button->click();
    QTRY_COMPARE(locks.count(), 2);
    QTRY_VERIFY(!button->isChecked());
    QTRY_COMPARE(button->text(), QString("Старт"));
    QTRY_VERIFY(!module->panelHandler()->waitMessageBox()->isVisible());

    // Return in a field reaches restartManual on the module thread, which does nothing now.
    QTest::keyClick(hosts.spin("spinBoxVoltage"), Qt::Key_Return);
    // Once the module thread has run the calls queued so far, the restart has run too. This
    // thread keeps processing events meanwhile, since the restart asks it for the button.
    QVERIFY(apptest::runQueuedCalls(module.get()));
    QCOMPARE(locks.count(), 2);
    QVERIFY(moduleThread.stop());
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
