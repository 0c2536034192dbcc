#include "modulevek72.h"

#include <QComboBox>
#include <QDebug>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaType>
#include <QMovie>
#include <QMutexLocker>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTableWidgetItem>
#include <QWidget>

#include "channelwidgets.h"
#include "modificationlimits.h"
#include "modulevek72guihandler.h"
#include "ui_vek72controls.h"
#include "ui_vek72info.h"
#include "ui_vek72options.h"
#include "ui_vek72settings.h"
#include "vek72error.h"
#include "widgetsync.h"

using namespace channelwidgets;

namespace {

const char* const settingsGroup = "VEK72";
const char* const keyCustomSignals = "EnableCustomSignals";
const char* const keyAccuracyAc = "AccuracyAC";
const char* const keyAccuracyDc = "AccuracyDC";
const char* const keyAccuracyFreq = "AccuracyFreq";
constexpr int defaultAccuracy = 3;

constexpr quint32 serviceAddress = 0x7F000001u;   // 127.0.0.1, host order
constexpr quint16 servicePort = 11111;
constexpr int frequencyCeiling = 249999;
constexpr double defaultFrequency = 1000.0;

const char* const styleNormal = "QGroupBox { font-weight: normal; } ";
const char* const styleBold = "QGroupBox { font-weight: bold; } ";
const char* const cyclicModeText = "Циклический автогенератор";
const char* const specialTypeText = "Особый";

// A connection that cannot be made leaves a panel dead: the program cannot go on without it.
void require(const QMetaObject::Connection& connection, const char* what)
{
    if (!connection)
        qFatal("Не удалось подключить %s", what);
}

// The module's serial number as its information block holds it (NUL-terminated or full length).
QString serialText(const TVEK72& handle)
{
    return QString::fromLatin1(handle.info.serial, int(qstrnlen(handle.info.serial, VEK72_SERIAL_SIZE)));
}

int frequencyCeilingFor(int checkedChannels)
{
    if (checkedChannels <= 1)
        return 249999;
    if (checkedChannels == 2)
        return 124999;
    if (checkedChannels <= 4)
        return 62499;
    return 31249;
}

} // namespace

ModuleVek72::ModuleVek72()
    : handle(), customSignalsEnabled(false), accuracyAc(defaultAccuracy),
      pendingAccuracyAc(defaultAccuracy), accuracyDc(defaultAccuracy),
      pendingAccuracyDc(defaultAccuracy), accuracyFreq(defaultAccuracy),
      pendingAccuracyFreq(defaultAccuracy), maxFrequency(frequencyCeiling),
      iconPixmap(QStringLiteral(":/icons/vek72.png")), focusedChannel(1), sender(nullptr),
      controlsUi(nullptr), settingsUi(nullptr), infoUi(nullptr), optionsUi(nullptr),
      busyMovie(nullptr), guiHandler(nullptr),
      parameters(vek72ParameterTable())   // 7: a copy of the table, shared until changed
{
    // 1, 2: the modification name, the signals to play and the custom signals' samples start
    // empty. The custom signals get their other values from resetCustomSignals, which createGui
    // runs before any of them can be used.

    // 3, 4: the sender, sharing the handle, the signals to play and the synthesis lock.
    sender = new ModuleSenderVek72(&handle, &outputData, &senderMutex);

    // 5: form structures; their setupUi runs in createGui.
    controlsUi = new Ui::Vek72Controls;
    settingsUi = new Ui::Vek72Settings;
    infoUi = new Ui::Vek72Info;
    optionsUi = new Ui::Vek72Options;

    // 6, 7: the semaphores (0 permits), restartMutex and parameters are members set up above.

    // 8: types that cross threads in queued calls.
    qRegisterMetaType<TVEK72>("TVEK72&");
    qRegisterMetaType<QVector<int>>("QVector<int>&");
    qRegisterMetaType<const QTableWidgetItem*>("const QTableWidgetItem*");

    // 9: a restart request runs restartManual (directly on the module thread, queued otherwise).
    require(connect(this, &ModuleVek72::restart, this, &ModuleVek72::restartManual),
            "restart() -> restartManual()");

    // 10: the sender lives on its own thread and is deleted when that thread finishes.
    sender->moveToThread(&senderThread);
    require(connect(&senderThread, &QThread::finished, sender.data(), &QObject::deleteLater),
            "finished() -> deleteLater()");
    senderThread.start(QThread::InheritPriority);

    // 11
    VEK72_Init(&handle);
}

ModuleVek72::~ModuleVek72()
{
    // 1: end the sender's thread first; its finished() deletes the sender on that thread.
    senderThread.quit();
    senderThread.wait();

    // 2: forms and the objects of the settings panel that the module owns.
    delete controlsUi;
    delete allChannelsCheckBox.data();
    delete allChannelsLayout.data();
    delete busyMovie;
    delete settingsUi;
    delete infoUi;
    delete optionsUi;

    // 4: the handler, and the sender if its thread never got to delete it.
    delete guiHandler;
    delete sender.data();
}

void ModuleVek72::loadSettings(QSettings* settings)
{
    if (!settings)
        return;
    settings->beginGroup(QLatin1String(settingsGroup));
    if (!settings->contains(QLatin1String(keyCustomSignals)))
        settings->setValue(QLatin1String(keyCustomSignals), false);
    customSignalsEnabled = settings->value(QLatin1String(keyCustomSignals), false).toBool();
    const auto readAccuracy = [settings](const char* key) {
        if (!settings->contains(QLatin1String(key)))
            settings->setValue(QLatin1String(key), defaultAccuracy);
        return settings->value(QLatin1String(key), defaultAccuracy).toInt();
    };
    accuracyAc = readAccuracy(keyAccuracyAc);
    accuracyDc = readAccuracy(keyAccuracyDc);
    accuracyFreq = readAccuracy(keyAccuracyFreq);
    settings->endGroup();
}

QString ModuleVek72::name(bool withModification) const
{
    if (withModification) {
        const int code = handle.info.modification;
        if (code >= 1 && code <= 3)
            return QStringLiteral("VEK72-%1-%2").arg(code).arg(handle.info.dacChannelCount);
    }
    return QStringLiteral("VEK72");
}

int ModuleVek72::moduleId() const
{
    return VEK72_MODULE_TYPE;
}

QPixmap ModuleVek72::icon() const
{
    return iconPixmap;
}

void ModuleVek72::createGui(QWidget* settingsHostWidget, QWidget* controlsHostWidget,
                            QWidget* reportHost, QWidget* infoHostWidget,
                            QWidget* optionsHostWidget)
{
    // Every numeric field gets its range and decimals before its value: the forms' default range
    // (0 to 99.99) would clamp the value otherwise.

    // 1: channel patterns over all eight channels of the forms.
    const QString groupPattern = pattern("^groupBoxCh[1-%1]$", panelChannels);
    const QString typePattern = pattern("^comboBoxVoltageTypeCh[1-%1]$", panelChannels);
    const QString rangePattern = pattern("^comboBoxRangeCh[1-%1]$", panelChannels);
    const QString voltagePattern = pattern("^spinBoxVoltageCh[1-%1]$", panelChannels);
    const QString frequencyPattern = pattern("^doubleSpinBoxFrequencyCh[1-%1]$", panelChannels);
    const QString offsetPattern = pattern("^doubleSpinBoxOffsetCh[1-%1]$", panelChannels);

    const ModificationLimits& limits = limitsForModification(handle.info.modification);

    // 2: the panel event handler, on the GUI thread (the thread of the first host given, or the
    // application's thread when there is no host at all).
    delete guiHandler;
    guiHandler = new ModuleVek72GuiHandler(settingsHostWidget, controlsHostWidget, reportHost,
                                           customSignalsEnabled);
    QWidget* anyHost = settingsHostWidget ? settingsHostWidget
                       : controlsHostWidget ? controlsHostWidget
                       : infoHostWidget ? infoHostWidget : optionsHostWidget;
    QThread* guiThread = anyHost ? anyHost->thread()
                                 : (QCoreApplication::instance() ? QCoreApplication::instance()->thread()
                                                                : QThread::currentThread());
    if (guiHandler->thread() != guiThread)
        guiHandler->moveToThread(guiThread);

    // 3
    require(connect(guiHandler, &ModuleVek72GuiHandler::restart, this, &ModuleVek72::restartManual),
            "handler restart()");
    require(connect(this, &ModuleVek72::lockControls, guiHandler, &ModuleVek72GuiHandler::lockControls),
            "lockControls(bool)");

    // 4
    if (customSignalsEnabled) {
        resetCustomSignals();
        require(connect(guiHandler, &ModuleVek72GuiHandler::channelFocused, this,
                        &ModuleVek72::channelFocusedSlot),
                "handler channelFocused(int,bool)");
        require(connect(this, &ModuleVek72::channelFocused, guiHandler,
                        &ModuleVek72GuiHandler::channelFocusedSlot),
                "channelFocused(int)");
    }

    // 5: common settings panel.
    if (settingsHostWidget) {
        settingsHost = settingsHostWidget;
        settingsUi->setupUi(settingsHostWidget);
        Ui::Vek72Settings* ui = settingsUi;

        // 5.1
        allChannelsLayout = new QGridLayout(ui->widgetCustomCheckBox);
        allChannelsLayout->setContentsMargins(0, 0, 0, 0);
        allChannelsCheckBox = new Ui::CustomCheckBox(ui->widgetCustomCheckBox);
        allChannelsCheckBox->setText(QStringLiteral("Все каналы"));
        allChannelsCheckBox->setCheckState(Qt::PartiallyChecked);
        allChannelsLayout->addWidget(allChannelsCheckBox, 0, 0);
        require(connect(allChannelsCheckBox.data(), &QCheckBox::stateChanged, this,
                        &ModuleVek72::on_checkBoxChannels_stateChanged),
                "checkBoxChannels");

        // 5.2: the busy animation runs only while output runs.
        delete busyMovie;
        busyMovie = new QMovie(QStringLiteral(":/wave.gif"));
        busyMovie->jumpToFrame(0);
        QSize frame = busyMovie->currentImage().size();
        frame.scale(ui->labelActive->size(), Qt::KeepAspectRatio);
        busyMovie->setScaledSize(frame);
        ui->labelActive->setMovie(busyMovie);
        ui->labelActive->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
        busyMovie->start();
        busyMovie->setPaused(true);

        // 5.3
        require(connect(ui->comboBoxMode, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                        &ModuleVek72::on_comboBoxMode_currentIndexChanged),
                "comboBoxMode");
        require(connect(ui->pushButtonStartStop, &QPushButton::toggled, this,
                        &ModuleVek72::on_pushButtonStartStop_toggled),
                "pushButtonStartStop");

        // 5.4
        if (customSignalsEnabled)
            ui->comboBoxVoltageType->addItem(QString::fromUtf8(specialTypeText));
        else
            ui->groupBoxCustom->hide();

        // 5.5
        require(connect(ui->comboBoxVoltageType, QOverload<int>::of(&QComboBox::currentIndexChanged),
                        this, &ModuleVek72::on_comboBoxVoltageType_currentIndexChanged),
                "comboBoxVoltageType");
        require(connect(ui->comboBoxRange, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                        &ModuleVek72::on_comboBoxRange_currentIndexChanged),
                "comboBoxRange");
        require(connect(ui->comboBoxDacFreq, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                        &ModuleVek72::on_comboBoxDacFreq_currentIndexChanged),
                "comboBoxDacFreq");

        // 5.6: the minimum is one below the AC range (the "channels differ" value).
        ui->spinBoxVoltage->setMinimum(limits.acBelowMin);
        ui->spinBoxVoltage->setMaximum(limits.acMax / 10);
        ui->spinBoxVoltage->setValue(limits.voltageDefault);
        ui->spinBoxVoltage->installEventFilter(guiHandler);
        require(connect(ui->spinBoxVoltage, QOverload<int>::of(&QSpinBox::valueChanged), this,
                        &ModuleVek72::on_spinBoxVoltage_valueChanged),
                "spinBoxVoltage");

        // 5.7
        ui->doubleSpinBoxFrequency->setMinimum(0);
        ui->doubleSpinBoxFrequency->setMaximum(frequencyCeiling);
        ui->doubleSpinBoxFrequency->setDecimals(accuracyFreq);
        ui->doubleSpinBoxFrequency->setValue(defaultFrequency);
        ui->doubleSpinBoxFrequency->installEventFilter(guiHandler);
        require(connect(ui->doubleSpinBoxFrequency, QOverload<double>::of(&QDoubleSpinBox::valueChanged),
                        this, &ModuleVek72::on_doubleSpinBoxFrequency_valueChanged),
                "doubleSpinBoxFrequency");

        // 5.8
        ui->doubleSpinBoxOffset->setMinimum(limits.offsetBelowMinVolts);
        ui->doubleSpinBoxOffset->setMaximum(limits.offsetMax / 1000.0);
        ui->doubleSpinBoxOffset->setDecimals(accuracyDc);
        ui->doubleSpinBoxOffset->setValue(limits.offsetDefault / 1000.0);
        ui->doubleSpinBoxOffset->installEventFilter(guiHandler);
        require(connect(ui->doubleSpinBoxOffset, QOverload<double>::of(&QDoubleSpinBox::valueChanged),
                        this, &ModuleVek72::on_doubleSpinBoxOffset_valueChanged),
                "doubleSpinBoxOffset");

        // 5.9: the custom-signal group.
        if (customSignalsEnabled) {
            ui->groupBoxCustom->installEventFilter(guiHandler);
            require(connect(ui->comboBoxCustomShape, QOverload<int>::of(&QComboBox::currentIndexChanged),
                            this, &ModuleVek72::on_comboBoxCustomShape_currentIndexChanged),
                    "comboBoxCustomShape");

            ui->spinBoxCustomAmplitude->setMinimum(limits.customAmplitudeMin);
            ui->spinBoxCustomAmplitude->setMaximum(limits.customAmplitudeMax);
            ui->spinBoxCustomAmplitude->setValue(limits.customAmplitudeDefault);
            ui->spinBoxCustomAmplitude->installEventFilter(guiHandler);
            require(connect(ui->spinBoxCustomAmplitude, QOverload<int>::of(&QSpinBox::valueChanged),
                            this, &ModuleVek72::on_spinBoxCustomAmplitude_valueChanged),
                    "spinBoxCustomAmplitude");

            ui->doubleSpinBoxCustomFrequency->setMinimum(1);
            ui->doubleSpinBoxCustomFrequency->setMaximum(frequencyCeiling);
            ui->doubleSpinBoxCustomFrequency->setDecimals(accuracyFreq);
            ui->doubleSpinBoxCustomFrequency->setValue(defaultFrequency);
            ui->doubleSpinBoxCustomFrequency->installEventFilter(guiHandler);
            require(connect(ui->doubleSpinBoxCustomFrequency,
                            QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
                            &ModuleVek72::on_doubleSpinBoxCustomFrequency_valueChanged),
                    "doubleSpinBoxCustomFrequency");

            ui->spinBoxCustomOffset->setMinimum(limits.offsetMin);
            ui->spinBoxCustomOffset->setMaximum(limits.offsetMax);
            ui->spinBoxCustomOffset->setValue(limits.offsetDefault);
            ui->spinBoxCustomOffset->installEventFilter(guiHandler);
            require(connect(ui->spinBoxCustomOffset, QOverload<int>::of(&QSpinBox::valueChanged), this,
                            &ModuleVek72::on_spinBoxCustomOffset_valueChanged),
                    "spinBoxCustomOffset");
        }
    }

    // 6: the eight channel group boxes.
    if (controlsHostWidget) {
        controlsHost = controlsHostWidget;
        controlsUi->setupUi(controlsHostWidget);

        for (QGroupBox* group : all<QGroupBox>(controlsHostWidget, groupPattern)) {
            if (customSignalsEnabled) {
                group->setStyleSheet(QLatin1String(styleBold));
                group->setStyleSheet(QLatin1String(styleNormal));
                group->installEventFilter(guiHandler);
            }
            require(connect(group, &QGroupBox::toggled, this, &ModuleVek72::on_groupBoxChX_toggled),
                    "groupBoxChN");
        }
        for (QComboBox* combo : all<QComboBox>(controlsHostWidget, typePattern)) {
            if (customSignalsEnabled) {
                combo->addItem(QString::fromUtf8(specialTypeText));
                combo->installEventFilter(guiHandler);
                for (QObject* child : combo->children())
                    child->installEventFilter(guiHandler);
            }
            require(connect(combo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                            &ModuleVek72::on_comboBoxVoltageTypeChX_currentIndexChanged),
                    "comboBoxVoltageTypeChN");
        }
        for (QComboBox* combo : all<QComboBox>(controlsHostWidget, rangePattern)) {
            if (customSignalsEnabled) {
                combo->installEventFilter(guiHandler);
                for (QObject* child : combo->children())
                    child->installEventFilter(guiHandler);
            }
            require(connect(combo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                            &ModuleVek72::on_comboBoxRangeChX_currentIndexChanged),
                    "comboBoxRangeChN");
        }
        for (QSpinBox* box : all<QSpinBox>(controlsHostWidget, voltagePattern)) {
            box->setMinimum(limits.acMin);
            box->setMaximum(limits.acMax / 10);
            box->setValue(limits.voltageDefault);
            box->installEventFilter(guiHandler);
            require(connect(box, QOverload<int>::of(&QSpinBox::valueChanged), this,
                            &ModuleVek72::on_spinBoxVoltageChX_valueChanged),
                    "spinBoxVoltageChN");
        }
        for (QDoubleSpinBox* box : all<QDoubleSpinBox>(controlsHostWidget, frequencyPattern)) {
            box->setMinimum(1);
            box->setMaximum(frequencyCeiling);
            box->setDecimals(accuracyFreq);
            box->setValue(defaultFrequency);
            box->installEventFilter(guiHandler);
            require(connect(box, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
                            &ModuleVek72::on_doubleSpinBoxFrequencyChX_valueChanged),
                    "doubleSpinBoxFrequencyChN");
        }
        for (QDoubleSpinBox* box : all<QDoubleSpinBox>(controlsHostWidget, offsetPattern)) {
            box->setMinimum(limits.offsetMin / 1000.0);
            box->setMaximum(limits.offsetMax / 1000.0);
            box->setDecimals(accuracyDc);
            box->setValue(limits.offsetDefault / 1000.0);
            box->installEventFilter(guiHandler);
            require(connect(box, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
                            &ModuleVek72::on_doubleSpinBoxOffsetChX_valueChanged),
                    "doubleSpinBoxOffsetChN");
        }
    }

    // 7
    if (infoHostWidget) {
        infoHost = infoHostWidget;
        infoUi->setupUi(infoHostWidget);
    }

    // 8
    if (optionsHostWidget) {
        optionsHost = optionsHostWidget;
        optionsUi->setupUi(optionsHostWidget);
        optionsUi->spinBoxAccuracyAC->setRange(0, 6);
        optionsUi->spinBoxAccuracyDC->setRange(0, 6);
        optionsUi->spinBoxAccuracyFreq->setRange(0, 6);
        optionsUi->labelAccuracyError->hide();
        optionsUi->spinBoxAccuracyError->hide();
        require(connect(optionsUi->spinBoxAccuracyAC, QOverload<int>::of(&QSpinBox::valueChanged), this,
                        &ModuleVek72::on_spinBoxAccuracyAC_valueChanged),
                "spinBoxAccuracyAC");
        require(connect(optionsUi->spinBoxAccuracyDC, QOverload<int>::of(&QSpinBox::valueChanged), this,
                        &ModuleVek72::on_spinBoxAccuracyDC_valueChanged),
                "spinBoxAccuracyDC");
        require(connect(optionsUi->spinBoxAccuracyFreq, QOverload<int>::of(&QSpinBox::valueChanged), this,
                        &ModuleVek72::on_spinBoxAccuracyFreq_valueChanged),
                "spinBoxAccuracyFreq");
    }
}

// Connecting to the module (steps numbered as the connection procedure of the module):
//  1. VEK72_Open;  2. serial and firmware on the information page;  3. the value fields'
//  connections are removed during the set-up;  4. custom signals reset;  5. limits and values of
//  the common controls;  6. channel group boxes beyond the module's channel count unchecked and
//  disabled;  7. frequency ceiling;  8. modification name and range selectors;  9. limits and
//  values of the channel fields;  10. the custom-signal fields;  11. connections restored.
// The panel steps (2, 3, 5 to 11) run on the GUI thread in one piece; the name is set after them.
// Not done here yet: the common range, voltage, frequency and offset recomputed from the channels
// (step 9), which comes with the panel logic.
bool ModuleVek72::open(QString& crateSerial, quint16 slot)
{
    const QByteArray crate = crateSerial.toUtf8();
    const int result = VEK72_Open(&handle, serviceAddress, servicePort, crate.constData(), slot);
    if (result != VEK72_OK) {
        logVek72Error(QStringLiteral("Не удалось установить связь с модулем. Ошибка %1 (%2)"), result);
        return false;
    }

    const int code = handle.info.modification;
    const int channels = qBound(0, int(handle.info.dacChannelCount), panelChannels);

    // 4
    if (customSignalsEnabled)
        resetCustomSignals();

    // The handler lives on the GUI thread as long as the panels: if this wait ends by time-out and
    // the module object goes away, the queued set-up is dropped with the handler.
    if (guiHandler
        && !widgetsync::runOn(guiHandler, [this, code, channels] { preparePanelsForModule(code, channels); }))
        qWarning().noquote() << QStringLiteral("Панели модуля не подготовлены: интерфейс не ответил вовремя");

    // 8. The name of another module opened before must not stay with one of an unknown code.
    if (code < 1 || code > 3) {
        modificationName.clear();
        qCritical().noquote() << QStringLiteral("Неизвестный тип модуля");
        return false;
    }
    modificationName = name(true);
    return true;
}

void ModuleVek72::preparePanelsForModule(int code, int channels)
{
    const ModificationLimits& limits = limitsForModification(code);

    // 2
    if (infoHost) {
        infoUi->lineEditModuleSerial->setText(serialText(handle));
        infoUi->lineEditModuleFirmware->setText(QString::number(handle.info.firmware));
    }

    // 3
    linkValueFields(false);

    // 5
    if (settingsHost) {
        Ui::Vek72Settings* ui = settingsUi;
        const VoltageTypeCode type = voltageTypeFromText(ui->comboBoxVoltageType->currentText());
        if (type != VoltageTypeOther) {
            ui->comboBoxRange->setItemText(0, rangeItemText(limits, type, 0));
            ui->comboBoxRange->setItemText(1, rangeItemText(limits, type, 1));
            if (code == 2)
                ui->comboBoxRange->setCurrentIndex(1);
            ui->spinBoxVoltage->setMinimum(type == VoltageTypeAc ? limits.acBelowMin : limits.dcBelowMin);
            ui->spinBoxVoltage->setMaximum(
                voltageMaximum(limits, type, rangeCodeFromText(limits, ui->comboBoxRange->currentText()),
                               ui->spinBoxVoltage->maximum()));
        }
        ui->spinBoxVoltage->setValue(limits.voltageDefault);
        ui->doubleSpinBoxFrequency->setRange(0, frequencyCeiling);
        ui->doubleSpinBoxFrequency->setValue(defaultFrequency);
        ui->doubleSpinBoxOffset->setMinimum(limits.offsetBelowMinVolts);
        ui->doubleSpinBoxOffset->setMaximum(limits.offsetMax / 1000.0);
        ui->doubleSpinBoxOffset->setValue(limits.offsetDefault / 1000.0);
    }

    if (controlsHost) {
        // 6, 7
        int checked = 0;
        for (int n = 1; n <= panelChannels; ++n) {
            QGroupBox* group = ofChannel<QGroupBox>(controlsHost, "^groupBoxCh%1$", n);
            if (!group)
                continue;
            if (n <= channels) {
                group->setEnabled(true);
                if (group->isChecked())
                    ++checked;
            } else {
                if (group->isChecked()) {
                    skipChannelEnable.release();
                    group->setChecked(false);
                }
                group->setEnabled(false);
            }
        }
        maxFrequency = frequencyCeilingFor(checked);

        // 8
        if (code == 1 || code == 2) {
            for (int n = 1; n <= panelChannels; ++n) {
                auto* range = ofChannel<QComboBox>(controlsHost, "^comboBoxRangeCh%1$", n);
                auto* typeBox = ofChannel<QComboBox>(controlsHost, "^comboBoxVoltageTypeCh%1$", n);
                if (!range || !typeBox)
                    continue;
                const VoltageTypeCode type = voltageTypeFromText(typeBox->currentText());
                if (type != VoltageTypeOther) {
                    range->setItemText(0, rangeItemText(limits, type, 0));
                    range->setItemText(1, rangeItemText(limits, type, 1));
                }
                if (code == 2 && range->currentIndex() != 1) {
                    skipChannelRange.release();
                    range->setCurrentIndex(1);
                }
                range->setEnabled(code == 1);
            }
        }

        // 9. The value fields are disconnected, so no echo comes and no permit is released. The
        // frequency and offset ranges are set for every channel, also one of the special type,
        // so that a later switch to AC finds the ranges of this module.
        for (int n = 1; n <= panelChannels; ++n) {
            auto* typeBox = ofChannel<QComboBox>(controlsHost, "^comboBoxVoltageTypeCh%1$", n);
            auto* range = ofChannel<QComboBox>(controlsHost, "^comboBoxRangeCh%1$", n);
            auto* voltage = ofChannel<QSpinBox>(controlsHost, "^spinBoxVoltageCh%1$", n);
            auto* frequency = ofChannel<QDoubleSpinBox>(controlsHost, "^doubleSpinBoxFrequencyCh%1$", n);
            auto* offset = ofChannel<QDoubleSpinBox>(controlsHost, "^doubleSpinBoxOffsetCh%1$", n);
            const VoltageTypeCode type = typeBox ? voltageTypeFromText(typeBox->currentText())
                                                 : VoltageTypeOther;
            if (voltage && type != VoltageTypeOther) {
                voltage->setMinimum(type == VoltageTypeAc ? limits.acMin : limits.dcMin);
                voltage->setMaximum(voltageMaximum(limits, type,
                                                   range ? rangeCodeFromText(limits, range->currentText()) : 0,
                                                   voltage->maximum()));
                if (voltage->value() != limits.voltageDefault)
                    voltage->setValue(limits.voltageDefault);
            }
            if (frequency) {
                frequency->setRange(1, frequencyCeiling);
                frequency->setValue(defaultFrequency);
            }
            if (offset) {
                offset->setRange(limits.offsetMin / 1000.0, limits.offsetMax / 1000.0);
                offset->setValue(limits.offsetDefault / 1000.0);
            }
        }
    }

    if (settingsHost) {
        Ui::Vek72Settings* ui = settingsUi;
        // 8: the common range selector follows the channels' state by modification.
        if (code == 1)
            ui->comboBoxRange->setEnabled(true);
        else if (code == 2)
            ui->comboBoxRange->setEnabled(false);

        // 10
        if (customSignalsEnabled) {
            ui->spinBoxCustomAmplitude->setRange(limits.customAmplitudeMin, limits.customAmplitudeMax);
            ui->spinBoxCustomAmplitude->setValue(limits.customAmplitudeDefault);
            ui->doubleSpinBoxCustomFrequency->setRange(1, frequencyCeiling);
            ui->doubleSpinBoxCustomFrequency->setValue(defaultFrequency);
            ui->spinBoxCustomOffset->setRange(limits.offsetMin, limits.offsetMax);
            ui->spinBoxCustomOffset->setValue(limits.offsetDefault);
        }
    }

    // 11: restored also for an unknown modification, so that the panels stay alive.
    linkValueFields(true);
}

// Makes or removes the connections of the numeric value fields, common and per channel. Making
// them is unique: a field whose connection is still there keeps just the one.
void ModuleVek72::linkValueFields(bool linked)
{
    const auto link = [this, linked](auto* field, auto signal, auto slot) {
        if (linked)
            connect(field, signal, this, slot, Qt::UniqueConnection);
        else
            disconnect(field, signal, this, slot);
    };
    const auto intChanged = QOverload<int>::of(&QSpinBox::valueChanged);
    const auto doubleChanged = QOverload<double>::of(&QDoubleSpinBox::valueChanged);
    if (settingsHost) {
        link(settingsUi->spinBoxVoltage, intChanged, &ModuleVek72::on_spinBoxVoltage_valueChanged);
        link(settingsUi->doubleSpinBoxFrequency, doubleChanged, &ModuleVek72::on_doubleSpinBoxFrequency_valueChanged);
        link(settingsUi->doubleSpinBoxOffset, doubleChanged, &ModuleVek72::on_doubleSpinBoxOffset_valueChanged);
    }
    for (QSpinBox* box : all<QSpinBox>(controlsHost, pattern("^spinBoxVoltageCh[1-%1]$", panelChannels)))
        link(box, intChanged, &ModuleVek72::on_spinBoxVoltageChX_valueChanged);
    for (QDoubleSpinBox* box : all<QDoubleSpinBox>(controlsHost, pattern("^doubleSpinBoxFrequencyCh[1-%1]$", panelChannels)))
        link(box, doubleChanged, &ModuleVek72::on_doubleSpinBoxFrequencyChX_valueChanged);
    for (QDoubleSpinBox* box : all<QDoubleSpinBox>(controlsHost, pattern("^doubleSpinBoxOffsetCh[1-%1]$", panelChannels)))
        link(box, doubleChanged, &ModuleVek72::on_doubleSpinBoxOffsetChX_valueChanged);
}

QString ModuleVek72::serial() const
{
    if (!isOpened())
        return QStringLiteral("?");
    return serialText(handle);
}

void ModuleVek72::resetOptions()
{
    pendingAccuracyAc = accuracyAc;
    pendingAccuracyDc = accuracyDc;
    pendingAccuracyFreq = accuracyFreq;
    if (!optionsHost)
        return;
    Ui::Vek72Options* ui = optionsUi;
    const int ac = accuracyAc, dc = accuracyDc, freq = accuracyFreq;
    widgetsync::runOn(optionsHost, [ui, ac, dc, freq] {
        ui->spinBoxAccuracyAC->setValue(ac);
        ui->spinBoxAccuracyDC->setValue(dc);
        ui->spinBoxAccuracyFreq->setValue(freq);
    });
}

void ModuleVek72::applyOptions(QSettings* settings)
{
    // The page's spin boxes are the edited values. Their slots copy every change into the pending
    // values on the module thread; reading the page here as well keeps an edit made just before
    // OK from being lost while its slot call is still on the way.
    if (optionsHost && widgetsync::onThreadOf(optionsHost)) {
        pendingAccuracyAc = optionsUi->spinBoxAccuracyAC->value();
        pendingAccuracyDc = optionsUi->spinBoxAccuracyDC->value();
        pendingAccuracyFreq = optionsUi->spinBoxAccuracyFreq->value();
    }
    accuracyAc = pendingAccuracyAc;
    accuracyDc = pendingAccuracyDc;
    accuracyFreq = pendingAccuracyFreq;

    if (settings) {
        settings->beginGroup(QLatin1String(settingsGroup));
        settings->setValue(QLatin1String(keyAccuracyAc), accuracyAc);
        settings->setValue(QLatin1String(keyAccuracyDc), accuracyDc);
        settings->setValue(QLatin1String(keyAccuracyFreq), accuracyFreq);
        settings->endGroup();
    }

    const int freqDecimals = accuracyFreq;
    const int dcDecimals = accuracyDc;
    if (settingsHost) {
        Ui::Vek72Settings* ui = settingsUi;
        widgetsync::runOn(settingsHost, [ui, freqDecimals, dcDecimals] {
            ui->doubleSpinBoxFrequency->setDecimals(freqDecimals);
            ui->doubleSpinBoxCustomFrequency->setDecimals(freqDecimals);
            ui->doubleSpinBoxOffset->setDecimals(dcDecimals);
        });
    }
    if (controlsHost) {
        QPointer<QWidget> host = controlsHost;
        widgetsync::runOn(controlsHost, [host, freqDecimals, dcDecimals] {
            if (!host)
                return;
            for (QDoubleSpinBox* box : all<QDoubleSpinBox>(
                     host, pattern("^doubleSpinBoxFrequencyCh[1-%1]$", panelChannels)))
                box->setDecimals(freqDecimals);
            for (QDoubleSpinBox* box : all<QDoubleSpinBox>(
                     host, pattern("^doubleSpinBoxOffsetCh[1-%1]$", panelChannels)))
                box->setDecimals(dcDecimals);
        });
    }
}

bool ModuleVek72::setParameter(QString& name, double value)
{
    Q_UNUSED(value)   // no parameter of this module stores a value
    return selectParameter(parameters, name);
}

bool ModuleVek72::checkParameter(QString& name, double value, QString& errorText)
{
    Q_UNUSED(value)
    errorText = QStringLiteral("Неизвестный параметр %1").arg(name);
    return false;
}

bool ModuleVek72::isOpened() const
{
    return VEK72_IsOpened(const_cast<TVEK72*>(&handle)) == VEK72_OK;
}

bool ModuleVek72::start(bool suppress)
{
    if (suppress)
        return false;
    if (!startStopPressed())
        return true;
    const bool cyclic = modeText() == QString::fromUtf8(cyclicModeText);
    if (!applyConfiguration(cyclic)) {
        // The button goes back to "Старт"; its slot stops whatever still runs.
        if (settingsHost)
            widgetsync::setChecked(settingsUi->pushButtonStartStop, false);
        return true;
    }
    if (!sender || !sender->startOutput())
        return true;
    if (busyMovie)
        widgetsync::set(busyMovie, "setPaused", "bool", false);
    return true;
}

bool ModuleVek72::isRunning() const
{
    return sender && sender->isRunning();
}

bool ModuleVek72::stop()
{
    if (busyMovie)
        widgetsync::set(busyMovie, "setPaused", "bool", true);
    return sender ? sender->stopOutput() : false;
}

bool ModuleVek72::close()
{
    if (!zeroOutputs()) {
        qCritical().noquote() << QStringLiteral("Не удалось выставить нули на всех выходах модуля");
        return false;
    }
    const int result = VEK72_Close(&handle);
    if (result != VEK72_OK) {
        logVek72Error(QStringLiteral("Не удалось завершить работу с модулем. Ошибка %1 (%2)"), result);
        return false;
    }
    return true;
}

// Drives every output of the module to zero: a configuration without enabled channels.
bool ModuleVek72::zeroOutputs()
{
    {
        QMutexLocker lock(&senderMutex);
        outputData.clear();
    }
    const int channels = qBound(0, int(handle.info.dacChannelCount), VEK72_MAX_CHANNELS);
    for (int i = 0; i < channels; ++i)
        handle.config.channel[i].enabled = 0;
    handle.config.outputMode = 0;
    handle.config.dacEnable = 1;
    VEK72_FillOutFreq(&handle.config, 48000.0, nullptr);
    const int result = VEK72_Configure(&handle);
    if (result != VEK72_OK) {
        logVek72Error(QStringLiteral("Не удалось установить настройки ЦАП: Ошибка %1 (%2)"), result);
        return false;
    }
    return true;
}

// Building the library configuration and the channel signals from the panels comes with the
// configuration of the output; until then a start is refused and the button goes back.
bool ModuleVek72::applyConfiguration(bool cyclic)
{
    Q_UNUSED(cyclic)
    qCritical().noquote() << QStringLiteral("Настройка вывода ЦАП ещё не реализована");
    return false;
}

const QString* ModuleVek72::infoValue(QString& key) const
{
    return key == QLatin1String("Modification") ? &modificationName : nullptr;
}

int ModuleVek72::pendingAccuracy(int which) const
{
    return which == 0 ? pendingAccuracyAc : which == 1 ? pendingAccuracyDc : pendingAccuracyFreq;
}

int ModuleVek72::echoPermits(int family) const
{
    const QSemaphore* const families[] = {
        &skipAllChannels, &skipVoltageType, &skipRange, &skipVoltage, &skipFrequency, &skipOffset,
        &skipChannelEnable, &skipChannelVoltageType, &skipChannelRange, &skipChannelVoltage,
        &skipChannelFrequency, &skipChannelOffset,
    };
    if (family < 0 || family >= int(sizeof(families) / sizeof(families[0])))
        return 0;
    return families[family]->available();
}

void ModuleVek72::resetCustomSignals()
{
    const ModificationLimits& limits = limitsForModification(handle.info.modification);
    for (int i = 0; i < panelChannels; ++i) {
        ChannelSignal& custom = customSignals[i];
        custom.channel = i + 1;
        custom.shape = ChannelSignal::Sine;
        custom.amplitude = limits.customAmplitudeDefault / 1000.0;
        custom.frequency = defaultFrequency;
        custom.offset = limits.offsetDefault / 1000.0;
    }
}

bool ModuleVek72::startStopPressed() const
{
    if (!settingsHost)
        return false;
    QPushButton* button = settingsUi->pushButtonStartStop;
    return widgetsync::query<bool>(button, [button] { return button->isChecked(); }, false);
}

QString ModuleVek72::modeText() const
{
    if (!settingsHost)
        return QString();
    QComboBox* mode = settingsUi->comboBoxMode;
    return widgetsync::query<QString>(mode, [mode] { return mode->currentText(); }, QString());
}

// A restart request: with the start/stop button pressed, stop and start again with the
// configuration the panels show now, behind the wait box.
void ModuleVek72::restartManual()
{
    QMutexLocker lock(&restartMutex);
    if (!startStopPressed())
        return;
    emit lockControls(true);
    if (isRunning())
        stop();
    start(false);
    emit lockControls(false);
}

void ModuleVek72::channelFocusedSlot(int channel, bool enabled)
{
    if (channel < 1 || channel > panelChannels)
        return;
    focusedChannel = channel;
    if (!enabled || !settingsHost)
        return;
    const ChannelSignal& custom = customSignals[channel - 1];
    const int shape = custom.shape;
    const int amplitude = int(custom.amplitude * 1000);
    const double frequency = custom.frequency;
    const int offset = int(custom.offset * 1000);
    widgetsync::set(settingsUi->comboBoxCustomShape, "setCurrentIndex", "int", shape);
    widgetsync::set(settingsUi->spinBoxCustomAmplitude, "setValue", "int", amplitude);
    widgetsync::set(settingsUi->doubleSpinBoxCustomFrequency, "setValue", "double", frequency);
    widgetsync::set(settingsUi->spinBoxCustomOffset, "setValue", "int", offset);
}

void ModuleVek72::on_pushButtonStartStop_toggled(bool checked)
{
    if (!settingsHost)
        return;
    const QString text = checked ? QStringLiteral("Стоп") : QStringLiteral("Старт");
    QPushButton* button = settingsUi->pushButtonStartStop;
    widgetsync::post(button, [button, text] { button->setText(text); });
    if (checked)
        emit restart();
    else if (isRunning())
        stop();
}

void ModuleVek72::on_spinBoxAccuracyAC_valueChanged(int value)
{
    pendingAccuracyAc = value;
}

void ModuleVek72::on_spinBoxAccuracyDC_valueChanged(int value)
{
    pendingAccuracyDc = value;
}

void ModuleVek72::on_spinBoxAccuracyFreq_valueChanged(int value)
{
    pendingAccuracyFreq = value;
}

// The panel slots below consume the echo of the module's own widget changes; what they do with
// an operator's edit comes with the panel logic.
void ModuleVek72::on_checkBoxChannels_stateChanged(int)
{
    if (skipAllChannels.tryAcquire(1))
        return;
}

void ModuleVek72::on_comboBoxMode_currentIndexChanged(int)
{
    // Behaviour comes with the panel logic.
}

void ModuleVek72::on_comboBoxVoltageType_currentIndexChanged(int)
{
    if (skipVoltageType.tryAcquire(1))
        return;
}

void ModuleVek72::on_comboBoxRange_currentIndexChanged(int)
{
    if (skipRange.tryAcquire(1))
        return;
}

void ModuleVek72::on_comboBoxDacFreq_currentIndexChanged(int)
{
    // Behaviour comes with the panel logic.
}

void ModuleVek72::on_spinBoxVoltage_valueChanged(int)
{
    if (skipVoltage.tryAcquire(1))
        return;
}

void ModuleVek72::on_doubleSpinBoxFrequency_valueChanged(double)
{
    if (skipFrequency.tryAcquire(1))
        return;
}

void ModuleVek72::on_doubleSpinBoxOffset_valueChanged(double)
{
    if (skipOffset.tryAcquire(1))
        return;
}

void ModuleVek72::on_comboBoxCustomShape_currentIndexChanged(int)
{
    // Behaviour comes with the panel logic.
}

void ModuleVek72::on_spinBoxCustomAmplitude_valueChanged(int)
{
    // Behaviour comes with the panel logic.
}

void ModuleVek72::on_doubleSpinBoxCustomFrequency_valueChanged(double)
{
    // Behaviour comes with the panel logic.
}

void ModuleVek72::on_spinBoxCustomOffset_valueChanged(int)
{
    // Behaviour comes with the panel logic.
}

void ModuleVek72::on_groupBoxChX_toggled(bool)
{
    if (skipChannelEnable.tryAcquire(1))
        return;
}

void ModuleVek72::on_comboBoxVoltageTypeChX_currentIndexChanged(int)
{
    if (skipChannelVoltageType.tryAcquire(1))
        return;
}

void ModuleVek72::on_comboBoxRangeChX_currentIndexChanged(int)
{
    if (skipChannelRange.tryAcquire(1))
        return;
}

void ModuleVek72::on_spinBoxVoltageChX_valueChanged(int)
{
    if (skipChannelVoltage.tryAcquire(1))
        return;
}

void ModuleVek72::on_doubleSpinBoxFrequencyChX_valueChanged(double)
{
    if (skipChannelFrequency.tryAcquire(1))
        return;
}

void ModuleVek72::on_doubleSpinBoxOffsetChX_valueChanged(double)
{
    if (skipChannelOffset.tryAcquire(1))
        return;
}
