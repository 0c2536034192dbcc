// Output: a start reads the channel widgets, configures the module from them, synthesises the
// signals, sends the first block and starts the sender; the frequencies actually produced go back
// into the channel fields. A stop stops the sender.
#include "modulevek72.h"

#include <QComboBox>
#include <QDebug>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QMovie>
#include <QMutexLocker>
#include <QPushButton>
#include <QSpinBox>

#include <cmath>

#include "modulevek72guihandler.h"
#include "serviceaddress.h"
#include "ui_vek72settings.h"
#include "widgetsync.h"

using namespace channelwidgets;

namespace {

const char* const cyclicModeText = "Циклический автогенератор";
constexpr double sqrt2 = 1.4142135623730951;

// The DAC rate of a rate selector item; 0 for any other text.
double dacRate(const QString& itemText)
{
    if (itemText == QStringLiteral("192 кГц"))
        return 192000.0;
    if (itemText == QStringLiteral("96 кГц"))
        return 96000.0;
    if (itemText == QStringLiteral("48 кГц"))
        return 48000.0;
    return 0.0;
}

} // namespace

bool ModuleVek72::start(bool suppress)
{
    if (suppress)
        return false;
    const PanelConfiguration panel = readPanels();
    if (!panel.startPressed)
        return true;
    if (!withinVoltageLimit(panel)) {
        releaseStartButton();
        return true;
    }
    const bool cyclic = panel.modeText == QString::fromUtf8(cyclicModeText);
    if (!applyConfiguration(cyclic, panel)) {
        // The button goes back to "Старт"; its slot stops whatever still runs.
        releaseStartButton();
        return true;
    }
    if (sender)
        sender->startOutput();
    // After the start, so that the new output begins as early as it can.
    showAchievedFrequencies();
    syncBusyAnimation();
    return true;
}

bool ModuleVek72::isRunning() const
{
    return sender && sender->isRunning();
}

bool ModuleVek72::stop()
{
    const bool stopped = sender ? sender->stopOutput() : false;
    syncBusyAnimation();
    return stopped;
}

ModuleVek72::PanelConfiguration ModuleVek72::readPanels() const
{
    PanelConfiguration panel;
    if (!guiHandler || !settingsHost)
        return panel;
    auto read = [this] {
        PanelConfiguration p;
        Ui::Vek72Settings* ui = settingsUi;
        p.startPressed = ui->pushButtonStartStop->isChecked();
        p.modeText = ui->comboBoxMode->currentText();
        p.rateText = ui->comboBoxDacFreq->currentText();
        p.rateIndex = ui->comboBoxDacFreq->currentIndex();
        p.modification = panelModification;
        // All eight: configuration leaves out those beyond the module's channel count.
        for (QGroupBox* group : all<QGroupBox>(controlsHost, pattern("^groupBoxCh[1-%1]$", panelChannels))) {
            if (!group->isChecked())
                continue;
            PanelChannel c;
            c.number = number(group, "^groupBoxCh(\\d)$");
            if (auto* type = channelWidget<QComboBox>("^comboBoxVoltageTypeCh%1$", c.number)) {
                c.typeText = type->currentText();
                c.typeIndex = type->currentIndex();
            }
            if (auto* range = channelWidget<QComboBox>("^comboBoxRangeCh%1$", c.number)) {
                c.rangeText = range->currentText();
                c.rangeIndex = range->currentIndex();
            }
            if (auto* voltage = channelWidget<QSpinBox>("^spinBoxVoltageCh%1$", c.number))
                c.voltage = voltage->value();
            if (auto* frequency = channelWidget<QDoubleSpinBox>("^doubleSpinBoxFrequencyCh%1$", c.number))
                c.frequency = frequency->value();
            if (auto* offset = channelWidget<QDoubleSpinBox>("^doubleSpinBoxOffsetCh%1$", c.number))
                c.offset = offset->value();
            if (c.number >= 1 && c.number <= panelChannels)
                c.custom = customSignals[c.number - 1];
            p.channels.append(c);
        }
        return p;
    };
    return widgetsync::query<PanelConfiguration>(guiHandler, read, panel);
}

// The library configuration and the signals to play, from what the panels showed; then synthesis
// and the first block. Every rejected channel costs only itself.
bool ModuleVek72::applyConfiguration(bool cyclic, const PanelConfiguration& panel)
{
    QMutexLocker lock(&handleMutex);
    const int channelCount = clearChannels();
    const ModificationLimits& lim = limitsForModification(panel.modification);

    QList<ChannelSignal> signalList;
    for (const PanelChannel& c : panel.channels) {
        if (c.number < 1 || c.number > channelCount)
            continue;
        ChannelSignal s;
        const VoltageTypeCode type = voltageTypeFromText(c.typeText);
        if (type == VoltageTypeAc) {
            s.shape = ChannelSignal::Sine;
            s.amplitude = c.voltage * sqrt2 / 1000.0;
            s.frequency = c.frequency;
            s.offset = c.offset;
        } else if (type == VoltageTypeDc) {
            s.shape = ChannelSignal::Line;
            s.amplitude = 0.0;
            s.frequency = 0.0;
            s.offset = c.voltage / 1000.0;
        } else if (customSignalsEnabled && c.typeText == specialTypeText()) {
            s = c.custom;
            s.samples = QVector<double>();
        } else {
            qCritical().noquote() << QStringLiteral("Недопустимый индекс режима воспроизведения сигнала %1 (канал %2)")
                                         .arg(uint(c.typeIndex)).arg(c.number);
            continue;
        }
        s.channel = c.number;
        const int rangeCode = rangeCodeFromText(lim, c.rangeText);
        if (rangeCode != 1 && rangeCode != 2) {
            qCritical().noquote() << QStringLiteral("Недопустимый индекс диапазона %1 (канал %2)")
                                         .arg(uint(c.rangeIndex)).arg(c.number);
            continue;
        }
        TVEK72_CHANNEL& config = handle.config.channel[c.number - 1];
        config.enabled = 1;
        config.output = rangeCode == 2 ? 1 : 0;
        config.source = 0;
        signalList.append(s);
    }
    {
        QMutexLocker samples(&senderMutex);
        outputData = signalList;
    }

    const double rate = dacRate(panel.rateText);
    if (rate == 0.0) {
        qCritical().noquote() << QStringLiteral("Недопустимый индекс частоты ЦАП %1").arg(uint(panel.rateIndex));
        return false;
    }
    return configureModule(cyclic, rate) && sender && sender->synthesize(cyclic) != 0;
}

void ModuleVek72::showAchievedFrequencies()
{
    QList<QPair<int, double>> achieved;
    {
        QMutexLocker samples(&senderMutex);
        for (const ChannelSignal& s : outputData)
            achieved.append({ s.channel, s.frequency });
    }
    onPanels([this, achieved] {
        const double scale = std::pow(10.0, accuracyFreq);
        for (const auto& entry : achieved) {
            auto* box = channelWidget<QDoubleSpinBox>("^doubleSpinBoxFrequencyCh%1$", entry.first);
            if (!box || !box->isEnabled())
                continue;
            // Rounded half away from zero to the shown decimals, within 1 Hz and the ceiling.
            const double shown = qBound(1.0, std::round(entry.second * scale) / scale, double(maxFrequency));
            if (box->value() == shown)
                continue;
            setQuietly(skipChannelFrequency, box, shown);
            syncCommonFrequency(box);
        }
        return 0;
    });
}

void ModuleVek72::syncBusyAnimation()
{
    if (!busyMovie)
        return;
    QMovie* movie = busyMovie;
    widgetsync::post(movie, [this, movie] { movie->setPaused(!isRunning()); });
}

void ModuleVek72::requestOutput(bool on)
{
    if (!settingsHost)
        return;
    QPushButton* button = settingsUi->pushButtonStartStop;
    // Through the button, so that its own slot starts or stops as the operator's click does.
    widgetsync::post(button, [button, on] {
        if (button->isChecked() != on)
            button->setChecked(on);
    });
}

void ModuleVek72::senderLostConnection()
{
    if (!sender)
        return;
    const bool silent = sender->serviceSilent();
    sender->abandonOutput();
    {
        // The connection is gone already (or given up): only the handle is let go.
        QMutexLocker lock(&handleMutex);
        sender->expectConnection(false);
        VEK72_Close(&handle);
    }
    qCritical().noquote() << (silent ? QStringLiteral("Потеряна связь со службой крейтов %1: служба не отвечает")
                                     : QStringLiteral("Потеряна связь со службой крейтов %1"))
                                    .arg(serviceAddressText());
    requestOutput(false);
    syncBusyAnimation();
    emit connectionLost();
}

void ModuleVek72::releaseStartButton()
{
    if (!settingsHost)
        return;
    QPushButton* button = settingsUi->pushButtonStartStop;
    widgetsync::runOn(button, [button] { button->setChecked(false); });
}
