// Verdicts of a verification: what a step or a whole run came to. They are ordered, and a run (or a
// category of steps) takes the worst of its steps: a verdict only ever gets worse.
#ifndef VERIFY_VERDICT_H
#define VERIFY_VERDICT_H

#include <QString>

namespace verify {

enum class Verdict {
    NotRun,   // the step has not run (yet)
    Pass,     // measured within its tolerance: "годен"
    Fail,     // measured beyond its tolerance, or beyond the meter's range: "не годен"
    Aborted,  // the run was stopped before the step had a result
    Error,    // the step could not be done: the module refused it, or the service or meter was lost
};

// The worse of two verdicts.
inline Verdict worse(Verdict a, Verdict b)
{
    return int(a) >= int(b) ? a : b;
}

// Raises `verdict` to `other` when that is worse; never lowers it.
inline void raise(Verdict& verdict, Verdict other)
{
    verdict = worse(verdict, other);
}

// "годен", "не годен", "прерван", "ошибка"; empty for a step that has not run.
QString verdictText(Verdict verdict);

} // namespace verify

#endif
