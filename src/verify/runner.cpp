#include "runner.h"

#include <QElapsedTimer>
#include <QHash>

#include <cmath>

namespace verify {

namespace {

QString settingName(const char* key, int channel)
{
    static const QHash<QString, QString> names{
        { QStringLiteral("mode"), QStringLiteral("режим") },
        { QStringLiteral("rate"), QStringLiteral("частота ЦАП") },
        { QStringLiteral("enabled"), QStringLiteral("включение") },
        { QStringLiteral("function"), QStringLiteral("тип") },
        { QStringLiteral("range"), QStringLiteral("диапазон") },
        { QStringLiteral("shape"), QStringLiteral("форма") },
        { QStringLiteral("voltage"), QStringLiteral("напряжение") },
        { QStringLiteral("frequency"), QStringLiteral("частота") },
        { QStringLiteral("offset"), QStringLiteral("смещение") },
        { QStringLiteral("output"), QStringLiteral("запуск генерации") },
    };
    const QString name = names.value(QLatin1String(key), QLatin1String(key));
    return channel > 0 ? QStringLiteral("канал %1, %2").arg(channel).arg(name) : name;
}

} // namespace

QString settingResultText(Module::SettingResult result)
{
    switch (result) {
    case Module::SettingResult::Done: return QStringLiteral("принято");
    case Module::SettingResult::UnknownKey: return QStringLiteral("модуль не знает такой настройки");
    case Module::SettingResult::OutOfRange: return QStringLiteral("значение вне пределов модуля");
    case Module::SettingResult::IllegalValue: return QStringLiteral("недопустимое значение");
    case Module::SettingResult::SettingsConflict: return QStringLiteral("не применимо при этих настройках модуля");
    case Module::SettingResult::NoModule: return QStringLiteral("модуль не открыт или нет такого канала");
    case Module::SettingResult::NoAnswer: return QStringLiteral("модуль не ответил вовремя");
    }
    return QString();
}

struct Runner::Outcome
{
    bool goOn = true;
    QString reason;                 // why the run ends
    bool meterLost = false;
    bool moduleLost = false;
};

Runner::Runner(const Bench& bench, const Scenario& scenario, const RunInfo& info)
    : bench(bench), scenario(scenario), info(info)
{
}

Runner::~Runner() = default;

void Runner::addListener(RunListener* listener)
{
    listeners.append(listener);
}

void Runner::requestStop()
{
    stop = true;
    cancelMeter = true;
    wake.release();
}

bool Runner::pause(int ms)
{
    if (stop.load())
        return false;
    wake.tryAcquire(1, qMax(0, ms));
    return !stop.load();
}

void Runner::run()
{
    const QVector<StepEntry> entries = stepsOf(scenario);
    info.module = bench.facts;
    info.meterAddress = bench.meterAddress;
    info.scanner = bench.scanner;
    info.started = QDateTime::currentDateTime();
    info.stepCount = entries.size();

    RunEnd end;
    QString why;
    if (bench.meter)
        meter = bench.meter(&cancelMeter);
    const bool meterOpen = meter && meter->open(&why);
    if (meterOpen)
        info.meter = meter->identity();
    if (bench.module && bench.module->isOpened()) {
        const QString firmware = bench.module->setting(QStringLiteral("firmware"), 0).toString();
        if (!firmware.isEmpty())
            info.module.firmware = firmware;
    }
    for (RunListener* l : listeners)
        l->runStarted(info);

    if (!meterOpen) {
        end.meterUnreachable = true;
        end.verdict = Verdict::Error;
        end.reason = meter ? QStringLiteral("Мультиметр недоступен: %1").arg(why)
                           : QStringLiteral("Мультиметр не задан (stendix.ini, группа Multimeter, ключ Address)");
        finish(end);
        return;
    }
    if (!bench.module || !bench.module->isOpened()) {
        end.moduleUnreachable = true;
        end.verdict = Verdict::Error;
        end.reason = QStringLiteral("Модуль не открыт");
        meter->close();
        finish(end);
        return;
    }
    panelsBefore = bench.module->panelSetup();

    int done = 0;
    for (const StepEntry& entry : entries) {
        if (stop.load()) {
            end.reason = QStringLiteral("Остановлено оператором");
            raise(end.verdict, Verdict::Aborted);
            break;
        }
        const int number = done + 1;
        for (RunListener* l : listeners)
            l->stepStarted(number, *entry.step);
        StepResult result;
        QElapsedTimer clock;
        clock.start();
        const Outcome outcome = runStep(number, entry, &result);
        result.elapsedMs = clock.elapsed();
        ++done;
        for (RunListener* l : listeners)
            l->stepFinished(result);
        raise(end.verdict, result.evaluation.verdict);
        if (!outcome.goOn) {
            end.reason = outcome.reason;
            end.meterUnreachable = outcome.meterLost;
            end.moduleUnreachable = outcome.moduleLost;
            raise(end.verdict, outcome.meterLost || outcome.moduleLost ? Verdict::Error : Verdict::Aborted);
            break;
        }
    }
    end.completed = done == entries.size() && end.reason.isEmpty();
    end.outputsZeroed = zeroAndRestore();
    meter->close();
    finish(end);
}

void Runner::finish(RunEnd end)
{
    end.finished = QDateTime::currentDateTime();
    for (RunListener* l : listeners)
        l->runFinished(end);
}

Runner::Outcome Runner::runStep(int number, const StepEntry& entry, StepResult* result)
{
    Outcome outcome;
    result->number = number;
    result->path = entry.path;
    result->step = *entry.step;
    const Step& step = *entry.step;
    Evaluation& evaluation = result->evaluation;
    const auto abort = [&](const QString& note) {
        evaluation.verdict = Verdict::Aborted;
        result->note = note;
        outcome.goOn = false;
        outcome.reason = QStringLiteral("Остановлено оператором");
        return outcome;
    };
    const auto error = [&](const QString& note) {
        evaluation.verdict = Verdict::Error;
        result->note = note;
        return outcome;
    };

    // Without a scanner the operator moves the probe to the step's output.
    if (!bench.scanner && bench.probe && probeAt != step.channel) {
        if (!bench.probe->connectProbe(step.channel, stop)) {
            abort(QStringLiteral("мультиметр не подключён к выходу канала %1").arg(step.channel));
            if (!stop.load())
                outcome.reason = QStringLiteral("Мультиметр не подключён к выходу канала %1").arg(step.channel);
            return outcome;
        }
        probeAt = step.channel;
    }

    // What the step asks, so that a step the module refuses still says what it expected.
    result->expected = expectedValue(step);
    result->rangeValue = rangeValue(bench.facts, step);
    evaluation.limit = toleranceLimit(step.tolerance, result->expected, result->rangeValue);

    // Set.
    QString why;
    if (!applyStep(step, &why)) {
        if (!bench.module->isOpened()) {
            outcome.goOn = false;
            outcome.moduleLost = true;
            outcome.reason = QStringLiteral("Потеряна связь с модулем (%1)").arg(why);
            return error(QStringLiteral("связь с модулем потеряна"));
        }
        if (stop.load())
            return abort(why);
        return error(why);
    }
    const Step played = asPlayed(step);
    result->step = played;
    result->expected = expectedValue(played);
    result->rangeValue = rangeValue(bench.facts, played);
    evaluation.limit = toleranceLimit(played.tolerance, result->expected, result->rangeValue);

    // Wait.
    if (!pause(played.settleMs))
        return abort(QStringLiteral("остановлено до измерения"));

    // Measure.
    const instruments::DmmSetup setup = meterSetup(played, result->expected, evaluation.limit, bench.scanner);
    if (!meterReady || setup != meterConfigured) {
        meterReady = false;
        if (!meter->configure(setup, &why)) {
            if (stop.load())
                return abort(QStringLiteral("остановлено до измерения"));
            if (meter->isOpen())
                return error(why);   // the meter refused this setup; it is still there
            outcome.goOn = false;
            outcome.meterLost = true;
            outcome.reason = QStringLiteral("Потеряна связь с мультиметром: %1").arg(why);
            return error(why);
        }
        meterConfigured = setup;
        meterReady = true;
    }
    double sum = 0;
    int taken = 0;
    bool overload = false;
    while (taken < played.readings && !overload) {
        instruments::DmmReading reading;
        if (!meter->read(&reading, &why)) {
            if (stop.load())
                return abort(QStringLiteral("остановлено во время измерения"));
            outcome.goOn = false;
            outcome.meterLost = true;
            outcome.reason = QStringLiteral("Потеряна связь с мультиметром: %1").arg(why);
            return error(why);
        }
        overload = reading.overload;
        sum += reading.value;
        ++taken;
    }
    // An output that went away while it was read was not what the step set.
    if (!bench.module->isOpened()) {
        outcome.goOn = false;
        outcome.moduleLost = true;
        outcome.reason = QStringLiteral("Потеряна связь с модулем");
        return error(QStringLiteral("связь с модулем потеряна во время измерения"));
    }

    // Compare.
    result->readings = taken;
    const double limit = evaluation.limit;
    evaluation = evaluate(result->expected, limit, overload ? qQNaN() : sum / taken, overload);
    if (overload)
        result->note = QStringLiteral("перегрузка: показание за пределом диапазона мультиметра");
    return outcome;
}

bool Runner::change(const char* key, int channel, const QVariant& value, QString* why)
{
    const Module::SettingResult r = bench.module->changeSetting(QLatin1String(key), channel, value);
    if (r == Module::SettingResult::Done)
        return true;
    *why = QStringLiteral("%1: %2").arg(settingName(key, channel), settingResultText(r));
    return false;
}

bool Runner::applyStep(const Step& s, QString* why)
{
    Module* module = bench.module;
    const int count = bench.facts.channelCount;
    if (s.channel < 1 || s.channel > count) {
        *why = QStringLiteral("у модуля нет канала %1").arg(s.channel);
        return false;
    }
    // One restart for the whole step, as for one command line of remote control.
    module->holdRestarts(true);
    const QString function = s.type == SignalType::Ac ? QStringLiteral("AC")
                             : s.type == SignalType::Dc ? QStringLiteral("DC") : QStringLiteral("CUSTOM");
    bool made = change("mode", 0, s.cyclic ? QStringLiteral("CYCLIC") : QStringLiteral("STREAM"), why)
                && change("rate", 0, s.dacRate, why);
    // The step's channel alone: it gets the whole DAC rate.
    for (int channel = 1; made && channel <= count; ++channel) {
        if (channel != s.channel)
            made = change("enabled", channel, false, why);
    }
    // The type first (it relabels the ranges), then the range (it resets the voltage), then values.
    made = made && change("enabled", s.channel, true, why) && change("function", s.channel, function, why)
           && change("range", s.channel, s.range == Range::Full ? QStringLiteral("FULL") : QStringLiteral("TENTH"), why);
    if (made && s.type == SignalType::Custom)
        made = change("shape", s.channel, s.shape, why);
    made = made && change("voltage", s.channel, s.voltage, why);
    if (made && s.type != SignalType::Dc)
        made = change("frequency", s.channel, s.frequency, why) && change("offset", s.channel, s.offset, why);
    if (made && !module->isRunning())
        made = change("output", 0, true, why);
    module->holdRestarts(false);
    if (!module->settle(moduleSettleMs)) {
        if (made)
            *why = QStringLiteral("модуль не ответил вовремя");
        return false;
    }
    if (!made)
        return false;
    if (!module->isRunning() || !module->setting(QStringLiteral("output"), 0).toBool()) {
        *why = module->isOpened() ? QStringLiteral("модуль не начал генерацию (причина — в журнале)")
                                  : QStringLiteral("связь с модулем потеряна");
        return false;
    }
    return true;
}

Step Runner::asPlayed(const Step& step) const
{
    Step played = step;
    const auto readBack = [&](const char* key, double* value) {
        const QVariant shown = bench.module->setting(QLatin1String(key), step.channel);
        bool isNumber = false;
        const double v = shown.toDouble(&isNumber);
        if (shown.isValid() && isNumber && std::isfinite(v))
            *value = v;
    };
    readBack("voltage", &played.voltage);
    if (step.type != SignalType::Dc) {
        readBack("frequency", &played.frequency);
        readBack("offset", &played.offset);
    }
    return played;
}

bool Runner::zeroAndRestore()
{
    Module* module = bench.module;
    if (!module || !module->isOpened())
        return false;
    // The operator's stop: the outputs go to 0 V.
    module->requestOutput(false);
    bool stopped = false;
    for (int round = 0; round < 3 && !stopped; ++round) {
        module->settle(moduleSettleMs);
        stopped = !module->isRunning() && !module->setting(QStringLiteral("output"), 0).toBool();
    }
    if (!panelsBefore.isEmpty()) {
        QStringList notes;
        QString error;
        module->applyPanelSetup(panelsBefore, notes, error);
        module->settle(moduleSettleMs);
    }
    return stopped && !module->isRunning();
}

} // namespace verify
