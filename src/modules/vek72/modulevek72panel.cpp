// What the slots of both panels share: running a slot's work on the panels' thread, changing a
// control without its echo, and finding the channel widgets of the open module.
#include "modulevek72.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSharedPointer>
#include <QSignalBlocker>
#include <QSpinBox>

#include <atomic>
#include <initializer_list>

#include "modulevek72guihandler.h"
#include "ui_vek72settings.h"
#include "widgetsync.h"

namespace {

// Sets `widget` to `value` unless it shows it already. The permit announces the change signal
// to come; when the control took nothing (it clamps the value to what it showed), no signal comes
// and the permit is taken back at once.
template <typename W, typename V, typename Get, typename Set>
void setAnnounced(QSemaphore& skip, bool announce, W* widget, const V& value, Get get, Set set)
{
    if (!widget)
        return;
    const V before = get(widget);
    if (before == value)
        return;
    if (announce)
        skip.release();
    set(widget, value);
    if (announce && get(widget) == before)
        skip.tryAcquire(1);
}

} // namespace

void ModuleVek72::onPanels(std::function<int()> work)
{
    ++slotRuns;
    if (!guiHandler)
        return;
    // Shared with the work, which may still run after a wait that gave up.
    auto restarts = QSharedPointer<std::atomic<int>>::create(0);
    widgetsync::runOn(guiHandler, [work, restarts] { restarts->store(work()); });
    for (int i = restarts->load(); i > 0; --i)
        emit restart();
}

void ModuleVek72::unlessEcho(QSemaphore& skip, std::function<int()> work)
{
    ++slotRuns;
    if (!skip.tryAcquire(1))
        onPanels(std::move(work));
}

int ModuleVek72::restartWhenOn() const
{
    return settingsHost && settingsUi->pushButtonStartStop->isChecked() ? 1 : 0;
}

const ModificationLimits& ModuleVek72::limits() const
{
    return limitsForModification(panelModification);
}

VoltageTypeCode ModuleVek72::commonType() const
{
    return settingsHost ? voltageTypeFromText(settingsUi->comboBoxVoltageType->currentText())
                        : VoltageTypeOther;
}

void ModuleVek72::relabelRange(QComboBox* range, VoltageTypeCode type) const
{
    if (!range || type == VoltageTypeOther)
        return;
    range->setItemText(0, rangeItemText(limits(), type, 0));
    range->setItemText(1, rangeItemText(limits(), type, 1));
}

QSpinBox* ModuleVek72::resetChannelVoltage(int channel)
{
    auto* typeCombo = channelWidget<QComboBox>("^comboBoxVoltageTypeCh%1$", channel);
    auto* range = channelWidget<QComboBox>("^comboBoxRangeCh%1$", channel);
    auto* voltage = channelWidget<QSpinBox>("^spinBoxVoltageCh%1$", channel);
    const VoltageTypeCode type = typeCombo ? voltageTypeFromText(typeCombo->currentText()) : VoltageTypeOther;
    if (!voltage || type == VoltageTypeOther)
        return voltage;
    const ModificationLimits& lim = limits();
    setQuietly(skipChannelVoltage, voltage, lim.voltageDefault);
    voltage->setMinimum(type == VoltageTypeAc ? lim.acMin : lim.dcMin);
    voltage->setMaximum(voltageMaximum(lim, type, range ? rangeCodeFromText(lim, range->currentText()) : 0,
                                       voltage->maximum()));
    return voltage;
}

void ModuleVek72::prepareCommonVoltage(VoltageTypeCode type)
{
    Ui::Vek72Settings* ui = settingsUi;
    const ModificationLimits& lim = limits();
    relabelRange(ui->comboBoxRange, type);
    ui->spinBoxVoltage->setEnabled(true);
    setQuietly(skipVoltage, ui->spinBoxVoltage, lim.voltageDefault);
    ui->spinBoxVoltage->setMinimum(type == VoltageTypeAc ? lim.acBelowMin : lim.dcBelowMin);
    ui->spinBoxVoltage->setMaximum(voltageMaximum(lim, type, rangeCodeFromText(lim, ui->comboBoxRange->currentText()),
                                                  ui->spinBoxVoltage->maximum()));
}

bool ModuleVek72::announces(const QSemaphore& skip) const
{
    if (valueFieldsLinked)
        return true;
    const QSemaphore* const valueFields[] = { &skipVoltage, &skipFrequency, &skipOffset,
                                              &skipChannelVoltage, &skipChannelFrequency,
                                              &skipChannelOffset };
    for (const QSemaphore* field : valueFields) {
        if (field == &skip)
            return false;
    }
    return true;
}

void ModuleVek72::setQuietly(QSemaphore& skip, QSpinBox* box, int value)
{
    setAnnounced(skip, announces(skip), box, value, [](QSpinBox* b) { return b->value(); },
                 [](QSpinBox* b, int v) { b->setValue(v); });
}

void ModuleVek72::setQuietly(QSemaphore& skip, QDoubleSpinBox* box, double value)
{
    setAnnounced(skip, announces(skip), box, value, [](QDoubleSpinBox* b) { return b->value(); },
                 [](QDoubleSpinBox* b, double v) { b->setValue(v); });
}

void ModuleVek72::setQuietly(QSemaphore& skip, QComboBox* box, int index)
{
    setAnnounced(skip, announces(skip), box, index, [](QComboBox* b) { return b->currentIndex(); },
                 [](QComboBox* b, int i) { b->setCurrentIndex(i); });
}

void ModuleVek72::setQuietly(QSemaphore& skip, QGroupBox* box, bool checked)
{
    setAnnounced(skip, announces(skip), box, checked, [](QGroupBox* b) { return b->isChecked(); },
                 [](QGroupBox* b, bool c) { b->setChecked(c); });
}

void ModuleVek72::setQuietly(QSemaphore& skip, QCheckBox* box, Qt::CheckState state)
{
    setAnnounced(skip, announces(skip), box, state, [](QCheckBox* b) { return b->checkState(); },
                 [](QCheckBox* b, Qt::CheckState s) { b->setCheckState(s); });
}

void ModuleVek72::setMaximumQuietly(QSemaphore& skip, QDoubleSpinBox* box, double maximum)
{
    if (!box)
        return;
    const double before = box->value();
    const bool clamps = before > maximum && announces(skip);
    if (clamps)
        skip.release();
    box->setMaximum(maximum);
    if (clamps && box->value() == before)
        skip.tryAcquire(1);
}

void ModuleVek72::setChannelControlEnabled(QWidget* control, bool enabled)
{
    if (!control)
        return;
    QWidget* parent = control->parentWidget();
    while (parent && !qobject_cast<QGroupBox*>(parent))
        parent = parent->parentWidget();
    auto* group = qobject_cast<QGroupBox*>(parent);
    control->setEnabled(enabled);
    if (enabled && group && group->isCheckable() && !group->isChecked()) {
        // What an unchecked group box does to its enabled children: disabled now, without being
        // marked as disabled on their own, so that checking the box enables them again.
        control->setEnabled(false);
        control->setAttribute(Qt::WA_ForceDisabled, false);
    }
}

void ModuleVek72::loadCustomGroup(int channel)
{
    if (!settingsHost || !customSignalsEnabled || channel < 1 || channel > channelwidgets::panelChannels)
        return;
    const ChannelSignal& custom = customSignals[channel - 1];
    // Not announced: the group's slots store the values back into the focused channel's record.
    settingsUi->comboBoxCustomShape->setCurrentIndex(custom.shape);
    // Rounded: the record holds whole millivolts divided by 1000, which times 1000 can come out a
    // hair below them (1.001 V gives 1000.9999...), and truncation would lose a millivolt each time.
    settingsUi->spinBoxCustomAmplitude->setValue(qRound(custom.amplitude * 1000));
    settingsUi->doubleSpinBoxCustomFrequency->setValue(custom.frequency);
    settingsUi->doubleSpinBoxCustomOffset->setValue(custom.offset);
    settingsUi->doubleSpinBoxCustomPhase->setValue(custom.phase);
    showCustomWaveform(channel);
}

void ModuleVek72::showCustomWaveform(int channel)
{
    if (!settingsHost || !customSignalsEnabled || channel < 1 || channel > channelwidgets::panelChannels)
        return;
    const WaveformPointer& waveform = customSignals[channel - 1].waveform;
    QLabel* label = settingsUi->labelCustomWaveform;
    if (!waveform) {
        label->setText(QStringLiteral("Файл не загружен"));
        label->setToolTip(QStringLiteral("Загрузите один период сигнала из файла CSV или WAV"));
        return;
    }
    // A long name is cut in the middle: the group keeps its width, the tool tip has it whole.
    const QString name = waveform->fileName();
    constexpr int longest = 28;
    label->setText(name.size() <= longest ? name
                                          : name.left(longest / 2 - 1) + QStringLiteral("…") + name.right(longest / 2));
    const QLocale locale;
    label->setToolTip(QStringLiteral("%1\nТочек: %2\nМинимум: %3\nМаксимум: %4")
                          .arg(name, locale.toString(waveform->pointCount()),
                               locale.toString(waveform->minimum(), 'g', 6),
                               locale.toString(waveform->maximum(), 'g', 6)));
}


void ModuleVek72::showOutputRate()
{
    if (!settingsHost)
        return;
    QLabel* label = settingsUi->labelOutputRate;
    int on = 0;
    for (QGroupBox* group : channelWidgets<QGroupBox>("^groupBoxCh[1-%1]$"))
        on += group->isChecked() ? 1 : 0;
    // The module splits its DAC rate between the channels switched on, rounded up to 1, 2, 4 or 8.
    const int shares = on <= 1 ? 1 : on <= 2 ? 2 : on <= 4 ? 4 : 8;
    const double rate = dacRateOfItem(settingsUi->comboBoxDacFreq->currentText());
    label->setText(rate > 0 && on > 0 ? QStringLiteral("%1 на канал").arg(rateText(rate / shares)) : QString());
}

// --- Custom signals on and off -----------------------------------------------------------------

void ModuleVek72::wireCustomSignals(bool on)
{
    using namespace channelwidgets;
    if (!guiHandler)
        return;
    guiHandler->setCustomSignalsEnabled(on);
    // Made unique, so that switching on twice keeps one of each.
    const auto link = [this, on](auto* sender, auto signal, auto* receiver, auto slot) {
        if (!sender)
            return;
        if (on)
            connect(sender, signal, receiver, slot, Qt::UniqueConnection);
        else
            disconnect(sender, signal, receiver, slot);
    };
    const auto watch = [this, on](QObject* object) {
        if (!object)
            return;
        if (on)
            object->installEventFilter(guiHandler);
        else
            object->removeEventFilter(guiHandler);
    };
    // A selector and its popup's parts: a click into the popup focuses the channel too.
    const auto watchSelector = [&watch](QComboBox* combo) {
        watch(combo);
        for (QObject* child : combo->children())
            watch(child);
    };
    const auto offerSpecialType = [on](QComboBox* combo) {
        const int special = itemIndex(combo, specialTypeText());
        if (on && special < 0) {
            combo->addItem(specialTypeText());
        } else if (!on && special >= 0) {
            // Not a choice of anyone's: the controls that follow the type are set by the caller.
            const QSignalBlocker quiet(combo);
            combo->removeItem(special);
        }
    };

    link(guiHandler, &ModuleVek72GuiHandler::channelFocused, this, &ModuleVek72::channelFocusedSlot);
    link(this, &ModuleVek72::channelFocused, guiHandler, &ModuleVek72GuiHandler::channelFocusedSlot);

    if (settingsHost) {
        Ui::Vek72Settings* ui = settingsUi;
        offerSpecialType(ui->comboBoxVoltageType);
        if (on) {
            loadCustomGroup(focusedChannel);
            ui->groupBoxCustom->show();
        } else {
            ui->groupBoxCustom->hide();
        }
        watch(ui->groupBoxCustom);
        for (QWidget* field : std::initializer_list<QWidget*>{ ui->spinBoxCustomAmplitude, ui->doubleSpinBoxCustomFrequency,
                                                               ui->doubleSpinBoxCustomOffset, ui->doubleSpinBoxCustomPhase })
            watch(field);
        link(ui->comboBoxCustomShape, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
             &ModuleVek72::on_comboBoxCustomShape_currentIndexChanged);
        link(ui->spinBoxCustomAmplitude, QOverload<int>::of(&QSpinBox::valueChanged), this,
             &ModuleVek72::on_spinBoxCustomAmplitude_valueChanged);
        link(ui->doubleSpinBoxCustomFrequency, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
             &ModuleVek72::on_doubleSpinBoxCustomFrequency_valueChanged);
        link(ui->doubleSpinBoxCustomOffset, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
             &ModuleVek72::on_doubleSpinBoxCustomOffset_valueChanged);
        link(ui->doubleSpinBoxCustomPhase, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
             &ModuleVek72::on_doubleSpinBoxCustomPhase_valueChanged);
    }
    if (controlsHost) {
        // Every channel, also those the open module lacks: the forms have eight.
        for (QGroupBox* group : all<QGroupBox>(controlsHost, pattern("^groupBoxCh[1-%1]$", panelChannels))) {
            // Bold marks the channel worked in; without custom signals no channel is marked.
            group->setStyleSheet(on ? QString(groupNormal()) : QString());
            watch(group);
        }
        for (QComboBox* combo : all<QComboBox>(controlsHost, pattern("^comboBoxVoltageTypeCh[1-%1]$", panelChannels))) {
            offerSpecialType(combo);
            watchSelector(combo);
        }
        for (QComboBox* combo : all<QComboBox>(controlsHost, pattern("^comboBoxRangeCh[1-%1]$", panelChannels)))
            watchSelector(combo);
    }
    if (on)
        customGroupFollowsFocus();
}
