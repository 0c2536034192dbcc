#include "scpistatus.h"

namespace scpi {

quint8 StatusModel::eventOfError(int code)
{
    if (code <= -100 && code > -200)
        return CommandErrorBit;
    if (code <= -200 && code > -300)
        return ExecutionErrorBit;
    if (code <= -300 && code > -400)
        return DeviceError;
    if (code <= -400 && code > -500)
        return QueryError;
    // The program's own positive codes and anything else: a device-dependent error.
    return code != 0 ? DeviceError : 0;
}

quint8 StatusModel::statusByte(bool errorsQueued) const
{
    quint8 stb = 0;
    if (errorsQueued)
        stb |= ErrorAvailable;
    if (questionable.summary())
        stb |= QuestionableSummary;
    if (esr & eventEnable)
        stb |= EventSummary;
    if (operation.summary())
        stb |= OperationSummary;
    if (stb & sre)
        stb |= MasterSummary;
    return stb;
}

void StatusModel::clear()
{
    esr = 0;
    operation.clearEvent();
    questionable.clearEvent();
}

void StatusModel::preset()
{
    operation.setEnable(0);
    questionable.setEnable(0);
}

} // namespace scpi
