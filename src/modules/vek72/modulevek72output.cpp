// Output: a start reads the channel widgets, configures the module from them, synthesises the
// signals, sends the first block and starts the sender; the frequencies actually produced go back
// into the channel fields. A stop stops the sender.
#include "modulevek72.h"

#include <QComboBox>
#include <QDebug>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QMovie>
#include <QElapsedTimer>
#include <QLocale>
#include <QThread>
#include <QMutexLocker>
#include <QPushButton>
#include <QSpinBox>

#include <cmath>
#include <limits>

#include "modulevek72guihandler.h"
#include "outputrange.h"
#include "synthesis.h"
#include "serviceaddress.h"
#include "ui_vek72settings.h"
#include "widgetsync.h"

using namespace channelwidgets;

namespace {

const char* const cyclicModeText = "Циклический автогенератор";

} // namespace

double dacRateOfItem(const QString& itemText)
{
    if (itemText == QStringLiteral("192 кГц"))
        return 192000.0;
    if (itemText == QStringLiteral("96 кГц"))
        return 96000.0;
    if (itemText == QStringLiteral("48 кГц"))
        return 48000.0;
    return 0.0;
}

QString channelCountText(int channels)
{
    const int lastTwo = channels % 100;
    const int last = channels % 10;
    const char* word = (last == 1 && lastTwo != 11) ? "канал"
                       : (last >= 2 && last <= 4 && (lastTwo < 12 || lastTwo > 14)) ? "канала" : "каналов";
    return QStringLiteral("%1 %2").arg(channels).arg(QString::fromUtf8(word));
}

QString rateText(double hertz)
{
    // "64 кГц", "12 кГц", "1.5 кГц": kilohertz, as the DAC rate selector shows them.
    return QStringLiteral("%1 кГц").arg(QLocale::c().toString(hertz / 1000.0, 'g', 6));
}

bool ModuleVek72::start(bool suppress)
{
    if (suppress)
        return false;
    const PanelConfiguration panel = readPanels();
    if (!panel.startPressed)
        return true;
    if (!outputPossible(panel, false)) {
        refuseOutput(false);
        return true;
    }
    const bool cyclic = panel.modeText == QString::fromUtf8(cyclicModeText);
    if (!applyConfiguration(cyclic, panel) || !sender || !sender->startOutput()) {
        // The button goes back to "Старт"; its slot stops whatever still runs and zeroes the outputs.
        releaseStartButton();
        return true;
    }
    // The outputs are what the panels show from here on.
    restZeroes = false;
    setSafety(OutputSafety::Safe);
    reportOutput(QStringLiteral("Генерация"));
    // After the start, so that the new output begins as early as it can.
    showAchievedFrequencies();
    syncBusyAnimation();
    return true;
}

ModuleVek72::OutputRefusal ModuleVek72::outputRefusal(const PanelConfiguration& panel, bool planned) const
{
    const QString overLimit = voltageLimitExceeded(panel, planned);
    if (!overLimit.isEmpty())
        return { OutputRefusal::Limit, overLimit };
    const bool cyclic = panel.modeText == QString::fromUtf8(cyclicModeText);
    QList<ChannelSignal> signalList;
    TVEK72_CONFIG config{};
    QStringList refusals;
    // A channel left out is said when the output is configured; an output that cannot be
    // configured at all is refused here.
    if (!buildOutput(cyclic, panel, signalList, config, &refusals))
        return { OutputRefusal::Plan, refusals.value(refusals.size() - 1) };
    if (signalList.isEmpty())
        return { planned ? OutputRefusal::Plan : OutputRefusal::None, planned ? synthesis::noChannelsText() : QString() };
    // The plan synthesis would make at the rate the channels would get.
    synthesis::Plan plan;
    if (planned) {
        plan = synthesis::makePlan(signalList, synthesis::outputRateFor(config.dacRateHz, signalList.size()), cyclic);
        if (!plan.ok())
            return { OutputRefusal::Plan, plan.message };
    }
    QVector<bool> tenth;
    for (const ChannelSignal& s : signalList)
        tenth << (config.channel[s.channel - 1].output == 1);
    const QString beyond = synthesis::beyondOutputs(signalList, panel.modification, tenth, planned ? &plan : nullptr);
    return { beyond.isEmpty() ? OutputRefusal::None : OutputRefusal::Range, beyond };
}

bool ModuleVek72::outputPossible(const PanelConfiguration& panel, bool running)
{
    const OutputRefusal refusal = outputRefusal(panel, true);
    if (refusal.kind == OutputRefusal::None)
        return true;
    // A start refused says so as before; a change refused while output runs says that it plays on.
    qCritical().noquote() << (running ? QStringLiteral("Изменение не применено, генерация продолжается: ") + refusal.reason
                              : refusal.kind == OutputRefusal::Plan ? refusal.reason
                                                                    : QStringLiteral("Старт отменён: ") + refusal.reason);
    return false;
}

void ModuleVek72::refuseOutput(bool running)
{
    // A running output plays on as it was; a start that cannot be made shows "Старт" again.
    if (!running)
        releaseStartButton();
}

bool ModuleVek72::isRunning() const
{
    // Also while a stop has not been confirmed by the module: it may still play.
    return (sender && sender->isRunning()) || safety.load() == OutputSafety::MayPlay;
}

bool ModuleVek72::stop()
{
    return stopConfirmed(false);
}

bool ModuleVek72::waitForStopInProgress()
{
    if (!sender || !sender->isStopping())
        return false;
    // A stop ends within its library calls' bounds.
    QElapsedTimer clock;
    clock.start();
    while (sender->isStopping() && clock.elapsed() < stopWaitMs)
        QThread::msleep(1);
    return true;
}

void ModuleVek72::reportOutput(const QString& what)
{
    int channels = 0;
    double rate = 0.0;
    bool cyclic = true;
    {
        QMutexLocker lock(&handleMutex);
        channels = handle.state.enabledChannels;
        rate = handle.state.outputRate;
        cyclic = handle.state.outputMode == 0;
    }
    const QString text = QStringLiteral("%1: %2, %3 на канал, %4")
                             .arg(what, channelCountText(channels), rateText(rate),
                                  cyclic ? QStringLiteral("циклический режим") : QStringLiteral("потоковый режим"));
    qInfo().noquote() << text;
    emit statusMessage(text);
}

ModuleVek72::PanelConfiguration ModuleVek72::readPanels() const
{
    if (!guiHandler || !settingsHost)
        return PanelConfiguration();
    return widgetsync::query<PanelConfiguration>(guiHandler, [this] { return readPanelsHere(); }, PanelConfiguration());
}

ModuleVek72::PanelConfiguration ModuleVek72::readPanelsHere() const
{
    PanelConfiguration p;
    if (!settingsHost)
        return p;
    Ui::Vek72Settings* ui = settingsUi;
    p.startPressed = ui->pushButtonStartStop->isChecked();
    p.modeText = ui->comboBoxMode->currentText();
    p.rateText = ui->comboBoxDacFreq->currentText();
    p.rateIndex = ui->comboBoxDacFreq->currentIndex();
    p.modification = panelModification;
    p.channelCount = panelChannelCount;
    // All eight: configuration leaves out those beyond the module's channel count.
    for (QGroupBox* group : all<QGroupBox>(controlsHost, pattern("^groupBoxCh[1-%1]$", panelChannels))) {
        if (group->isChecked())
            p.channels.append(readChannelHere(number(group, "^groupBoxCh(\\d)$")));
    }
    return p;
}

ModuleVek72::PanelChannel ModuleVek72::readChannelHere(int channel) const
{
    PanelChannel c;
    c.number = channel;
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
        c.frequency = channelFrequencyRequest(c.number, frequency->value());
    if (auto* offset = channelWidget<QDoubleSpinBox>("^doubleSpinBoxOffsetCh%1$", c.number))
        c.offset = offset->value();
    if (c.number >= 1 && c.number <= panelChannels)
        c.custom = customSignals[c.number - 1];
    return c;
}

// The signals to play and the library configuration for them, from what the panels showed; the
// handle is not touched. Every rejected channel costs only itself. False when the DAC rate item is
// not one the module knows.
bool ModuleVek72::buildOutput(bool cyclic, const PanelConfiguration& panel, QList<ChannelSignal>& signalList,
                              TVEK72_CONFIG& config, QStringList* refusals) const
{
    const auto refuse = [refusals](const QString& text) {
        if (refusals)
            *refusals << text;
    };
    const int channelCount = qBound(0, panel.channelCount, VEK72_MAX_CHANNELS);
    const ModificationLimits& lim = limitsForModification(panel.modification);
    signalList.clear();
    for (TVEK72_CHANNEL& channel : config.channel)
        channel.enabled = 0;
    for (const PanelChannel& c : panel.channels) {
        if (c.number < 1 || c.number > channelCount)
            continue;
        ChannelSignal s;
        const VoltageTypeCode type = voltageTypeFromText(c.typeText);
        if (type == VoltageTypeAc) {
            s = synthesis::acChannelSignal(c.number, c.voltage, c.frequency, c.offset);
        } else if (type == VoltageTypeDc) {
            s = synthesis::dcChannelSignal(c.number, c.voltage);
        } else if (customSignalsEnabled && c.typeText == specialTypeText()) {
            s = c.custom;
            s.samples = QVector<double>();
        } else {
            refuse(QStringLiteral("Недопустимый индекс режима воспроизведения сигнала %1 (канал %2)")
                       .arg(uint(c.typeIndex)).arg(c.number));
            continue;
        }
        s.channel = c.number;
        const int rangeCode = rangeCodeFromText(lim, c.rangeText);
        if (rangeCode != 1 && rangeCode != 2) {
            refuse(QStringLiteral("Недопустимый индекс диапазона %1 (канал %2)").arg(uint(c.rangeIndex)).arg(c.number));
            continue;
        }
        TVEK72_CHANNEL& channel = config.channel[c.number - 1];
        channel.enabled = 1;
        channel.output = rangeCode == 2 ? 1 : 0;
        channel.source = 0;
        signalList.append(s);
    }
    config.outputMode = cyclic ? 0 : 1;
    config.dacEnable = 1;
    const double rate = dacRateOfItem(panel.rateText);
    if (rate == 0.0) {
        refuse(QStringLiteral("Недопустимый индекс частоты ЦАП %1").arg(uint(panel.rateIndex)));
        return false;
    }
    VEK72_FillOutFreq(&config, rate, nullptr);
    return true;
}

// The library configuration and the signals to play, from what the panels showed; then synthesis
// and the first block.
bool ModuleVek72::applyConfiguration(bool cyclic, const PanelConfiguration& panel)
{
    QMutexLocker lock(&handleMutex);
    QList<ChannelSignal> signalList;
    TVEK72_CONFIG config = handle.config;
    QStringList refusals;
    const bool built = buildOutput(cyclic, panel, signalList, config, &refusals);
    for (const QString& refusal : refusals)
        qCritical().noquote() << refusal;
    {
        QMutexLocker samples(&senderMutex);
        outputData = signalList;
    }
    if (!built)
        return false;
    handle.config = config;
    return configureModule(cyclic, config.dacRateHz) && sender && sender->synthesize(cyclic) != 0;
}

bool ModuleVek72::changeWhilePlaying(const PanelConfiguration& panel)
{
    const bool cyclic = panel.modeText == QString::fromUtf8(cyclicModeText);
    QList<ChannelSignal> signalList;
    TVEK72_CONFIG config;
    {
        QMutexLocker lock(&handleMutex);
        config = handle.config;
    }
    const TVEK72_CONFIG applied = config;
    if (!sender || !buildOutput(cyclic, panel, signalList, config) || signalList.isEmpty())
        return false;
    // The same channels on the same ranges at the same rate in the same mode: the module goes on
    // playing and only its signals change. Anything else takes a stop and a new configuration.
    for (int i = 0; i < VEK72_MAX_CHANNELS; ++i) {
        if (config.channel[i].enabled != applied.channel[i].enabled
            || (config.channel[i].enabled && config.channel[i].output != applied.channel[i].output))
            return false;
    }
    if (config.outputMode != applied.outputMode || config.dacRateHz != applied.dacRateHz)
        return false;
    return sender->changeSignals(signalList, cyclic);
}

double ModuleVek72::channelFrequencyRequest(int channel, double shown) const
{
    if (channel < 1 || channel > panelChannels)
        return shown;
    double& asked = requestedFrequency[channel - 1];
    double& achieved = achievedShown[channel - 1];
    // A field that no longer shows the achieved frequency has been edited (by the operator, the
    // common controls, remote control, a setup or the frequency ceiling): its value is the request.
    if (std::isnan(achieved) || std::isnan(asked) || shown != achieved) {
        asked = shown;
        achieved = std::numeric_limits<double>::quiet_NaN();
    }
    return asked;
}

void ModuleVek72::showFrequencyRequest(QDoubleSpinBox* box, int channel) const
{
    if (!box || channel < 1 || channel > panelChannels)
        return;
    const double asked = requestedFrequency[channel - 1];
    const bool differs = !std::isnan(achievedShown[channel - 1]) && !std::isnan(asked) && asked != box->value();
    box->setProperty("frequencyRequest",
                     differs ? QStringLiteral("Задано: %1 Гц").arg(QLocale::c().toString(asked, 'g', 12)) : QString());
    ModuleVek72GuiHandler::composeFieldTip(box);
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
            if (!box || !box->isEnabled() || entry.first < 1 || entry.first > panelChannels)
                continue;
            // Rounded half away from zero to the shown decimals, within 1 Hz and the ceiling. The
            // field shows what plays; the channel keeps the frequency asked for, which the next
            // start plans from again, so that frequencies never drift from one start to the next.
            const double shown = qBound(1.0, std::round(entry.second * scale) / scale, double(maxFrequency));
            if (box->value() != shown) {
                setQuietly(skipChannelFrequency, box, shown);
                syncCommonFrequency(box);
            }
            achievedShown[entry.first - 1] = box->value();
            showFrequencyRequest(box, entry.first);
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

void ModuleVek72::releaseStartButton()
{
    if (!settingsHost)
        return;
    QPushButton* button = settingsUi->pushButtonStartStop;
    // Waits until the button shows "Старт", so that whoever looks next sees the refusal.
    widgetsync::runOn(button, [button] { button->setChecked(false); });
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
    if (!sender || letGo)
        return;
    const bool silent = sender->serviceSilent();
    sender->abandonOutput();
    // Nothing reaches the module any more: what it was left doing is found out when it is opened again.
    restZeroes = false;
    setSafety(OutputSafety::Safe);
    {
        // The connection is gone already (or given up): only the handle is let go.
        QMutexLocker lock(&handleMutex);
        VEK72_Close(&handle);
    }
    qCritical().noquote() << (silent ? QStringLiteral("Потеряна связь со службой крейтов %1: служба не отвечает")
                                     : QStringLiteral("Потеряна связь со службой крейтов %1"))
                                    .arg(serviceAddressText());
    requestOutput(false);
    syncBusyAnimation();
    emit connectionLost();
}

