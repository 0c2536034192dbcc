// A digital multimeter as the program uses it: what it measures (the setup), one reading at a time,
// and whether it is there. Used from one thread at a time (the one it lives on), never from the GUI
// thread: every call waits for the meter, each within a bound that follows what it asks.
#ifndef INSTRUMENTS_DMM_H
#define INSTRUMENTS_DMM_H

#include <QMetaType>
#include <QObject>
#include <QString>

namespace instruments {

enum class DmmFunction { DcVoltage, AcVoltage, Frequency };

struct DmmSetup {
    DmmFunction function = DmmFunction::DcVoltage;
    double range = 0;         // volts; 0: autorange (frequency: the input's voltage range, always autorange)
    int acBandwidthHz = 20;   // AC filter for signals above 3, 20 or 200 Hz (the slower, the lower)
    double nplc = 10;         // DC: power-line cycles one reading integrates over
    double gateSeconds = 0.1; // frequency: the gate, 0.01, 0.1 or 1 s
    int scannerChannel = 0;   // 1..8: the scanner channel 100 + n is closed first; 0: no scanner

    bool operator==(const DmmSetup& o) const
    {
        return function == o.function && range == o.range && acBandwidthHz == o.acBandwidthHz && nplc == o.nplc
               && gateSeconds == o.gateSeconds && scannerChannel == o.scannerChannel;
    }
    bool operator!=(const DmmSetup& o) const { return !(*this == o); }
};

struct DmmReading {
    double value = 0;     // volts (RMS for AC) or hertz
    bool overload = false; // beyond the range: value means nothing
};

// How long one reading of `setup` takes on that class of meter, milliseconds: DC integrates NPLC
// cycles of 50 Hz mains twice (auto-zero), AC waits its filter's settling delay (2.5 s, 0.625 s,
// 0.025 s), frequency counts over its gate.
int readingTimeMs(const DmmSetup& setup);
// How long the client waits for it: twice that (autoranging may take another reading) and a second
// for the link.
int readingBoundMs(const DmmSetup& setup);

class Dmm : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~Dmm() override = default;

    // Where the meter is, for messages.
    virtual QString address() const = 0;
    // Connects, asks who the meter is and brings it to its power-on state. Emits found() on
    // success; false with the reason when the meter cannot be reached or does not answer as one.
    virtual bool open(QString* error) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // The meter's answer to *IDN? ("maker,model,serial,firmware"); empty before open().
    virtual QString identity() const = 0;
    // Sets the meter up for readings of `setup`. False with the reason when the meter refuses it
    // (it stays open) or is lost (lost() has been emitted).
    virtual bool configure(const DmmSetup& setup, QString* error) = 0;
    // One reading of the setup configured last, within readingBoundMs(). False with the reason
    // when none came: the meter is lost then (lost() has been emitted), unless it was not open.
    virtual bool read(DmmReading* reading, QString* error) = 0;

signals:
    void found(QString identity);
    // Once per loss: the meter stopped answering, closed the connection or answered nonsense. It
    // is closed; open() tries again.
    void lost(QString reason);
};

} // namespace instruments

Q_DECLARE_METATYPE(instruments::DmmSetup)

#endif
