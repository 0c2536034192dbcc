// The common controls of the settings panel: mode, start/stop, the all-channels box, and the
// voltage type, range, voltage, frequency and offset that act on every enabled channel at once;
// the custom-signal group of the focused channel; the accuracy boxes of the options page.
//
// Each slot runs on the module thread: it consumes the echo of the module's own changes and then
// runs its work on the panels' thread (onPanels), where it reads and changes the widgets directly.
// The values one below a field's real range ("-") mean that the channels disagree: they are never
// copied into channels; an operator who types or steps onto one changes no channel, and the field
// shows again what the channels agree on.
#include "modulevek72.h"

#include <QComboBox>
#include <QDebug>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QPushButton>
#include <QSpinBox>

#include <cmath>

#include "journal.h"
#include "modulevek72guihandler.h"
#include "ui_vek72controls.h"
#include "ui_vek72settings.h"
#include "waveformfile.h"
#include "widgetsync.h"

using namespace channelwidgets;

namespace {

const char* const shapeTexts[] = { "Синус", "Треугольник", "Пила", "Импульс", "Линия", "Произвольный" };

} // namespace

void ModuleVek72::on_comboBoxMode_currentIndexChanged(int)
{
    onPanels([this] { return restartWhenOn(); });
}

void ModuleVek72::on_comboBoxDacFreq_currentIndexChanged(int)
{
    onPanels([this] {
        showOutputRate();
        return restartWhenOn();
    });
}

void ModuleVek72::on_pushButtonStartStop_toggled(bool checked)
{
    if (checked) {
        onPanels([this] {
            settingsUi->pushButtonStartStop->setText(QStringLiteral("Стоп"));
            return 0;
        });
        emit restart();
        return;
    }
    // The button goes on saying "Стоп" until the module has confirmed the stop (stopAndRest shows
    // what it did).
    // Stopped by the operator: the outputs do not stay at whatever level the signals had reached.
    // A stop a remote command line asked for reports to that client.
    if (!remoteStopAsked.exchange(false)) {
        stopAndRest();
        return;
    }
    MessageRoute route;
    stopAndRest();
    keepRemoteFailures(route.criticals());
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

    // Every channel on takes what the common controls show now, as a channel switched on by its own
    // group box does; for one that was on already this changes nothing (the common controls show
    // only what the channels on agree on).
    const CommonShown common = commonShown();
    for (QGroupBox* group : groups) {
        if (group->isChecked())
            copyCommonInto(number(group, "^groupBoxCh(\\d)$"), common, false);
    }
    customGroupFollowsFocus();
    syncCommonFromChannels();
    return restartWhenOn();
}

ModuleVek72::CommonShown ModuleVek72::commonShown() const
{
    Ui::Vek72Settings* ui = settingsUi;
    CommonShown shown;
    shown.typeIndex = ui->comboBoxVoltageType->currentIndex();
    shown.typeText = ui->comboBoxVoltageType->currentText();
    shown.rangeIndex = ui->comboBoxRange->currentIndex();
    shown.rangeText = ui->comboBoxRange->currentText();
    shown.type = commonType();
    shown.voltage = ui->spinBoxVoltage->value();
    shown.frequency = ui->doubleSpinBoxFrequency->value();
    shown.offset = ui->doubleSpinBoxOffset->value();
    return shown;
}

// Copies what the common controls showed into channel N: the type and the range first, each
// applied at once as the channel's own selector applies it (a type puts the channel's values back
// at their defaults), then the values, so that they are not lost to the type. Items are found by
// their text; values the common fields showed as "-" are not copied; frequency and offset only for
// AC.
int ModuleVek72::copyCommonInto(int channel, const CommonShown& common, bool customGroupFollows)
{
    int restarts = 0;
    auto* typeCombo = channelWidget<QComboBox>("^comboBoxVoltageTypeCh%1$", channel);
    if (typeCombo && common.typeIndex >= 0 && typeCombo->currentText() != common.typeText) {
        const int index = itemIndex(typeCombo, common.typeText);
        if (index >= 0) {
            setQuietly(skipChannelVoltageType, typeCombo, index);
            applyChannelType(typeCombo, index, customGroupFollows);
        }
    }
    auto* range = channelWidget<QComboBox>("^comboBoxRangeCh%1$", channel);
    if (range && common.rangeIndex >= 0 && range->currentText() != common.rangeText) {
        const int index = itemIndex(range, common.rangeText);
        if (index >= 0) {
            setQuietly(skipChannelRange, range, index);
            restarts += applyChannelRange(range, index);
        }
    }

    const ModificationLimits& lim = limits();
    if ((common.type == VoltageTypeDc && common.voltage != lim.dcBelowMin)
        || (common.type == VoltageTypeAc && common.voltage != lim.acBelowMin))
        setQuietly(skipChannelVoltage, channelWidget<QSpinBox>("^spinBoxVoltageCh%1$", channel), common.voltage);
    if (common.type == VoltageTypeAc) {
        if (common.frequency != 0)
            setQuietly(skipChannelFrequency, channelWidget<QDoubleSpinBox>("^doubleSpinBoxFrequencyCh%1$", channel),
                       common.frequency);
        if (common.offset != lim.offsetBelowMinVolts)
            setQuietly(skipChannelOffset, channelWidget<QDoubleSpinBox>("^doubleSpinBoxOffsetCh%1$", channel),
                       common.offset);
    }
    return restarts;
}

void ModuleVek72::customGroupFollowsFocus()
{
    if (!customSignalsEnabled || !settingsHost)
        return;
    QGroupBox* group = channelWidget<QGroupBox>("^groupBoxCh%1$", focusedChannel);
    auto* typeCombo = channelWidget<QComboBox>("^comboBoxVoltageTypeCh%1$", focusedChannel);
    const bool special = group && group->isChecked() && typeCombo && typeCombo->currentIndex() >= 0
                         && typeCombo->currentIndex() == itemIndex(typeCombo, specialTypeText());
    settingsUi->groupBoxCustom->setEnabled(special);
    loadCustomGroup(focusedChannel);
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

    // The channels on now agree on the type: the common range selector is usable again, unless the
    // module's range is fixed.
    if (commonRangeSelectable)
        ui->comboBoxRange->setEnabled(true);

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

// The common value fields act on the value the field holds when the work runs, not on the one the
// signal carried: keys typed in a row queue one call each, and a later key may already have changed
// the field (its own call follows). Acting on what the field shows keeps every call of the row in
// step with the last one.
void ModuleVek72::on_spinBoxVoltage_valueChanged(int)
{
    unlessEcho(skipVoltage, [this] { return commonVoltageChanged(); });
}

void ModuleVek72::on_doubleSpinBoxFrequency_valueChanged(double)
{
    unlessEcho(skipFrequency, [this] { return commonFrequencyChanged(); });
}

void ModuleVek72::on_doubleSpinBoxOffset_valueChanged(double)
{
    unlessEcho(skipOffset, [this] { return commonOffsetChanged(); });
}

// A common value goes into every enabled channel field of its family. The value one below the
// range ("-") is no value: no channel changes, and the common field shows again what the enabled
// channels agree on, or "-" when they differ (or none takes the value). A channel whose range holds
// less than the value takes its own maximum, and the common field then shows "-": it never shows a
// value the channels do not hold.
template <typename Box, typename V>
void ModuleVek72::copyCommonValue(Box* common, V below, QSemaphore& skipChannel, const char* family,
                                  void (ModuleVek72::*sync)(Box*))
{
    const V value = common->value();
    QList<Box*> fields;
    for (Box* field : channelWidgets<Box>(family)) {
        if (field->isEnabled())
            fields << field;
    }
    if (value == below) {
        if (!fields.isEmpty())
            (this->*sync)(fields.first());
        return;
    }
    Box* short_ = nullptr;
    for (Box* field : fields) {
        setQuietly(skipChannel, field, value);
        if (field->value() != value)
            short_ = field;
    }
    if (short_)
        (this->*sync)(short_);
}

int ModuleVek72::commonVoltageChanged()
{
    const VoltageTypeCode type = commonType();
    if (type != VoltageTypeOther)
        copyCommonValue(settingsUi->spinBoxVoltage, type == VoltageTypeAc ? limits().acBelowMin : limits().dcBelowMin,
                        skipChannelVoltage, "^spinBoxVoltageCh[1-%1]$", &ModuleVek72::syncCommonVoltage);
    return 0;
}

int ModuleVek72::commonFrequencyChanged()
{
    copyCommonValue(settingsUi->doubleSpinBoxFrequency, 0.0, skipChannelFrequency, "^doubleSpinBoxFrequencyCh[1-%1]$",
                    &ModuleVek72::syncCommonFrequency);
    return 0;
}

int ModuleVek72::commonOffsetChanged()
{
    copyCommonValue(settingsUi->doubleSpinBoxOffset, double(limits().offsetBelowMinVolts), skipChannelOffset,
                    "^doubleSpinBoxOffsetCh[1-%1]$", &ModuleVek72::syncCommonOffset);
    return 0;
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
            // The group showing another channel's signal stores its shape back unchanged: no restart.
            int& shape = customSignals[focusedChannel - 1].shape;
            if (shape == code)
                return 0;
            shape = code;
            return restartWhenOn();
        }
    }
    return 0;
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

void ModuleVek72::on_doubleSpinBoxCustomOffset_valueChanged(double value)
{
    onPanels([this, value] {
        customSignals[focusedChannel - 1].offset = value;
        return 0;
    });
}

void ModuleVek72::on_doubleSpinBoxCustomPhase_valueChanged(double value)
{
    onPanels([this, value] {
        customSignals[focusedChannel - 1].phase = value;
        return 0;
    });
}

bool ModuleVek72::setCustomPhase(int channel, double degrees)
{
    if (!customSignalsEnabled || !guiHandler || !(degrees >= 0.0 && degrees < 360.0))
        return false;
    // As the field holds it: three decimals, 359.9995 and above being 0 again.
    const double scale = std::pow(10.0, ChannelSignal::phaseDecimals);
    double phase = std::round(degrees * scale) / scale;
    if (phase > ChannelSignal::phaseFieldMaximum)
        phase = 0.0;
    return widgetsync::query<bool>(guiHandler, [this, channel, phase] {
        if (channel < 1 || channel > panelChannelCount)
            return false;
        customSignals[channel - 1].phase = phase;
        // The group shows the focused channel's signal while it is of the special type; its slot
        // stores the same value back.
        if (settingsHost && channel == focusedChannel && settingsUi->groupBoxCustom->isEnabled())
            settingsUi->doubleSpinBoxCustomPhase->setValue(phase);
        return true;
    }, false);
}

void ModuleVek72::loadCustomWaveform(const QString& path)
{
    if (!customSignalsEnabled || !guiHandler)
        return;
    // The channel the file was chosen for: the focused one now, whatever the focus is once it is read.
    const int channel = widgetsync::query<int>(guiHandler, [this] { return focusedChannel; }, 0);
    if (channel < 1)
        return;
    const waveformfile::Result file = waveformfile::load(path);
    if (!file.ok()) {
        qCritical().noquote() << file.message;
        return;
    }
    qInfo().noquote() << QStringLiteral("Канал %1: загружен произвольный сигнал \"%2\", точек %3")
                             .arg(channel).arg(file.waveform->fileName()).arg(file.waveform->pointCount());
    const WaveformPointer waveform = file.waveform;
    onPanels([this, channel, waveform] { return customWaveformLoaded(channel, waveform); });
}

int ModuleVek72::customWaveformLoaded(int channel, const WaveformPointer& waveform)
{
    if (channel < 1 || channel > panelChannels)
        return 0;
    ChannelSignal& custom = customSignals[channel - 1];
    custom.waveform = waveform;
    const bool shown = settingsHost && channel == focusedChannel && settingsUi->groupBoxCustom->isEnabled();
    if (shown)
        showCustomWaveform(channel);
    if (custom.shape == ChannelSignal::Arbitrary)
        return restartWhenOn();
    // The group shows the new shape; the item's own slot stores it and restarts when on.
    if (shown) {
        QComboBox* shape = settingsUi->comboBoxCustomShape;
        const int item = itemIndex(shape, QString::fromUtf8(shapeTexts[ChannelSignal::Arbitrary]));
        if (shape->currentIndex() != item) {
            shape->setCurrentIndex(item);
            return 0;
        }
    }
    custom.shape = ChannelSignal::Arbitrary;
    return restartWhenOn();
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
