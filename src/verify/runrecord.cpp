#include "runrecord.h"

namespace verify {

int RunRecord::count(Verdict verdict) const
{
    int n = 0;
    for (const StepResult& s : steps)
        n += s.evaluation.verdict == verdict ? 1 : 0;
    return n;
}

void RecordKeeper::runStarted(const RunInfo& info)
{
    QMutexLocker lock(&mutex);
    kept = RunRecord();
    kept.info = info;
}

void RecordKeeper::stepFinished(const StepResult& result)
{
    QMutexLocker lock(&mutex);
    kept.steps.append(result);
}

void RecordKeeper::runFinished(const RunEnd& end)
{
    QMutexLocker lock(&mutex);
    kept.end = end;
    kept.finished = true;
}

RunRecord RecordKeeper::record() const
{
    QMutexLocker lock(&mutex);
    return kept;
}

} // namespace verify
