// The channel group boxes: a channel switched on or off, its type, range, voltage, frequency and
// offset; and the synchronisation by which the common controls follow the channels, showing the
// value the enabled channels agree on, or "-" (no item for a selector) where they differ.
//
// Each synchronisation step compares the channels with one reference widget, the channel widget
// that has just changed or else channel 1's; the reference takes part whether it is enabled or
// not, of the other channels only the enabled ones.
#include "modulevek72.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>

#include "ui_vek72controls.h"
#include "ui_vek72settings.h"

using namespace channelwidgets;

namespace {

// Whether any enabled widget of `family` other than `reference` reads differently from it.
template <typename W, typename Read>
bool othersDiffer(const QList<W*>& family, W* reference, Read read)
{
    for (W* w : family) {
        if (w != reference && w->isEnabled() && read(w) != read(reference))
            return true;
    }
    return false;
}

} // namespace

// --- Slots -------------------------------------------------------------------------------------

// Each slot takes the widget that sent the signal, guarded: it may be gone when the work runs.
void ModuleVek72::on_groupBoxChX_toggled(bool checked)
{
    QPointer<QGroupBox> group = qobject_cast<QGroupBox*>(QObject::sender());
    unlessEcho(skipChannelEnable, [this, group, checked] { return group ? channelSwitched(group, checked) : 0; });
}

void ModuleVek72::on_comboBoxVoltageTypeChX_currentIndexChanged(int index)
{
    QPointer<QComboBox> combo = qobject_cast<QComboBox*>(QObject::sender());
    unlessEcho(skipChannelVoltageType, [this, combo, index] { return combo ? channelTypeChanged(combo, index) : 0; });
}

void ModuleVek72::on_comboBoxRangeChX_currentIndexChanged(int index)
{
    QPointer<QComboBox> combo = qobject_cast<QComboBox*>(QObject::sender());
    unlessEcho(skipChannelRange, [this, combo, index] { return combo ? channelRangeChanged(combo, index) : 0; });
}

// A channel's value fields take effect on Return or at the next start; here only the common
// field follows.
void ModuleVek72::on_spinBoxVoltageChX_valueChanged(int)
{
    QPointer<QSpinBox> box = qobject_cast<QSpinBox*>(QObject::sender());
    unlessEcho(skipChannelVoltage, [this, box] { return box ? (syncCommonVoltage(box), 0) : 0; });
}

void ModuleVek72::on_doubleSpinBoxFrequencyChX_valueChanged(double)
{
    QPointer<QDoubleSpinBox> box = qobject_cast<QDoubleSpinBox*>(QObject::sender());
    unlessEcho(skipChannelFrequency, [this, box] {
        if (!box)
            return 0;
        syncCommonFrequency(box);
        // A typed frequency is the new request.
        const int channel = number(box, "^doubleSpinBoxFrequencyCh(\\d)$");
        channelFrequencyRequest(channel, box->value());
        showFrequencyRequest(box, channel);
        return 0;
    });
}

void ModuleVek72::on_doubleSpinBoxOffsetChX_valueChanged(double)
{
    QPointer<QDoubleSpinBox> box = qobject_cast<QDoubleSpinBox*>(QObject::sender());
    unlessEcho(skipChannelOffset, [this, box] { return box ? (syncCommonOffset(box), 0) : 0; });
}

// --- Work on the panels' thread ----------------------------------------------------------------

int ModuleVek72::channelSwitched(QGroupBox* group, bool on)
{
    const int channel = number(group, "^groupBoxCh(\\d)$");
    int restarts = 0;
    if (on && channel > 0) {
        auto* typeCombo = channelWidget<QComboBox>("^comboBoxVoltageTypeCh%1$", channel);
        // With a fixed range (code 2) the type selector keeps its state.
        if (panelModification != 2 && typeCombo && !typeCombo->isEnabledTo(group))
            setChannelControlEnabled(typeCombo, true);
        if (customSignalsEnabled) {
            group->setStyleSheet(groupBold());
            if (focusedChannel != channel) {
                if (QGroupBox* previous = channelWidget<QGroupBox>("^groupBoxCh%1$", focusedChannel))
                    previous->setStyleSheet(groupNormal());
            }
            emit channelFocused(channel);
            focusedChannel = channel;
            const bool special = typeCombo && typeCombo->currentIndex() >= 0
                                 && typeCombo->currentIndex() == itemIndex(typeCombo, specialTypeText());
            settingsUi->groupBoxCustom->setEnabled(special);
            loadCustomGroup(channel);
        }
        if (settingsHost)
            restarts += copyCommonInto(channel, commonShown(), true);
    } else if (!on && customSignalsEnabled) {
        group->setStyleSheet(groupNormal());
        settingsUi->groupBoxCustom->setEnabled(false);
    }

    syncAllChannelsBox(group);
    bool anyChecked = false;
    for (QGroupBox* g : channelWidgets<QGroupBox>("^groupBoxCh[1-%1]$"))
        anyChecked = anyChecked || g->isChecked();
    if (!anyChecked) {
        // No channel left: the output is switched off through the button, not restarted empty.
        if (settingsHost)
            settingsUi->pushButtonStartStop->setChecked(false);
        return restarts;
    }
    syncCommonFromChannels();
    return restarts + restartWhenOn();
}

int ModuleVek72::channelTypeChanged(QComboBox* typeCombo, int index)
{
    applyChannelType(typeCombo, index);
    const int channel = number(typeCombo, "^comboBoxVoltageTypeCh(\\d)$");
    syncCommonVoltageType(typeCombo);
    if (auto* range = channelWidget<QComboBox>("^comboBoxRangeCh%1$", channel))
        syncCommonRange(range);
    if (auto* voltage = channelWidget<QSpinBox>("^spinBoxVoltageCh%1$", channel))
        syncCommonVoltage(voltage);
    // The new type reset the channel's offset and made its frequency count (or no longer count):
    // the common fields show what the channels hold now.
    if (auto* frequency = channelWidget<QDoubleSpinBox>("^doubleSpinBoxFrequencyCh%1$", channel))
        syncCommonFrequency(frequency);
    if (auto* offset = channelWidget<QDoubleSpinBox>("^doubleSpinBoxOffsetCh%1$", channel))
        syncCommonOffset(offset);
    return restartWhenOn();
}

int ModuleVek72::channelRangeChanged(QComboBox* rangeCombo, int index)
{
    // applyChannelRange synchronises the common controls and asks for the one restart a change
    // needs (a second one would play the same page again and say so twice).
    return applyChannelRange(rangeCombo, index);
}

void ModuleVek72::adjustChannelToType(int channel, int index)
{
    auto* typeCombo = channelWidget<QComboBox>("^comboBoxVoltageTypeCh%1$", channel);
    auto* range = channelWidget<QComboBox>("^comboBoxRangeCh%1$", channel);
    auto* voltage = channelWidget<QSpinBox>("^spinBoxVoltageCh%1$", channel);
    auto* frequency = channelWidget<QDoubleSpinBox>("^doubleSpinBoxFrequencyCh%1$", channel);
    auto* offset = channelWidget<QDoubleSpinBox>("^doubleSpinBoxOffsetCh%1$", channel);
    if (!typeCombo || index < 0)
        return;
    const ModificationLimits& lim = limits();
    const VoltageTypeCode type = voltageTypeFromText(typeCombo->itemText(index));
    if (type == VoltageTypeOther) {
        for (QWidget* field : { static_cast<QWidget*>(voltage), static_cast<QWidget*>(frequency),
                                static_cast<QWidget*>(offset) })
            setChannelControlEnabled(field, false);
        return;
    }
    relabelRange(range, type);
    setChannelControlEnabled(voltage, true);
    resetChannelVoltage(channel);
    setChannelControlEnabled(frequency, type == VoltageTypeAc);
    if (offset) {
        setChannelControlEnabled(offset, type == VoltageTypeAc);
        if (type == VoltageTypeAc)
            setQuietly(skipChannelOffset, offset, lim.offsetDefault / 1000.0);
    }
}

// The custom group serves the focused channel only: a type given to another channel (by the
// all-channels box) leaves it, and the custom signal it shows, alone.
void ModuleVek72::applyChannelType(QComboBox* typeCombo, int index, bool customGroupFollows)
{
    if (!typeCombo || index < 0)
        return;
    const int channel = number(typeCombo, "^comboBoxVoltageTypeCh(\\d)$");
    const VoltageTypeCode type = voltageTypeFromText(typeCombo->itemText(index));
    const bool special = customSignalsEnabled && typeCombo->itemText(index) == specialTypeText();
    if (type == VoltageTypeOther && !special)
        return;
    adjustChannelToType(channel, index);
    if (customGroupFollows && customSignalsEnabled && settingsHost && channel == focusedChannel) {
        settingsUi->groupBoxCustom->setEnabled(special);
        loadCustomGroup(channel);
    }
}

int ModuleVek72::applyChannelRange(QComboBox* rangeCombo, int index)
{
    Q_UNUSED(index)   // the range code is read back from the selector's text
    QSpinBox* voltage = resetChannelVoltage(number(rangeCombo, "^comboBoxRangeCh(\\d)$"));
    syncCommonRange(rangeCombo);
    if (voltage)
        syncCommonVoltage(voltage);
    return restartWhenOn();
}

// --- The common controls follow the channels ---------------------------------------------------

void ModuleVek72::syncCommonFromChannels()
{
    syncCommonVoltageType(nullptr);
    syncCommonRange(nullptr);
    syncCommonVoltage(nullptr);
    syncCommonFrequency(nullptr);
    syncCommonOffset(nullptr);
}

void ModuleVek72::syncCommonVoltageType(QComboBox* reference)
{
    if (!reference && controlsHost)
        reference = controlsUi->comboBoxVoltageTypeCh1;
    if (!reference || !settingsHost)
        return;
    Ui::Vek72Settings* ui = settingsUi;
    const QList<QComboBox*> types = channelWidgets<QComboBox>("^comboBoxVoltageTypeCh[1-%1]$");
    if (othersDiffer(types, reference, [](QComboBox* c) { return c->currentIndex(); })) {
        setQuietly(skipVoltageType, ui->comboBoxVoltageType, -1);
        setQuietly(skipRange, ui->comboBoxRange, -1);
        showCommonVoltageApart();
        ui->comboBoxRange->setEnabled(false);
        ui->spinBoxVoltage->setEnabled(false);
        ui->doubleSpinBoxFrequency->setEnabled(false);
        ui->doubleSpinBoxOffset->setEnabled(false);
        return;
    }
    // The types agree again: the common range selector is usable again unless the module's
    // range is fixed.
    if (commonRangeSelectable)
        ui->comboBoxRange->setEnabled(true);
    const int index = reference->currentIndex();
    if (ui->comboBoxVoltageType->currentIndex() == index)
        return;
    setQuietly(skipVoltageType, ui->comboBoxVoltageType, index);
    const int channel = number(reference, "^comboBoxVoltageTypeCh(\\d)$");
    const ModificationLimits& lim = limits();
    const VoltageTypeCode type = voltageTypeFromText(reference->currentText());
    if (type == VoltageTypeOther) {
        // The special type: the common value fields do not apply.
        if (customSignalsEnabled && reference->currentText() == specialTypeText()) {
            ui->spinBoxVoltage->setEnabled(false);
            ui->doubleSpinBoxFrequency->setEnabled(false);
            ui->doubleSpinBoxOffset->setEnabled(false);
        }
        return;
    }
    prepareCommonVoltage(type);
    syncCommonVoltage(channelWidget<QSpinBox>("^spinBoxVoltageCh%1$", channel));
    if (type == VoltageTypeAc) {
        ui->doubleSpinBoxFrequency->setEnabled(true);
        setQuietly(skipFrequency, ui->doubleSpinBoxFrequency, 1000.0);
        syncCommonFrequency(channelWidget<QDoubleSpinBox>("^doubleSpinBoxFrequencyCh%1$", channel));
        ui->doubleSpinBoxOffset->setEnabled(true);
        setQuietly(skipOffset, ui->doubleSpinBoxOffset, lim.offsetDefault / 1000.0);
        syncCommonOffset(channelWidget<QDoubleSpinBox>("^doubleSpinBoxOffsetCh%1$", channel));
    } else {
        ui->doubleSpinBoxFrequency->setEnabled(false);
        ui->doubleSpinBoxOffset->setEnabled(false);
    }
}

void ModuleVek72::syncCommonRange(QComboBox* reference)
{
    if (!reference && controlsHost)
        reference = controlsUi->comboBoxRangeCh1;
    if (!reference || !settingsHost)
        return;
    Ui::Vek72Settings* ui = settingsUi;
    const QList<QComboBox*> ranges = channelWidgets<QComboBox>("^comboBoxRangeCh[1-%1]$");
    if (othersDiffer(ranges, reference, [](QComboBox* c) { return c->currentIndex(); })) {
        setQuietly(skipRange, ui->comboBoxRange, -1);
        // With the ranges apart, the common voltage can hold any value of the full range; each
        // channel keeps to its own.
        const VoltageTypeCode type = commonType();
        if (type != VoltageTypeOther)
            ui->spinBoxVoltage->setMaximum(voltageMaximum(limits(), type, 1, ui->spinBoxVoltage->maximum()));
        return;
    }
    if (ui->comboBoxRange->currentIndex() == reference->currentIndex())
        return;
    setQuietly(skipRange, ui->comboBoxRange, reference->currentIndex());
    const VoltageTypeCode type = commonType();
    if (type != VoltageTypeOther)
        prepareCommonVoltage(type);
    else if (ui->comboBoxVoltageType->currentIndex() < 0)
        showCommonVoltageApart();
    else
        setQuietly(skipVoltage, ui->spinBoxVoltage, limits().voltageDefault);
    syncCommonVoltage(nullptr);
}

// One rule for the three common value fields: the reference's value when every other enabled
// channel field holds it too and the common field can show it, else the value one below the
// field's range, shown as "-".
template <typename Box, typename V>
void ModuleVek72::syncCommonField(QSemaphore& skip, Box* common, Box* reference, const char* family, V below)
{
    if (!othersDiffer(channelWidgets<Box>(family), reference, [](Box* b) { return b->value(); })) {
        setQuietly(skip, common, reference->value());
        if (common->value() == reference->value())
            return;
    }
    setQuietly(skip, common, below);
}

void ModuleVek72::syncCommonVoltage(QSpinBox* reference)
{
    if (!reference && controlsHost)
        reference = controlsUi->spinBoxVoltageCh1;
    const VoltageTypeCode type = commonType();
    if (!reference || type == VoltageTypeOther)
        return;
    syncCommonField(skipVoltage, settingsUi->spinBoxVoltage, reference, "^spinBoxVoltageCh[1-%1]$",
                    type == VoltageTypeAc ? limits().acBelowMin : limits().dcBelowMin);
}

// With the types apart the channels' voltages are no common quantity (an RMS value beside a level):
// the common voltage shows "-", its value one below its range, as a field of differing channels does.
void ModuleVek72::showCommonVoltageApart()
{
    QSpinBox* common = settingsUi->spinBoxVoltage;
    setQuietly(skipVoltage, common, common->minimum());
}

void ModuleVek72::syncCommonFrequency(QDoubleSpinBox* reference)
{
    if (!reference && controlsHost)
        reference = controlsUi->doubleSpinBoxFrequencyCh1;
    if (reference && settingsHost)
        syncCommonField(skipFrequency, settingsUi->doubleSpinBoxFrequency, reference,
                        "^doubleSpinBoxFrequencyCh[1-%1]$", 0.0);
}

void ModuleVek72::syncCommonOffset(QDoubleSpinBox* reference)
{
    if (!reference && controlsHost)
        reference = controlsUi->doubleSpinBoxOffsetCh1;
    if (reference && settingsHost)
        syncCommonField(skipOffset, settingsUi->doubleSpinBoxOffset, reference, "^doubleSpinBoxOffsetCh[1-%1]$",
                        double(limits().offsetBelowMinVolts));
}

void ModuleVek72::syncAllChannelsBox(QGroupBox* reference)
{
    if (!reference && controlsHost)
        reference = controlsUi->groupBoxCh1;
    const QList<QGroupBox*> groups = channelWidgets<QGroupBox>("^groupBoxCh[1-%1]$");
    int checked = 0;
    for (QGroupBox* group : groups)
        checked += group->isChecked() ? 1 : 0;
    maxFrequency = frequencyCeilingFor(checked);
    showOutputRate();

    // A field above the new ceiling is clamped by the widget. The common and channel fields announce
    // that change: it is no edit of the operator's (as an edit of the common field, it would go into
    // every channel, and its signal would take the permit of a later change of the field); the
    // common controls are synchronised after the ceiling by the caller. The custom frequency's
    // change is stored into the focused channel's custom signal, whose frequency it limits.
    if (settingsHost) {
        setMaximumQuietly(skipFrequency, settingsUi->doubleSpinBoxFrequency, maxFrequency);
        settingsUi->doubleSpinBoxCustomFrequency->setMaximum(maxFrequency);
    }
    for (QDoubleSpinBox* frequency : channelWidgets<QDoubleSpinBox>("^doubleSpinBoxFrequencyCh[1-%1]$"))
        setMaximumQuietly(skipChannelFrequency, frequency, maxFrequency);

    if (!reference || !allChannelsCheckBox)
        return;
    bool all = reference->isChecked();
    bool none = !reference->isChecked();
    for (QGroupBox* group : groups) {
        all = all && group->isChecked();
        none = none && !group->isChecked();
    }
    const Qt::CheckState state = all ? Qt::Checked : none ? Qt::Unchecked : Qt::PartiallyChecked;
    setQuietly(skipAllChannels, allChannelsCheckBox.data(), state);
}
