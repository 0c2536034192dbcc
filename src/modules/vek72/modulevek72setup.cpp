// Setups: what the panels hold, read out in one piece and put back exactly; and the voltage limit
// that a start must keep.
//
// Putting a setup back is not a series of operator edits (those copy the common values into the
// channels and reset a channel's voltage when its type changes): every channel widget is set to its
// value directly on the GUI thread, quietly (the value fields' connections cut as open does, the
// selectors' and group boxes' echoes announced), and the common controls, the all-channels box and
// the frequency ceiling are then worked out from the channels.
#include "modulevek72.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QPushButton>
#include <QSharedPointer>
#include <QSpinBox>

#include <atomic>
#include <cmath>

#include "modulevek72guihandler.h"
#include "panelsetup.h"
#include "ui_vek72controls.h"
#include "ui_vek72settings.h"
#include "widgetsync.h"

using namespace channelwidgets;

namespace {

const char* const cyclicText = "Циклический автогенератор";
const char* const streamingText = "Потоковый";

struct RateItem
{
    const char* text;
    int hertz;
};
const RateItem rateItems[] = { { "192 кГц", 192000 }, { "96 кГц", 96000 }, { "48 кГц", 48000 } };

int rateOf(const QString& text)
{
    for (const RateItem& item : rateItems) {
        if (text == QString::fromUtf8(item.text))
            return item.hertz;
    }
    return 0;
}

QString rateText(int hertz)
{
    for (const RateItem& item : rateItems) {
        if (item.hertz == hertz)
            return QString::fromUtf8(item.text);
    }
    return QString();
}

// How long a caller on another thread waits for the output to stop after a setup was put back.
constexpr int stopWaitMs = 5000;

} // namespace

setups::ModuleCapacity ModuleVek72::setupCapacity() const
{
    setups::ModuleCapacity capacity;
    capacity.limits = limits();
    capacity.modification = panelModification;
    capacity.channelCount = panelChannelCount;
    capacity.customSignals = customSignalsEnabled;
    capacity.fixedRange = panelModification == 2;
    capacity.frequencyDecimals = accuracyFreq;
    capacity.offsetDecimals = accuracyDc;
    for (int on = 0; on <= panelChannels; ++on)
        capacity.frequencyCeiling[on] = frequencyCeilingFor(on);
    return capacity;
}

QVariantMap ModuleVek72::panelSetup() const
{
    if (!guiHandler)
        return QVariantMap();
    const setups::PanelSetup empty;
    const setups::PanelSetup setup =
        widgetsync::query<setups::PanelSetup>(guiHandler, [this] { return readSetup(); }, empty);
    return setup.channelCount > 0 ? setups::toVariant(setup) : QVariantMap();
}

setups::PanelSetup ModuleVek72::readSetup() const
{
    setups::PanelSetup setup;
    if (panelChannelCount < 1 || !settingsHost || !controlsHost)
        return setup;
    setup.modification = panelModification;
    setup.channelCount = panelChannelCount;
    setup.crate = panelCrate;
    setup.slot = panelSlot;
    setup.cyclic = settingsUi->comboBoxMode->currentText() == QString::fromUtf8(cyclicText);
    setup.dacRate = rateOf(settingsUi->comboBoxDacFreq->currentText());
    for (int n = 1; n <= panelChannelCount; ++n) {
        auto* group = channelWidget<QGroupBox>("^groupBoxCh%1$", n);
        auto* type = channelWidget<QComboBox>("^comboBoxVoltageTypeCh%1$", n);
        auto* range = channelWidget<QComboBox>("^comboBoxRangeCh%1$", n);
        auto* voltage = channelWidget<QSpinBox>("^spinBoxVoltageCh%1$", n);
        auto* frequency = channelWidget<QDoubleSpinBox>("^doubleSpinBoxFrequencyCh%1$", n);
        auto* offset = channelWidget<QDoubleSpinBox>("^doubleSpinBoxOffsetCh%1$", n);
        if (!group || !type || !range || !voltage || !frequency || !offset)
            continue;
        setups::ChannelSetup channel;
        channel.channel = n;
        channel.on = group->isChecked();
        if (voltageTypeFromText(type->currentText()) == VoltageTypeDc)
            channel.type = setups::ChannelType::Dc;
        else if (type->currentText() == specialTypeText())
            channel.type = setups::ChannelType::Custom;
        // Item 0 is the one-tenth range, item 1 the full range, whatever their labels.
        channel.range = range->currentIndex() == 0 ? setups::Range::Tenth : setups::Range::Full;
        channel.voltage = voltage->value();
        // The frequency asked for, not the achieved one the field may show after a start.
        channel.frequency = channelFrequencyRequest(n, frequency->value());
        channel.offset = offset->value();
        if (customSignalsEnabled) {
            const ChannelSignal& custom = customSignals[n - 1];
            channel.hasCustom = true;
            channel.custom.shape = custom.shape;
            channel.custom.amplitude = custom.amplitude;
            channel.custom.frequency = custom.frequency;
            channel.custom.offset = custom.offset;
            channel.custom.phase = custom.phase;
            channel.custom.waveform = custom.waveform;
        }
        setup.channels.append(channel);
    }
    return setup;
}

bool ModuleVek72::applyPanelSetup(const QVariantMap& map, QStringList& notes, QString& error)
{
    setups::PanelSetup setup;
    if (!setups::fromVariant(map, &setup, &error))
        return false;
    if (!guiHandler) {
        error = QStringLiteral("панели модуля не построены");
        return false;
    }

    // The work runs once or not at all: a wait that gives up before it has begun cancels it, so that
    // a setup reported as refused is never put back later.
    enum State { Pending, Running, Done, Cancelled };
    struct Outcome
    {
        std::atomic<int> state{ Pending };
        QStringList notes;
        QString error;
    };
    auto outcome = QSharedPointer<Outcome>::create();
    const auto work = [this, setup, outcome]() mutable {
        int expected = Pending;
        if (!outcome->state.compare_exchange_strong(expected, Running))
            return;
        if (panelChannelCount < 1 || !settingsHost || !controlsHost)
            outcome->error = QStringLiteral("модуль не открыт");
        else if (setups::fitToModule(setup, setupCapacity(), &outcome->notes, &outcome->error)) {
            // Putting a setup back never starts output; a channel beyond its output is said now and
            // refused by "Старт".
            const QString beyond = setups::beyondOutputs(setup, panelModification, customSignalsEnabled);
            if (!beyond.isEmpty())
                outcome->notes << beyond + QStringLiteral(" — такой сигнал не будет запущен");
            writeSetup(setup);
        }
        outcome->state.store(Done);
    };
    if (!widgetsync::runOn(guiHandler, work)) {
        int expected = Pending;
        if (outcome->state.compare_exchange_strong(expected, Cancelled)) {
            error = QStringLiteral("панели модуля не ответили вовремя");
            return false;
        }
        // Begun just as the wait gave up: setting widgets takes no time worth bounding.
        while (outcome->state.load() != Done)
            QThread::yieldCurrentThread();
    }
    if (!outcome->error.isEmpty()) {
        error = outcome->error;
        return false;
    }
    notes = outcome->notes;

    // The start button was released with the panels; its slot stops the output on the module
    // thread. A caller on a third thread (a remote command) returns once it has.
    if (QThread::currentThread() != thread() && !widgetsync::onThreadOf(guiHandler)) {
        QElapsedTimer clock;
        clock.start();
        while (isRunning() && clock.elapsed() < stopWaitMs)
            QThread::msleep(5);
    }
    return true;
}

void ModuleVek72::writeSetup(const setups::PanelSetup& setup)
{
    Ui::Vek72Settings* ui = settingsUi;
    const ModificationLimits& lim = limits();
    const auto leftAlone = [this](const setups::ChannelSetup* channel) {
        return channel && channel->type == setups::ChannelType::Custom && !customSignalsEnabled;
    };

    // Output stops the operator's way: the button's own slot shows "Старт", stops and drives the
    // outputs to 0 V. Nothing below presses it.
    if (ui->pushButtonStartStop->isChecked())
        ui->pushButtonStartStop->setChecked(false);

    linkValueFields(false);
    valueFieldsLinked = false;

    // Every channel is set up switched on, as an operator would set it, and switched off
    // afterwards where the setup says so: an unchecked group box disables its fields and enables
    // again, when checked, only those the program did not disable itself.
    for (int n = 1; n <= panelChannelCount; ++n) {
        if (auto* group = channelWidget<QGroupBox>("^groupBoxCh%1$", n))
            setQuietly(skipChannelEnable, group, true);
    }
    for (const setups::ChannelSetup& channel : setup.channels) {
        const int n = channel.channel;
        auto* type = channelWidget<QComboBox>("^comboBoxVoltageTypeCh%1$", n);
        auto* range = channelWidget<QComboBox>("^comboBoxRangeCh%1$", n);
        auto* voltage = channelWidget<QSpinBox>("^spinBoxVoltageCh%1$", n);
        auto* frequency = channelWidget<QDoubleSpinBox>("^doubleSpinBoxFrequencyCh%1$", n);
        auto* offset = channelWidget<QDoubleSpinBox>("^doubleSpinBoxOffsetCh%1$", n);
        if (n > panelChannelCount || leftAlone(&channel) || !type || !range || !voltage || !frequency || !offset)
            continue;
        const bool ac = channel.type == setups::ChannelType::Ac;
        const bool dc = channel.type == setups::ChannelType::Dc;
        const QString typeText = ac ? QStringLiteral("AC") : dc ? QStringLiteral("DC") : specialTypeText();
        setQuietly(skipChannelVoltageType, type, itemIndex(type, typeText));
        // A channel of the special type shows the DC labels (peak volts) and keeps its unused
        // voltage within the DC limits of its range, whatever type it had before.
        relabelRange(range, ac ? VoltageTypeAc : VoltageTypeDc);
        setQuietly(skipChannelRange, range, channel.range == setups::Range::Tenth ? 0 : 1);
        voltage->setMinimum(ac ? lim.acMin : lim.dcMin);
        voltage->setMaximum(setups::voltageCeiling(lim, channel.type, channel.range));
        voltage->setEnabled(ac || dc);
        setQuietly(skipChannelVoltage, voltage, int(channel.voltage));
        frequency->setEnabled(ac);
        offset->setEnabled(ac);
        setQuietly(skipChannelOffset, offset, channel.offset);

        if (customSignalsEnabled && channel.hasCustom) {
            ChannelSignal& custom = customSignals[n - 1];
            custom.channel = n;
            custom.shape = channel.custom.shape;
            custom.amplitude = channel.custom.amplitude;
            custom.frequency = channel.custom.frequency;
            custom.offset = channel.custom.offset;
            custom.phase = channel.custom.phase;
            custom.waveform = channel.custom.waveform;
        }
    }
    for (int n = 1; n <= panelChannelCount; ++n) {
        const setups::ChannelSetup* channel = setup.find(n);
        if (auto* group = channelWidget<QGroupBox>("^groupBoxCh%1$", n))
            setQuietly(skipChannelEnable, group, channel && channel->on && !leftAlone(channel));
    }
    // The frequencies once the ceiling is that of the channels switched on.
    syncAllChannelsBox(nullptr);
    for (const setups::ChannelSetup& channel : setup.channels) {
        auto* frequency = channelWidget<QDoubleSpinBox>("^doubleSpinBoxFrequencyCh%1$", channel.channel);
        if (channel.channel <= panelChannelCount && !leftAlone(&channel) && frequency)
            setQuietly(skipChannelFrequency, frequency, channel.frequency);
    }

    ui->comboBoxMode->setCurrentIndex(
        itemIndex(ui->comboBoxMode, QString::fromUtf8(setup.cyclic ? cyclicText : streamingText)));
    ui->comboBoxDacFreq->setCurrentIndex(itemIndex(ui->comboBoxDacFreq, rateText(setup.dacRate)));

    // The custom group shows the focused channel's custom signal while that channel is on and of
    // the special type; the focused channel is not bold once it is off.
    if (customSignalsEnabled) {
        auto* group = channelWidget<QGroupBox>("^groupBoxCh%1$", focusedChannel);
        auto* type = channelWidget<QComboBox>("^comboBoxVoltageTypeCh%1$", focusedChannel);
        const bool special = group && group->isChecked() && type && type->currentText() == specialTypeText();
        if (group && !group->isChecked())
            group->setStyleSheet(groupNormal());
        ui->groupBoxCustom->setEnabled(special);
        loadCustomGroup(focusedChannel);
    }

    syncCommonFromChannels();
    syncAllChannelsBox(nullptr);

    linkValueFields(true);
    valueFieldsLinked = true;
}

QString ModuleVek72::voltageLimitExceeded(const PanelConfiguration& panel, bool starting) const
{
    // A limit that cannot be read lets nothing out: no start, and no value above 0 V.
    const int limit = voltageLimitMv.load();
    const QString unreadable = QStringLiteral("предел напряжения VoltageLimit в stendix.ini не читается; выходы не "
                                              "включаются, пока он не исправлен или не удалён");
    if (limit == 0)
        return QString();
    if (limit < 0 && starting)
        return unreadable;
    for (const PanelChannel& c : panel.channels) {
        double peak = 0.0;   // mV
        const VoltageTypeCode type = voltageTypeFromText(c.typeText);
        if (type == VoltageTypeAc)
            peak = std::abs(c.offset * 1000.0) + c.voltage * std::sqrt(2.0);
        else if (type == VoltageTypeDc)
            peak = std::abs(double(c.voltage));
        else if (customSignalsEnabled && c.typeText == specialTypeText())
            peak = std::abs(c.custom.offset * 1000.0)
                   + (c.custom.shape == ChannelSignal::Line ? 0.0 : std::abs(c.custom.amplitude * 1000.0));
        if (peak > std::max(limit, 0))
            return limit < 0 ? unreadable
                             : QStringLiteral("на канале %1 было бы до %2 мВ, а ограничение напряжения — %3 мВ")
                                   .arg(c.number).arg(std::ceil(peak)).arg(limit);
    }
    return QString();
}
