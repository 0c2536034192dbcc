// The common controls of the settings panel: mode, start/stop, the all-channels box, and the
// voltage type, range, voltage, frequency and offset that act on every enabled channel at once;
// the custom-signal group of the focused channel; the accuracy boxes of the options page.
//
// Each slot runs on the module thread: it consumes the echo of the module's own changes and then
// runs its work on the panels' thread (onPanels), where it reads and changes the widgets directly.
// The values one below a field's real range ("-") mean that the channels disagree: they are never
// copied into channels, and an operator who steps onto one is moved back to the real minimum.
#include "modulevek72.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QPushButton>
#include <QSpinBox>

#include "ui_vek72controls.h"
#include "ui_vek72settings.h"

using namespace channelwidgets;

namespace {

const char* const shapeTexts[] = { "Синус", "Треугольник", "Пила", "Импульс", "Линия" };

} // namespace

void ModuleVek72::on_comboBoxMode_currentIndexChanged(int)
{
    onPanels([this] { return restartWhenOn(); });
}

void ModuleVek72::on_comboBoxDacFreq_currentIndexChanged(int)
{
    onPanels([this] { return restartWhenOn(); });
}

void ModuleVek72::on_pushButtonStartStop_toggled(bool checked)
{
    onPanels([this, checked] {
        settingsUi->pushButtonStartStop->setText(checked ? QStringLiteral("Стоп") : QStringLiteral("Старт"));
        return 0;
    });
    if (checked) {
        emit restart();
        return;
    }
    // Stopped by the operator: the outputs do not stay at whatever level the signals had reached.
    if (isRunning())
        stop();
    zeroAfterStop();
}

void ModuleVek72::on_checkBoxChannels_stateChanged(int state)
{
    unlessEcho(skipAllChannels, [this, state] { return allChannelsChanged(state); });
}

int ModuleVek72::allChannelsChanged(int state)
{
    // A partial state (set by the program only) counts as unchecked.
    const bool target = state == Qt::Checked;
    if (!target && customSignalsEnabled) {
        if (QGroupBox* focused = channelWidget<QGroupBox>("^groupBoxCh%1$", focusedChannel))
            focused->setStyleSheet(groupNormal());
        settingsUi->groupBoxCustom->setEnabled(false);
    }

    const QList<QGroupBox*> groups = channelWidgets<QGroupBox>("^groupBoxCh[1-%1]$");
    for (QGroupBox* group : groups) {
        if (group->isEnabled() && group->isChecked() != target)
            setQuietly(skipChannelEnable, group, target);
    }
    syncAllChannelsBox(nullptr);

    bool anyChecked = false;
    for (QGroupBox* group : groups)
        anyChecked = anyChecked || group->isChecked();
    if (!anyChecked) {
        // Nothing left to play: the button's own slot shows "Старт" and stops the output.
        settingsUi->pushButtonStartStop->setChecked(false);
        return 0;
    }

    for (QGroupBox* group : groups) {
        if (group->isChecked())
            copyCommonInto(number(group, "^groupBoxCh(\\d)$"), false);
    }
    syncCommonVoltageType(nullptr);
    syncCommonRange(nullptr);
    syncCommonVoltage(nullptr);
    syncCommonFrequency(nullptr);
    syncCommonOffset(nullptr);
    return restartWhenOn();
}

// Copies what the common controls show into channel N. The type and range are set with their
// echo live, so that the channel's own type and range slots apply them afterwards, unless
// `applyTypeAndRange` asks to apply them here, announced (a channel just switched on). Values the
// common fields show as "-" are not copied; frequency and offset only for AC.
int ModuleVek72::copyCommonInto(int channel, bool applyTypeAndRange)
{
    int restarts = 0;
    Ui::Vek72Settings* ui = settingsUi;
    const auto copyItem = [&](QComboBox* common, QComboBox* own, QSemaphore& skip, bool isType) {
        if (!own || common->currentIndex() < 0 || own->currentText() == common->currentText())
            return;
        const int index = itemIndex(own, common->currentText());
        if (index < 0)
            return;
        if (!applyTypeAndRange) {
            own->setCurrentIndex(index);
            return;
        }
        setQuietly(skip, own, index);
        if (isType)
            applyChannelType(own, index);
        else
            restarts += applyChannelRange(own, index);
    };
    copyItem(ui->comboBoxVoltageType, channelWidget<QComboBox>("^comboBoxVoltageTypeCh%1$", channel),
             skipChannelVoltageType, true);
    copyItem(ui->comboBoxRange, channelWidget<QComboBox>("^comboBoxRangeCh%1$", channel),
             skipChannelRange, false);

    const ModificationLimits& lim = limits();
    const VoltageTypeCode type = commonType();
    const int voltage = ui->spinBoxVoltage->value();
    if ((type == VoltageTypeDc && voltage != lim.dcBelowMin) || (type == VoltageTypeAc && voltage != lim.acBelowMin))
        setQuietly(skipChannelVoltage, channelWidget<QSpinBox>("^spinBoxVoltageCh%1$", channel), voltage);
    if (type == VoltageTypeAc) {
        if (ui->doubleSpinBoxFrequency->value() != 0)
            setQuietly(skipChannelFrequency, channelWidget<QDoubleSpinBox>("^doubleSpinBoxFrequencyCh%1$", channel),
                       ui->doubleSpinBoxFrequency->value());
        if (ui->doubleSpinBoxOffset->value() != lim.offsetBelowMinVolts)
            setQuietly(skipChannelOffset, channelWidget<QDoubleSpinBox>("^doubleSpinBoxOffsetCh%1$", channel),
                       ui->doubleSpinBoxOffset->value());
    }
    return restarts;
}

void ModuleVek72::on_comboBoxVoltageType_currentIndexChanged(int index)
{
    // No item (the channels' types differ) is not a choice: nothing to do.
    unlessEcho(skipVoltageType, [this, index] { return index == -1 ? 0 : commonVoltageTypeChanged(index); });
}

int ModuleVek72::commonVoltageTypeChanged(int index)
{
    Ui::Vek72Settings* ui = settingsUi;
    const ModificationLimits& lim = limits();
    const QString text = ui->comboBoxVoltageType->itemText(index);
    const VoltageTypeCode type = voltageTypeFromText(text);
    if (type != VoltageTypeOther) {
        prepareCommonVoltage(type);
        ui->doubleSpinBoxFrequency->setEnabled(type == VoltageTypeAc);
        ui->doubleSpinBoxOffset->setEnabled(type == VoltageTypeAc);
        if (type == VoltageTypeAc)
            setQuietly(skipOffset, ui->doubleSpinBoxOffset, lim.offsetDefault / 1000.0);
    } else if (customSignalsEnabled && text == specialTypeText()) {
        ui->spinBoxVoltage->setEnabled(false);
        ui->doubleSpinBoxFrequency->setEnabled(false);
        ui->doubleSpinBoxOffset->setEnabled(false);
    }

    int lastAdjusted = 0;
    for (QComboBox* typeCombo : channelWidgets<QComboBox>("^comboBoxVoltageTypeCh[1-%1]$")) {
        if (!typeCombo->isEnabled())
            continue;
        setQuietly(skipChannelVoltageType, typeCombo, index);
        lastAdjusted = number(typeCombo, "^comboBoxVoltageTypeCh(\\d)$");
        adjustChannelToType(lastAdjusted, index);
    }
    if (lastAdjusted) {
        syncCommonRange(channelWidget<QComboBox>("^comboBoxRangeCh%1$", lastAdjusted));
        // The channels keep the frequencies they had under another type: the common fields show
        // what the channels hold now, not what they showed before.
        syncCommonVoltage(channelWidget<QSpinBox>("^spinBoxVoltageCh%1$", lastAdjusted));
        syncCommonFrequency(channelWidget<QDoubleSpinBox>("^doubleSpinBoxFrequencyCh%1$", lastAdjusted));
        syncCommonOffset(channelWidget<QDoubleSpinBox>("^doubleSpinBoxOffsetCh%1$", lastAdjusted));
    }
    return restartWhenOn();
}

void ModuleVek72::on_comboBoxRange_currentIndexChanged(int index)
{
    unlessEcho(skipRange, [this, index] { return index == -1 ? 0 : commonRangeChanged(index); });
}

int ModuleVek72::commonRangeChanged(int index)
{
    const VoltageTypeCode type = commonType();
    if (type != VoltageTypeOther)
        prepareCommonVoltage(type);
    // Every channel, switched on or not, takes the range.
    for (QComboBox* range : channelWidgets<QComboBox>("^comboBoxRangeCh[1-%1]$")) {
        setQuietly(skipChannelRange, range, index);
        resetChannelVoltage(number(range, "^comboBoxRangeCh(\\d)$"));
    }
    return restartWhenOn();
}

void ModuleVek72::on_spinBoxVoltage_valueChanged(int value)
{
    unlessEcho(skipVoltage, [this, value] { return commonVoltageChanged(value); });
}

void ModuleVek72::on_doubleSpinBoxFrequency_valueChanged(double value)
{
    unlessEcho(skipFrequency, [this, value] { return commonFrequencyChanged(value); });
}

void ModuleVek72::on_doubleSpinBoxOffset_valueChanged(double value)
{
    unlessEcho(skipOffset, [this, value] { return commonOffsetChanged(value); });
}

// A common value goes into every enabled channel field of its family. The value one below the
// range ("-") is no value: the common field goes back to the real minimum, and the channels take
// that minimum like any value the operator enters. A channel whose range holds less than the
// value takes its own maximum, and the common field then shows "-": it never shows a value the
// channels do not hold.
template <typename Box, typename V>
int ModuleVek72::copyCommonValue(QSemaphore& skipCommon, Box* common, V value, V below, V minimum,
                                 QSemaphore& skipChannel, const char* family, void (ModuleVek72::*sync)(Box*))
{
    if (value == below) {
        value = minimum;
        setQuietly(skipCommon, common, value);
    }
    Box* short_ = nullptr;
    for (Box* field : channelWidgets<Box>(family)) {
        if (!field->isEnabled())
            continue;
        setQuietly(skipChannel, field, value);
        if (field->value() != value)
            short_ = field;
    }
    if (short_)
        (this->*sync)(short_);
    return 0;
}

int ModuleVek72::commonVoltageChanged(int value)
{
    const ModificationLimits& lim = limits();
    const VoltageTypeCode type = commonType();
    if (type == VoltageTypeOther)
        return 0;
    const bool ac = type == VoltageTypeAc;
    return copyCommonValue(skipVoltage, settingsUi->spinBoxVoltage, value, ac ? lim.acBelowMin : lim.dcBelowMin,
                           ac ? lim.acMin : lim.dcMin, skipChannelVoltage, "^spinBoxVoltageCh[1-%1]$",
                           &ModuleVek72::syncCommonVoltage);
}

int ModuleVek72::commonFrequencyChanged(double value)
{
    return copyCommonValue(skipFrequency, settingsUi->doubleSpinBoxFrequency, value, 0.0, 1.0, skipChannelFrequency,
                           "^doubleSpinBoxFrequencyCh[1-%1]$", &ModuleVek72::syncCommonFrequency);
}

int ModuleVek72::commonOffsetChanged(double value)
{
    const ModificationLimits& lim = limits();
    return copyCommonValue(skipOffset, settingsUi->doubleSpinBoxOffset, value, double(lim.offsetBelowMinVolts),
                           lim.offsetMin / 1000.0, skipChannelOffset, "^doubleSpinBoxOffsetCh[1-%1]$",
                           &ModuleVek72::syncCommonOffset);
}

// The custom-signal group edits the custom signal of the focused channel.
void ModuleVek72::on_comboBoxCustomShape_currentIndexChanged(int index)
{
    onPanels([this, index] { return customShapeChanged(index); });
}

int ModuleVek72::customShapeChanged(int index)
{
    for (int code = 0; code < int(sizeof(shapeTexts) / sizeof(shapeTexts[0])); ++code) {
        if (index == itemIndex(settingsUi->comboBoxCustomShape, QString::fromUtf8(shapeTexts[code]))) {
            customSignals[focusedChannel - 1].shape = code;
            break;
        }
    }
    return restartWhenOn();
}

void ModuleVek72::on_spinBoxCustomAmplitude_valueChanged(int value)
{
    onPanels([this, value] {
        customSignals[focusedChannel - 1].amplitude = value / 1000.0;
        return 0;
    });
}

void ModuleVek72::on_doubleSpinBoxCustomFrequency_valueChanged(double value)
{
    onPanels([this, value] {
        customSignals[focusedChannel - 1].frequency = value;
        return 0;
    });
}

void ModuleVek72::on_spinBoxCustomOffset_valueChanged(int value)
{
    onPanels([this, value] {
        customSignals[focusedChannel - 1].offset = value / 1000.0;
        return 0;
    });
}

// The options page: each edit is pending until the dialog is accepted (applyOptions).
void ModuleVek72::on_spinBoxAccuracyAC_valueChanged(int value)
{
    onPanels([this, value] {
        pendingAccuracyAc = value;
        return 0;
    });
}

void ModuleVek72::on_spinBoxAccuracyDC_valueChanged(int value)
{
    onPanels([this, value] {
        pendingAccuracyDc = value;
        return 0;
    });
}

void ModuleVek72::on_spinBoxAccuracyFreq_valueChanged(int value)
{
    onPanels([this, value] {
        pendingAccuracyFreq = value;
        return 0;
    });
}
