// The simulated multimeter of vekd: a 6½-digit bench DMM of the class the bench program reads its
// outputs with, answering that class's SCPI dialect. It measures what its input is wired to (an
// output of a simulated module, through a probe or a scanner channel) from the module's real
// samples over the reading's aperture, with the errors and noise of that class of meter and its
// reading times.
//
// A plain object: no sockets and no clock. The server feeds it commands, waits the time a reading
// takes and then asks for the reading; tests drive it with inputs of their own.
#ifndef VEKD_DMMSIM_H
#define VEKD_DMMSIM_H

#include "vek72sim.h"

#include "scpicommands.h"

#include <QJsonObject>
#include <QString>

#include <functional>
#include <random>
#include <vector>

namespace vekd {

// --- Measurements over the last part of a trace (OutputTrace.rate 0: one value held) ----------------

// The mean over the last `seconds` (a DC reading integrating over its aperture).
double traceMean(const OutputTrace& trace, double seconds);
// The RMS of the alternating part (AC-coupled) as the meter's AC path sees it with the filter for
// signals above `bandwidthHz` (3, 20 or 200): a second-order high-pass well below that frequency run
// over the whole trace, then the RMS over the last `windowSeconds`, weighted so that a part period
// at either end does not count.
double traceAcRms(const OutputTrace& trace, double bandwidthHz, double windowSeconds);
// The frequency counted over the last `gateSeconds`: rising zero crossings of the alternating part,
// with hysteresis; 0 when the signal is too small or has fewer than two crossings in the gate.
double traceFrequency(const OutputTrace& trace, double gateSeconds);

// --- The meter ------------------------------------------------------------------------------------

enum class DmmFunction { DcVoltage, AcVoltage, Frequency };

struct DmmAccuracy {
    double readingPct; // ±% of reading
    double rangePct;   // ±% of range
};

// The 1-year accuracy of that class of meter (23 °C ± 5 °C) as the simulator keeps to it: DC by
// range; AC (true RMS of a sine above 5 % of range) by frequency band, the same on every range;
// frequency by frequency.
DmmAccuracy dcAccuracy(double range);
DmmAccuracy acAccuracy(double frequencyHz);
DmmAccuracy frequencyAccuracy(double frequencyHz);
// Extra RMS noise of a DC reading integrated over fewer than one power-line cycle, % of range.
double dcNoisePct(double nplc);

// How long a reading takes on that class of meter, seconds (before any speed-up): DC integrates
// NPLC cycles of the 50 Hz mains twice (auto-zero); AC waits the filter's settling delay (2.5 s,
// 0.625 s, 0.025 s); frequency counts over its gate.
double readingSeconds(DmmFunction function, double nplc, int bandwidthHz, double gateSeconds);

class SimDmm {
public:
    struct Identity {
        QString maker = QStringLiteral("Keysight Technologies");
        QString model = QStringLiteral("34465A");
        QString serial = QStringLiteral("VEKD000072");
        QString firmware = QStringLiteral("SIM.01.00");
    };
    // The voltage at the input over the last `seconds`; `channel` is the scanner channel closed
    // (1..8 for 101..108), 0 when there is no scanner or none is closed.
    using Input = std::function<OutputTrace(int channel, double seconds)>;

    SimDmm(Identity identity, Input input, uint32_t seed = 0x72DDu);

    // A multiplexer whose channels 101..108 can be closed (ROUTe:CLOSe); without one those commands
    // are -241 "Hardware missing".
    void setScanner(bool present);
    bool scanner() const { return scanner_; }

    // Runs one command of a line. A reading (READ?, MEASure...?) is not answered at once: the step
    // says how long it takes, and finishReading() takes it once that time has passed.
    struct Step {
        bool answered = false;
        QString answer;
        double readingSeconds = 0; // > 0: a reading has begun
    };
    Step execute(const scpi::Command& command);
    // The answer of the reading begun by the last step, measured now.
    QString finishReading();

    // Back to the state after power-on (*RST): DC voltage, autorange, 10 NPLC, the 20 Hz filter,
    // a 100 ms gate, every scanner channel open. The error queue is kept.
    void reset();

    QJsonObject status() const;
    int closedChannel() const { return closed_; }
    quint64 readings() const { return readings_; }

private:
    struct Errors; // how far from the truth this instrument reads, per function and range
    void defineCommands();
    // Reads a <range>|AUTO|MIN|MAX|DEF parameter: *range 0 means autorange.
    bool rangeParameter(scpi::Call& call, int index, const std::vector<double>& ranges, double* range);
    void configure(scpi::Call& call, DmmFunction function);
    void beginReading(scpi::Call& call);
    double measure(double* rangeUsed, bool* overload);
    double noisy(double value, double range, const DmmAccuracy& accuracy, double gain, double offset, double extraNoisePct);
    QString functionName() const;

    class Session : public scpi::Session {
    public:
        scpi::ErrorQueue queue;
        scpi::ErrorQueue& errors() override { return queue; }
        bool synchronise() override { return true; }
    };

    Identity identity_;
    Input input_;
    bool scanner_ = false;
    scpi::CommandTable table_;
    Session session_;
    std::mt19937 random_;
    // per range index: gain (fraction) and offset (fraction of range) errors, fixed for the instrument
    std::vector<double> dcGain_, dcOffset_, acGain_, acOffset_;
    double frequencyGain_ = 0;

    DmmFunction function_ = DmmFunction::DcVoltage;
    double dcRange_ = 0; // 0: autorange
    double acRange_ = 0;
    double nplc_ = 10;
    int bandwidth_ = 20;
    double aperture_ = 0.1;
    int closed_ = 0;     // scanner channel closed, 1..8; 0: none
    bool readingBegun_ = false;
    quint64 readings_ = 0;
};

} // namespace vekd

#endif
