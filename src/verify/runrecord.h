// What a verification run produces, and who hears of it. A run tells its listeners when it starts,
// when each step starts and ends, and when it finishes; the report, the page's table and the
// progress line are listeners. RecordKeeper keeps the whole run for a report.
#ifndef VERIFY_RUNRECORD_H
#define VERIFY_RUNRECORD_H

#include <QDateTime>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVector>

#include "evaluation.h"
#include "scenario.h"
#include "verdict.h"

namespace verify {

struct RunInfo
{
    ModuleFacts module;
    QString meter;             // the meter's *IDN? answer; empty when it could not be reached
    QString meterAddress;
    bool scanner = false;
    QString scenarioTitle;
    QString scenarioFile;      // empty for a scenario that is not in a file
    QString operatorName;
    QString conditions;        // the ambient conditions as the operator wrote them
    QDateTime started;
    int stepCount = 0;
};

struct StepResult
{
    int number = 0;            // 1..stepCount, in the order the steps run
    QStringList path;          // the categories above the step
    Step step;                 // as it ran: its signal as the module showed it once set
    double expected = 0;
    double rangeValue = 0;     // what "% of the range" referred to
    Evaluation evaluation;     // measured, error, limit, verdict (NotRun: no measurement)
    int readings = 0;          // readings averaged
    QString note;              // why there is no measurement, or what else the operator should know
    qint64 elapsedMs = 0;      // from the step's start to its result
};

struct RunEnd
{
    QDateTime finished;
    Verdict verdict = Verdict::NotRun;  // the worst of the steps, Aborted when stopped, Error when lost
    bool completed = false;             // every step ran
    QString reason;                     // why the run ended early; empty when it ran to the end
    bool outputsZeroed = false;         // the module's outputs were brought to 0 V at the end
    bool meterUnreachable = false;      // the run could not begin: no meter (or lost before any step)
    bool moduleUnreachable = false;     // ... no module, or it was lost
};

class RunListener
{
public:
    virtual ~RunListener() = default;
    // Called on the run's thread, in this order; a listener does not block for long.
    virtual void runStarted(const RunInfo& info) { Q_UNUSED(info) }
    virtual void stepStarted(int number, const Step& step) { Q_UNUSED(number) Q_UNUSED(step) }
    virtual void stepFinished(const StepResult& result) { Q_UNUSED(result) }
    virtual void runFinished(const RunEnd& end) { Q_UNUSED(end) }
};

struct RunRecord
{
    RunInfo info;
    QVector<StepResult> steps;  // the steps that ran (with a result or with the reason they have none)
    RunEnd end;
    bool finished = false;

    int count(Verdict verdict) const;
};

// Keeps the whole run; any thread may take a copy.
class RecordKeeper : public RunListener
{
public:
    void runStarted(const RunInfo& info) override;
    void stepFinished(const StepResult& result) override;
    void runFinished(const RunEnd& end) override;
    RunRecord record() const;

private:
    mutable QMutex mutex;
    RunRecord kept;
};

} // namespace verify

#endif
