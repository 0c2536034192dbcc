// A verification run: the steps of a scenario in order, each "set, wait, measure, compare,
// publish". The module is reached only through its setting interface (Module::changeSetting and
// friends: the panels follow, as for remote control), the meter through instruments::Dmm; both
// from the runner's own thread, never the GUI thread nor the module's. Every step's result goes to
// the listeners. A stop, a lost module or a lost meter ends the run with the steps done kept and
// the reason told; the outputs go to 0 V at the end of every run, and the panels take back what
// they held before it.
#ifndef VERIFY_RUNNER_H
#define VERIFY_RUNNER_H

#include <QList>
#include <QSemaphore>
#include <QString>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>

#include "dmm.h"
#include "module.h"
#include "runrecord.h"
#include "scenario.h"

namespace verify {

// Where the meter's probe goes when the bench has no scanner: the operator moves it.
class ProbeHandler
{
public:
    virtual ~ProbeHandler() = default;
    // Asks the operator to connect the meter to the output of `channel` and waits for the answer,
    // as long as it takes, on the runner's thread. False: the run ends (the operator declined, or
    // `stop` was set meanwhile).
    virtual bool connectProbe(int channel, const std::atomic<bool>& stop) = 0;
};

class Runner
{
public:
    // Makes the meter on the runner's thread; `cancel` is the flag its waits look at.
    using MeterFactory = std::function<std::unique_ptr<instruments::Dmm>(const std::atomic<bool>* cancel)>;

    struct Bench
    {
        Module* module = nullptr;
        ModuleFacts facts;
        MeterFactory meter;
        QString meterAddress;
        bool scanner = false;
        ProbeHandler* probe = nullptr;   // needed without a scanner
    };

    // Bounds of the module's answers, ms.
    static constexpr int moduleSettleMs = 20000;

    Runner(const Bench& bench, const Scenario& scenario, const RunInfo& info);
    ~Runner();

    // Listeners are told on the runner's thread; add them before run().
    void addListener(RunListener* listener);
    // Runs the whole scenario on the calling thread (the runner's own), to its end.
    void run();
    // Any thread: the run ends after the step under way, which gives up its reading (within 50 ms)
    // or its settle time.
    void requestStop();
    bool stopRequested() const { return stop.load(); }

private:
    struct Outcome;
    Outcome runStep(int number, const StepEntry& entry, StepResult* result);
    // Sets the module up for the step and starts (or keeps) its output. False with the reason.
    bool applyStep(const Step& step, QString* why);
    bool change(const char* key, int channel, const QVariant& value, QString* why);
    // The step as the module plays it: voltage, frequency and offset read back once set.
    Step asPlayed(const Step& step) const;
    // Waits `ms` unless a stop comes first; false then.
    bool pause(int ms);
    void finish(RunEnd end);
    // The outputs to 0 V and the panels as before the run. True when the output has stopped.
    bool zeroAndRestore();

    Bench bench;
    Scenario scenario;
    RunInfo info;
    QList<RunListener*> listeners;
    std::atomic<bool> stop{ false };
    std::atomic<bool> cancelMeter{ false };
    QSemaphore wake;
    std::unique_ptr<instruments::Dmm> meter;
    instruments::DmmSetup meterConfigured;
    bool meterReady = false;
    QVariantMap panelsBefore;
    int probeAt = 0;   // the output the probe is on, 0: not known
};

// The text of a setting's refusal: "значение вне пределов канала" and the like.
QString settingResultText(Module::SettingResult result);

} // namespace verify

#endif
