// The status reporting of one remote client (IEEE 488.2 and SCPI): the standard event status
// register with its enable, the service request enable, and the operation and questionable status
// registers (condition, event, enable) that sum up into the status byte. Plain code: no sockets.
#ifndef SCPISTATUS_H
#define SCPISTATUS_H

#include <QtGlobal>

namespace scpi {

// Bits of the standard event status register.
enum EventBit : quint8 {
    OperationComplete = 0x01,
    QueryError = 0x04,
    DeviceError = 0x08,
    ExecutionErrorBit = 0x10,
    CommandErrorBit = 0x20,
    PowerOn = 0x80,
};

// Bits of the status byte.
enum StatusBit : quint8 {
    ErrorAvailable = 0x04,       // the error queue is not empty
    QuestionableSummary = 0x08,
    EventSummary = 0x20,         // standard event status & its enable
    MasterSummary = 0x40,        // status byte & service request enable
    OperationSummary = 0x80,
};

// Device bits of the operation and questionable conditions.
enum ConditionBit : quint16 {
    OutputRunning = 0x0100,      // OPERation bit 8: the module plays
    NoModuleOpen = 0x0200,       // QUEStionable bit 9: no module answers the commands
};

// A condition register with its event register (set by rising edges, cleared when read) and its
// enable; only the 15 low bits are used, as SCPI keeps bit 15 at 0.
class StatusRegister
{
public:
    void setCondition(quint16 value)
    {
        value &= 0x7fff;
        event_ |= value & ~condition_;
        condition_ = value;
    }
    quint16 condition() const { return condition_; }
    quint16 takeEvent()
    {
        const quint16 e = event_;
        event_ = 0;
        return e;
    }
    quint16 event() const { return event_; }
    void clearEvent() { event_ = 0; }
    quint16 enable() const { return enable_; }
    void setEnable(quint16 value) { enable_ = value & 0x7fff; }
    bool summary() const { return (event_ & enable_) != 0; }

private:
    quint16 condition_ = 0;
    quint16 event_ = 0;
    quint16 enable_ = 0;
};

class StatusModel
{
public:
    // The event bit of an error code: -1xx command, -2xx execution, -3xx device, -4xx query error.
    static quint8 eventOfError(int code);

    void errorHappened(int code) { esr |= eventOfError(code); }
    void operationComplete() { esr |= OperationComplete; }
    quint8 takeEvents()
    {
        const quint8 e = esr;
        esr = 0;
        return e;
    }
    quint8 events() const { return esr; }
    quint8 eventEnable = 0;
    // Bit 6 cannot be enabled: it is the summary itself.
    void setServiceRequestEnable(quint8 value) { sre = value & quint8(~MasterSummary); }
    quint8 serviceRequestEnable() const { return sre; }

    // The status byte with the error queue's state given.
    quint8 statusByte(bool errorsQueued) const;

    // *CLS: the event registers (not the enables); the caller clears the error queue.
    void clear();
    // STATus:PRESet: the operation and questionable enables to 0.
    void preset();

    StatusRegister operation;
    StatusRegister questionable;

private:
    quint8 esr = 0;
    quint8 sre = 0;
};

} // namespace scpi

#endif
