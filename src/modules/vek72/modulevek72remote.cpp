// Remote control of the module: a setting changed through its control on the panels, so that the
// panel's own slots follow it on the module thread and the window shows it; what the controls show;
// restarts held while a command line runs; waiting until the module has done what it was asked;
// the panels put back as after opening the module.
//
// Every operation here is called on the remote-control server's thread, which waits (bounded) for
// the GUI thread and the module thread and is waited on by neither.
#include "modulevek72.h"

#include <QComboBox>
#include <QDebug>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSharedPointer>
#include <QSpinBox>

#include <cmath>
#include <functional>

#include "journal.h"
#include "modulevek72guihandler.h"
#include "ui_vek72controls.h"
#include "ui_vek72info.h"
#include "ui_vek72settings.h"
#include "waveform.h"
#include "widgetsync.h"

using namespace channelwidgets;

namespace {

// Upper bound of one change or read on the panels, and of the settles that a reset needs.
constexpr int panelsTimeoutMs = 5000;
constexpr int resetSettleMs = 10000;
// Failures kept for remote control until a client takes them.
constexpr int remoteFailuresKept = 32;

const char* const shapeItems[] = { "Синус", "Треугольник", "Пила", "Импульс", "Линия" };
constexpr int shapeCount = int(sizeof(shapeItems) / sizeof(shapeItems[0]));

const char* const cyclicModeItem = "Циклический автогенератор";
const char* const streamModeItem = "Потоковый";

QString rateItem(int hertz)
{
    switch (hertz) {
    case 48000: return QStringLiteral("48 кГц");
    case 96000: return QStringLiteral("96 кГц");
    case 192000: return QStringLiteral("192 кГц");
    default: return QString();
    }
}

int rateOfItem(const QString& item)
{
    for (int hertz : { 48000, 96000, 192000 }) {
        if (rateItem(hertz) == item)
            return hertz;
    }
    return 0;
}

// A value in the units and resolution of a field: whole millivolts for a voltage spin box, the
// shown decimals for a double spin box (rounded half away from zero, as the field itself rounds).
double rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

// Sets a field to a value within its range; a value outside it changes nothing (never clamped).
// `admit`, when given, may still refuse a value within the range (for what it would play).
using Admission = std::function<Module::SettingResult()>;

Module::SettingResult setField(QSpinBox* box, double millivolts, bool* changed, const Admission& admit = {})
{
    const double value = std::round(millivolts);
    if (!(value >= box->minimum() && value <= box->maximum()))
        return Module::SettingResult::OutOfRange;
    if (admit) {
        const Module::SettingResult admitted = admit();
        if (admitted != Module::SettingResult::Done)
            return admitted;
    }
    if (box->value() != int(value)) {
        box->setValue(int(value));
        *changed = true;
    }
    return Module::SettingResult::Done;
}

Module::SettingResult setField(QDoubleSpinBox* box, double value, bool* changed, const Admission& admit = {})
{
    const double shown = rounded(value, box->decimals());
    if (!(shown >= box->minimum() && shown <= box->maximum()))
        return Module::SettingResult::OutOfRange;
    if (admit) {
        const Module::SettingResult admitted = admit();
        if (admitted != Module::SettingResult::Done)
            return admitted;
    }
    if (box->value() != shown) {
        box->setValue(shown);
        *changed = true;
    }
    return Module::SettingResult::Done;
}

bool selectItem(QComboBox* combo, int index, bool* changed)
{
    if (index < 0)
        return false;
    if (combo->currentIndex() != index) {
        combo->setCurrentIndex(index);
        *changed = true;
    }
    return true;
}

// Waits, at most timeoutMs, until `target`'s thread has run everything queued to it before this.
bool drained(QObject* target, int timeoutMs)
{
    if (!target)
        return true;
    auto done = QSharedPointer<QSemaphore>::create();
    QMetaObject::invokeMethod(target, [done] { done->release(); }, Qt::QueuedConnection);
    return done->tryAcquire(1, qMax(0, timeoutMs));
}

} // namespace

bool ModuleVek72::remoteCallerMayWait(const char* operation) const
{
    QThread* current = QThread::currentThread();
    if (current != thread() && !(guiHandler && current == guiHandler->thread()))
        return true;
    qWarning().noquote() << QStringLiteral("%1: вызов из потока, которого ждёт удалённое управление").arg(QLatin1String(operation));
    return false;
}

bool ModuleVek72::deferRestart()
{
    ++slotRuns;
    if (!restartsHeld.load())
        return false;
    restartAsked = true;
    return true;
}

Module::SettingResult ModuleVek72::changeSetting(const QString& key, int channel, const QVariant& value,
                                                 QString* reason)
{
    if (!remoteCallerMayWait("changeSetting"))
        return SettingResult::NoAnswer;
    if (!guiHandler || !isOpened())
        return SettingResult::NoModule;
    // The change is checked against what the panels show once what earlier changes set off has
    // been done (a new range resets the voltage field and sets its limits, for example).
    if (!settle(resetSettleMs))
        return SettingResult::NoAnswer;
    // Shared with the work, which may still run after a wait that gave up.
    struct Outcome
    {
        SettingResult result = SettingResult::NoAnswer;
        bool changed = false;
        QString reason;
    };
    auto outcome = QSharedPointer<Outcome>::create();
    QVariant given = value;
    if (key == QLatin1String("waveform")) {
        // The period's spectrum is computed here, on the caller's thread, not on the panels'.
        const QVariantMap map = value.toMap();
        QVector<double> points;
        for (const QVariant& point : map.value(QStringLiteral("points")).toList())
            points.append(point.toDouble());
        Waveform::Problem problem = Waveform::NoProblem;
        const WaveformPointer waveform = Waveform::create(points, map.value(QStringLiteral("name")).toString(), &problem);
        if (!waveform) {
            if (reason)
                *reason = QStringLiteral("точки произвольного сигнала не приняты: %1")
                              .arg(problem == Waveform::AllZero ? QStringLiteral("все нули")
                                   : problem == Waveform::NotFinite ? QStringLiteral("не число")
                                   : QStringLiteral("нужно от %1 до %2 точек").arg(Waveform::minPoints).arg(Waveform::maxPoints));
            return SettingResult::IllegalValue;
        }
        given = QVariant::fromValue(waveform);
    }
    if (!widgetsync::runOn(guiHandler, [this, outcome, key, channel, value = given] {
            outcome->result = changeOnPanels(key, channel, value, &outcome->changed, &outcome->reason);
        }, panelsTimeoutMs))
        return SettingResult::NoAnswer;   // the work may still run: its outcome is not read here
    if (outcome->changed)
        changedWhileHeld = true;
    if (reason)
        *reason = outcome->reason;
    return outcome->result;
}

QVariant ModuleVek72::setting(const QString& key, int channel) const
{
    if (!remoteCallerMayWait("setting") || !guiHandler || !isOpened())
        return {};
    return widgetsync::query<QVariant>(guiHandler, [this, key, channel] { return readOnPanels(key, channel); },
                                       QVariant(), panelsTimeoutMs);
}

void ModuleVek72::holdRestarts(bool hold)
{
    if (hold) {
        changedWhileHeld = false;
        stopAskedWhileHeld = false;
        restartsHeld = true;
        return;
    }
    if (!restartsHeld.load())
        return;
    // The slots that the changes of the line set off may still be on their way: their restart
    // requests are collected before the hold ends.
    if (changedWhileHeld.load() && remoteCallerMayWait("holdRestarts"))
        settle(resetSettleMs);
    restartsHeld = false;
    const bool asked = restartAsked.exchange(false);
    const bool changedValues = changedWhileHeld.exchange(false);
    // A line that stopped the output restarts nothing, also while the stop is not yet confirmed.
    if (stopAskedWhileHeld.exchange(false))
        return;
    if (asked || (changedValues && isRunning()))
        QMetaObject::invokeMethod(this, "remoteRestart", Qt::QueuedConnection);
}

void ModuleVek72::remoteRestart()
{
    // Its refusals and failures are the client's, not a box's.
    MessageRoute route;
    restartManual();
    keepRemoteFailures(route.criticals());
}

void ModuleVek72::keepRemoteFailures(const QStringList& failures)
{
    if (failures.isEmpty())
        return;
    QMutexLocker lock(&remoteFailuresLock);
    remoteFailures << failures;
    // A client that never asks does not make them pile up.
    while (remoteFailures.size() > remoteFailuresKept)
        remoteFailures.removeFirst();
}

QStringList ModuleVek72::takeRemoteFailures()
{
    QMutexLocker lock(&remoteFailuresLock);
    QStringList taken;
    taken.swap(remoteFailures);
    return taken;
}

bool ModuleVek72::settle(int timeoutMs)
{
    if (!remoteCallerMayWait("settle"))
        return false;
    // Rounds of the panels' thread and then the module thread: a change on the panels queues its
    // slot to the module thread, and a slot there changes the panels and may queue more. Settled
    // when a whole round ran no slot of the module.
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const unsigned before = slotRuns.load();
        if (!drained(guiHandler, int(timeoutMs - clock.elapsed())))
            return false;
        if (!drained(this, int(timeoutMs - clock.elapsed())))
            return false;
        if (slotRuns.load() == before)
            return true;
    }
}

bool ModuleVek72::resetPanels()
{
    if (!remoteCallerMayWait("resetPanels") || !guiHandler || !isOpened())
        return false;
    // Output stops the operator's way (the outputs go to 0 V) before the panels change.
    stopAskedWhileHeld = restartsHeld.load();
    if (settingsHost) {
        QPushButton* button = settingsUi->pushButtonStartStop;
        widgetsync::post(button, [this, button] {
            if (!button->isChecked())
                return;
            remoteStopAsked = true;
            button->setChecked(false);
        });
    }
    if (!settle(resetSettleMs))
        return false;
    if (!widgetsync::runOn(guiHandler, [this] { resetPanelsOnGui(); }, panelsTimeoutMs))
        return false;
    return settle(resetSettleMs);
}

// --- On the GUI thread ---------------------------------------------------------------------------

Module::SettingResult ModuleVek72::changeOnPanels(const QString& key, int channel, const QVariant& value,
                                                  bool* changed, QString* reason)
{
    if (!settingsHost || !controlsHost)
        return SettingResult::NoModule;
    Ui::Vek72Settings* ui = settingsUi;

    // The module's own settings.
    if (key == QLatin1String("rate")) {
        const QString item = rateItem(value.toInt());
        if (item.isEmpty() || value.toDouble() != value.toInt())
            return SettingResult::IllegalValue;
        if (!ui->comboBoxDacFreq->isEnabledTo(settingsHost))
            return SettingResult::SettingsConflict;
        return selectItem(ui->comboBoxDacFreq, itemIndex(ui->comboBoxDacFreq, item), changed)
                   ? SettingResult::Done : SettingResult::IllegalValue;
    }
    if (key == QLatin1String("mode")) {
        const QString mode = value.toString();
        const char* item = mode == QLatin1String("CYCLIC") ? cyclicModeItem
                           : mode == QLatin1String("STREAM") ? streamModeItem : nullptr;
        if (!item)
            return SettingResult::IllegalValue;
        if (!ui->comboBoxMode->isEnabledTo(settingsHost))
            return SettingResult::SettingsConflict;
        return selectItem(ui->comboBoxMode, itemIndex(ui->comboBoxMode, QString::fromUtf8(item)), changed)
                   ? SettingResult::Done : SettingResult::IllegalValue;
    }
    if (key == QLatin1String("output")) {
        // "Старт": a released button is pressed, as the operator does; a pressed one asks for a
        // restart with what the panels show now. "Стоп": a pressed button (also one that shows a
        // stop the module has not confirmed) is released, and its slot stops.
        QPushButton* button = ui->pushButtonStartStop;
        const bool on = value.toBool();
        // A voltage limit that cannot be read lets nothing out: refused here, where the client
        // hears of it, rather than in a box on the bench's screen. A stop is never refused.
        if (!button->isEnabledTo(settingsHost) || (on && voltageLimitMv.load() < 0))
            return SettingResult::SettingsConflict;
        // A stop holds back the line's restarts; a start later in the line is asked for in its own
        // right and is not held back by the stop before it.
        stopAskedWhileHeld = !on && restartsHeld.load();
        if (button->isChecked() != on) {
            remoteStopAsked = !on && restartsHeld.load();
            button->setChecked(on);
            *changed = true;
        } else if (!on) {
            // Nothing to stop.
        } else if (restartsHeld.load())
            restartAsked = true;
        else
            QMetaObject::invokeMethod(this, "remoteRestart", Qt::QueuedConnection);
        return SettingResult::Done;
    }

    // A channel's settings: only channels of the module, whose box can be switched.
    static const QStringList channelKeys{ QStringLiteral("enabled"), QStringLiteral("function"), QStringLiteral("waveform"),
                                          QStringLiteral("range"), QStringLiteral("voltage"),
                                          QStringLiteral("offset"), QStringLiteral("frequency"),
                                          QStringLiteral("shape"), QStringLiteral("phase") };
    if (!channelKeys.contains(key))
        return SettingResult::UnknownKey;
    QGroupBox* group = channel >= 1 && channel <= panelChannelCount
                           ? channelWidget<QGroupBox>("^groupBoxCh%1$", channel) : nullptr;
    auto* typeCombo = channelWidget<QComboBox>("^comboBoxVoltageTypeCh%1$", channel);
    if (!group || !group->isEnabledTo(controlsHost) || !typeCombo)
        return SettingResult::NoModule;
    // A channel switched off still takes values, as its fields keep them; a field switched off
    // for the channel's type does not.
    const auto usable = [group](QWidget* w) { return w && w->isEnabledTo(group); };
    const bool special = customSignalsEnabled && typeCombo->currentText() == specialTypeText();

    if (key == QLatin1String("waveform")) {
        // One period of arbitrary points: the channel's custom signal plays it.
        if (!special)
            return SettingResult::SettingsConflict;
        customWaveformLoaded(channel, value.value<WaveformPointer>());
        *changed = true;
        return SettingResult::Done;
    }
    if (key == QLatin1String("enabled")) {
        const bool on = value.toBool();
        if (group->isChecked() != on) {
            group->setChecked(on);
            *changed = true;
        }
        return SettingResult::Done;
    }
    if (key == QLatin1String("function")) {
        const QString function = value.toString();
        QString item;
        if (function == QLatin1String("AC") || function == QLatin1String("DC"))
            item = function;
        else if (function == QLatin1String("CUSTOM"))
            item = specialTypeText();
        else
            return SettingResult::IllegalValue;
        const int index = itemIndex(typeCombo, item);
        if (index < 0 || !usable(typeCombo))
            return SettingResult::SettingsConflict;   // no custom signals, or a fixed type
        selectItem(typeCombo, index, changed);
        return SettingResult::Done;
    }
    if (key == QLatin1String("range")) {
        auto* range = channelWidget<QComboBox>("^comboBoxRangeCh%1$", channel);
        const QString wanted = value.toString();
        const int code = wanted == QLatin1String("FULL") ? 1 : wanted == QLatin1String("TENTH") ? 2 : 0;
        if (code == 0)
            return SettingResult::IllegalValue;
        if (!range)
            return SettingResult::NoModule;
        int index = -1;
        for (int i = 0; i < range->count() && index < 0; ++i) {
            if (rangeCodeFromText(limits(), range->itemText(i)) == code)
                index = i;
        }
        if (index == range->currentIndex())
            return SettingResult::Done;
        if (index < 0 || !usable(range))
            return SettingResult::SettingsConflict;   // a module whose range is fixed
        selectItem(range, index, changed);
        return SettingResult::Done;
    }
    if (key == QLatin1String("shape")) {
        bool isNumber = false;
        const int shape = value.toInt(&isNumber);
        if (!isNumber || shape < 0 || shape >= shapeCount)
            return SettingResult::IllegalValue;
        if (!customSignalsEnabled)
            return SettingResult::SettingsConflict;
        if (!special) {
            // The channel plays no custom signal now: its record keeps the shape for when it does.
            customSignals[channel - 1].shape = shape;
            return SettingResult::Done;
        }
        focusChannelForRemote(channel);
        selectItem(ui->comboBoxCustomShape, itemIndex(ui->comboBoxCustomShape, QString::fromUtf8(shapeItems[shape])),
                   changed);
        return SettingResult::Done;
    }

    // The values: volts and hertz.
    bool isNumber = false;
    const double number = value.toDouble(&isNumber);
    if (!isNumber || !std::isfinite(number))
        return SettingResult::OutOfRange;
    // Within its field's range, a value may still take the channel beyond its output.
    const Admission admit = [this, key, channel, number, special, reason] {
        return refusedForOutput(key, channel, number, special, reason);
    };
    if (key == QLatin1String("phase")) {
        // A property of the custom signal: AC and DC channels keep phase 0.
        if (!special)
            return SettingResult::SettingsConflict;
        focusChannelForRemote(channel);
        return setField(ui->doubleSpinBoxCustomPhase, number, changed);
    }
    if (special) {
        // The custom signal of the channel, through the custom group, which then shows it.
        focusChannelForRemote(channel);
        if (key == QLatin1String("voltage"))
            return setField(ui->spinBoxCustomAmplitude, number * 1000.0, changed, admit);
        if (key == QLatin1String("offset"))
            return setField(ui->doubleSpinBoxCustomOffset, number, changed, admit);
        return setField(ui->doubleSpinBoxCustomFrequency, number, changed, admit);
    }
    if (voltageTypeFromText(typeCombo->currentText()) == VoltageTypeOther)
        return SettingResult::SettingsConflict;
    if (key == QLatin1String("voltage")) {
        auto* box = channelWidget<QSpinBox>("^spinBoxVoltageCh%1$", channel);
        return usable(box) ? setField(box, number * 1000.0, changed, admit) : SettingResult::SettingsConflict;
    }
    auto* box = key == QLatin1String("offset") ? channelWidget<QDoubleSpinBox>("^doubleSpinBoxOffsetCh%1$", channel)
                                                : channelWidget<QDoubleSpinBox>("^doubleSpinBoxFrequencyCh%1$", channel);
    return usable(box) ? setField(box, number, changed, admit) : SettingResult::SettingsConflict;
}

Module::SettingResult ModuleVek72::refusedForOutput(const QString& key, int channel, double number, bool special,
                                                    QString* reason)
{
    const bool voltage = key == QLatin1String("voltage");
    const bool offset = key == QLatin1String("offset");
    if (!voltage && !offset && key != QLatin1String("frequency"))
        return SettingResult::Done;
    // The channel with the value as its field would take it (switched on or not), the others as
    // they are.
    PanelConfiguration panel = readPanelsHere();
    PanelChannel changed = readChannelHere(channel);
    if (special) {
        if (voltage)
            changed.custom.amplitude = std::round(number * 1000.0) / 1000.0;
        else if (offset)
            changed.custom.offset = std::round(number * 1000.0) / 1000.0;
        else
            changed.custom.frequency = rounded(number, accuracyFreq);
    } else if (voltage) {
        changed.voltage = int(std::round(number * 1000.0));
    } else if (offset) {
        changed.offset = rounded(number, accuracyDc);
    } else {
        changed.frequency = rounded(number, accuracyFreq);
    }
    bool on = false;
    for (PanelChannel& c : panel.channels) {
        if (c.number == channel) {
            c = changed;
            on = true;
        }
    }
    PanelConfiguration alone = panel;
    alone.channels = { changed };
    OutputRefusal refusal = outputRefusal(alone, false);
    // While output runs a value of a channel that plays is applied at once: it must leave the
    // output possible.
    if (refusal.kind == OutputRefusal::None && on && isRunning())
        refusal = outputRefusal(panel, true);
    if (refusal.kind == OutputRefusal::None)
        return SettingResult::Done;
    qWarning().noquote() << QStringLiteral("Значение не принято: %1").arg(refusal.reason);
    if (reason)
        *reason = refusal.reason;
    return refusal.kind == OutputRefusal::Plan ? SettingResult::SettingsConflict : SettingResult::OutOfRange;
}

QVariant ModuleVek72::readOnPanels(const QString& key, int channel) const
{
    if (!settingsHost || !controlsHost)
        return {};
    Ui::Vek72Settings* ui = settingsUi;
    if (key == QLatin1String("channelCount"))
        return panelChannelCount;
    if (key == QLatin1String("firmware"))
        return infoHost ? infoUi->lineEditModuleFirmware->text() : QString();
    if (key == QLatin1String("rate"))
        return rateOfItem(ui->comboBoxDacFreq->currentText());
    if (key == QLatin1String("mode")) {
        const QString item = ui->comboBoxMode->currentText();
        return item == QString::fromUtf8(cyclicModeItem) ? QStringLiteral("CYCLIC")
               : item == QString::fromUtf8(streamModeItem) ? QStringLiteral("STREAM") : QString();
    }
    if (key == QLatin1String("output"))
        return ui->pushButtonStartStop->isChecked();

    QGroupBox* group = channel >= 1 && channel <= panelChannelCount
                           ? channelWidget<QGroupBox>("^groupBoxCh%1$", channel) : nullptr;
    auto* typeCombo = channelWidget<QComboBox>("^comboBoxVoltageTypeCh%1$", channel);
    if (!group || !group->isEnabledTo(controlsHost) || !typeCombo)
        return {};
    const ChannelSignal& custom = customSignals[channel - 1];
    const bool special = customSignalsEnabled && typeCombo->currentText() == specialTypeText();
    const VoltageTypeCode type = voltageTypeFromText(typeCombo->currentText());
    if (key == QLatin1String("enabled"))
        return group->isChecked();
    if (key.startsWith(QLatin1String("minimum:")) || key.startsWith(QLatin1String("maximum:"))
        || key.startsWith(QLatin1String("default:")))
        return boundOnPanels(key.section(QLatin1Char(':'), 0, 0), key.section(QLatin1Char(':'), 1), channel, special);
    if (key == QLatin1String("function"))
        return special ? QStringLiteral("CUSTOM") : type == VoltageTypeOther ? QString() : typeCombo->currentText();
    if (key == QLatin1String("shape"))
        return custom.shape;
    if (key == QLatin1String("waveformPoints"))
        return custom.waveform ? custom.waveform->pointCount() : 0;
    if (key == QLatin1String("phase"))
        return special ? custom.phase : 0.0;
    if (key == QLatin1String("range")) {
        auto* range = channelWidget<QComboBox>("^comboBoxRangeCh%1$", channel);
        const int code = range ? rangeCodeFromText(limits(), range->currentText()) : 0;
        return code == 1 ? QStringLiteral("FULL") : code == 2 ? QStringLiteral("TENTH") : QString();
    }
    if (key == QLatin1String("voltage")) {
        if (special)
            return custom.amplitude;
        auto* box = channelWidget<QSpinBox>("^spinBoxVoltageCh%1$", channel);
        return box ? QVariant(box->value() / 1000.0) : QVariant();
    }
    if (key == QLatin1String("offset") || key == QLatin1String("frequency")) {
        if (special)
            return key == QLatin1String("offset") ? custom.offset : custom.frequency;
        auto* box = key == QLatin1String("offset") ? channelWidget<QDoubleSpinBox>("^doubleSpinBoxOffsetCh%1$", channel)
                                                    : channelWidget<QDoubleSpinBox>("^doubleSpinBoxFrequencyCh%1$", channel);
        return box ? QVariant(box->value()) : QVariant();
    }
    return {};
}

// The lowest or highest value the field of a channel's value takes now, or the value it has after
// opening the module, in volts, hertz or degrees; invalid for a field the channel's type does not use.
QVariant ModuleVek72::boundOnPanels(const QString& which, const QString& key, int channel, bool special) const
{
    Ui::Vek72Settings* ui = settingsUi;
    const ModificationLimits& lim = limits();
    const bool minimum = which == QLatin1String("minimum");
    const bool maximum = which == QLatin1String("maximum");
    const auto ofBox = [&](const QSpinBox* box, double scale, double byDefault) -> QVariant {
        if (!box)
            return {};
        return (minimum ? box->minimum() : maximum ? box->maximum() : byDefault) * scale;
    };
    const auto ofDoubleBox = [&](const QDoubleSpinBox* box, double byDefault) -> QVariant {
        if (!box)
            return {};
        return minimum ? box->minimum() : maximum ? box->maximum() : byDefault;
    };
    if (key == QLatin1String("phase"))
        return special ? ofDoubleBox(ui->doubleSpinBoxCustomPhase, 0.0) : QVariant();
    if (special) {
        if (key == QLatin1String("voltage"))
            return ofBox(ui->spinBoxCustomAmplitude, 0.001, lim.customAmplitudeDefault);
        if (key == QLatin1String("offset"))
            return ofDoubleBox(ui->doubleSpinBoxCustomOffset, lim.offsetDefault / 1000.0);
        if (key == QLatin1String("frequency"))
            return ofDoubleBox(ui->doubleSpinBoxCustomFrequency, defaultFrequency);
        return {};
    }
    if (key == QLatin1String("voltage"))
        return ofBox(channelWidget<QSpinBox>("^spinBoxVoltageCh%1$", channel), 0.001, lim.voltageDefault);
    if (key == QLatin1String("offset"))
        return ofDoubleBox(channelWidget<QDoubleSpinBox>("^doubleSpinBoxOffsetCh%1$", channel), lim.offsetDefault / 1000.0);
    if (key == QLatin1String("frequency"))
        return ofDoubleBox(channelWidget<QDoubleSpinBox>("^doubleSpinBoxFrequencyCh%1$", channel), defaultFrequency);
    return {};
}

void ModuleVek72::focusChannelForRemote(int channel)
{
    if (!customSignalsEnabled || !settingsHost)
        return;
    if (focusedChannel != channel) {
        if (QGroupBox* previous = channelWidget<QGroupBox>("^groupBoxCh%1$", focusedChannel))
            previous->setStyleSheet(groupNormal());
        if (QGroupBox* group = channelWidget<QGroupBox>("^groupBoxCh%1$", channel))
            group->setStyleSheet(groupBold());
        // The panel handler's highlight follows.
        emit channelFocused(channel);
        focusedChannel = channel;
    }
    settingsUi->groupBoxCustom->setEnabled(true);
    loadCustomGroup(channel);
}

void ModuleVek72::captureFormDefaults()
{
    if (!settingsHost || !controlsHost)
        return;
    for (int n = 1; n <= panelChannels; ++n) {
        QGroupBox* group = channelWidget<QGroupBox>("^groupBoxCh%1$", n);
        auto* type = channelWidget<QComboBox>("^comboBoxVoltageTypeCh%1$", n);
        auto* range = channelWidget<QComboBox>("^comboBoxRangeCh%1$", n);
        formDefaults.checked[n - 1] = group && group->isChecked();
        formDefaults.type[n - 1] = type ? type->currentIndex() : -1;
        formDefaults.range[n - 1] = range ? range->currentIndex() : -1;
    }
    formDefaults.mode = settingsUi->comboBoxMode->currentIndex();
    formDefaults.rate = settingsUi->comboBoxDacFreq->currentIndex();
    formDefaults.captured = true;
}

// The controls take the items and check states the forms came with, announced so that their slots
// stay quiet; then the module's preparation runs again in full (limits, values, custom signals, the
// common controls recomputed from the channels), as when the module was opened.
void ModuleVek72::resetPanelsOnGui()
{
    if (!formDefaults.captured || panelChannelCount < 1)
        return;
    Ui::Vek72Settings* ui = settingsUi;
    for (int n = 1; n <= panelChannels; ++n) {
        QGroupBox* group = channelWidget<QGroupBox>("^groupBoxCh%1$", n);
        auto* type = channelWidget<QComboBox>("^comboBoxVoltageTypeCh%1$", n);
        auto* range = channelWidget<QComboBox>("^comboBoxRangeCh%1$", n);
        // The type sets its fields' states with the box switched on; switching the box off
        // afterwards disables them as a box does (and switching it on gives back these states).
        const bool usable = group && n <= panelChannelCount;
        if (usable)
            setQuietly(skipChannelEnable, group, true);
        if (type && formDefaults.type[n - 1] >= 0) {
            setQuietly(skipChannelVoltageType, type, formDefaults.type[n - 1]);
            adjustChannelToType(n, formDefaults.type[n - 1]);
        }
        if (range && formDefaults.range[n - 1] >= 0)
            setQuietly(skipChannelRange, range, formDefaults.range[n - 1]);
        if (usable)
            setQuietly(skipChannelEnable, group, formDefaults.checked[n - 1]);
        if (group && customSignalsEnabled)
            group->setStyleSheet(groupNormal());
    }
    // Mode and rate have no echo to suppress: their slots only restart a running output, and
    // output has been stopped. The common type and range follow the channels (the preparation's
    // recomputation), as after opening.
    ui->comboBoxMode->setCurrentIndex(formDefaults.mode);
    ui->comboBoxDacFreq->setCurrentIndex(formDefaults.rate);
    if (customSignalsEnabled) {
        ui->groupBoxCustom->setEnabled(false);
        if (focusedChannel != 1)
            emit channelFocused(1);
        focusedChannel = 1;
    }

    const QString serialShown = infoHost ? infoUi->lineEditModuleSerial->text() : QString();
    const int firmwareShown = infoHost ? infoUi->lineEditModuleFirmware->text().toInt() : 0;
    const QString crate = panelCrate;
    // Not the same module any more for the preparation: it runs in full.
    panelCrate.clear();
    preparePanelsForModule(crate, panelSlot, panelModification, panelChannelCount, serialShown, firmwareShown);
}
