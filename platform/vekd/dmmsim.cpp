#include "dmmsim.h"

#include <QJsonArray>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace vekd {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMainsHz = 50.0;
constexpr double kOverload = 9.9e37;       // what the meter answers for a reading beyond its range
constexpr double kOverrange = 1.2;         // a range reads up to 120 % of its name
constexpr double kFrequencyFloor = 1e-3;   // V RMS below which there is nothing to count

const std::vector<double> kDcRanges{0.1, 1, 10, 100, 1000};
const std::vector<double> kAcRanges{0.1, 1, 10, 100, 750};
const std::vector<double> kNplcs{0.02, 0.06, 0.2, 1, 10, 100};
const std::vector<double> kApertures{0.001, 0.01, 0.1, 1};

// The filter's settling delay after a change at the input, seconds.
double settlingDelay(int bandwidthHz)
{
    return bandwidthHz <= 3 ? 2.5 : bandwidthHz <= 20 ? 0.625 : 0.025;
}

// The high-pass of the AC path lies this far below the filter's lowest frequency: a sine at that
// frequency loses less than 0.05 %.
double highPassCorner(int bandwidthHz)
{
    return bandwidthHz / 6.0;
}

// The RMS is taken over this many periods of the filter's lowest frequency.
double acWindow(int bandwidthHz)
{
    return 5.0 / bandwidthHz;
}

// What a reading of the AC path needs before its window: the filter's settling delay, and at least
// twelve time constants of the high-pass so that what came before has died away.
double acLeadIn(int bandwidthHz)
{
    return std::max(settlingDelay(bandwidthHz), 2.7 / highPassCorner(bandwidthHz));
}

size_t samplesIn(const OutputTrace& trace, double seconds)
{
    const double n = std::ceil(seconds * trace.rate - 1e-9);
    return size_t(std::clamp(n, 1.0, double(trace.volts.size())));
}

// The smallest range that holds `value` (autorange), the largest when none does.
double rangeFor(double value, const std::vector<double>& ranges)
{
    for (double r : ranges)
        if (std::fabs(value) <= r * kOverrange) return r;
    return ranges.back();
}

size_t rangeIndex(double range, const std::vector<double>& ranges)
{
    return size_t(std::find(ranges.begin(), ranges.end(), range) - ranges.begin());
}

QString number(double v)
{
    return QString::asprintf("%+.8E", v);
}

// "@101,103:105" as scanner channels 1..8; false when it is not such a list.
bool channelList(const QString& text, std::vector<int>* channels)
{
    if (!text.startsWith(QLatin1Char('@')) || text.size() < 2) return false;
    for (const QString& item : text.mid(1).split(QLatin1Char(','))) {
        const QStringList bounds = item.split(QLatin1Char(':'));
        if (bounds.isEmpty() || bounds.size() > 2) return false;
        bool ok1 = false, ok2 = false;
        const int first = bounds.first().toInt(&ok1);
        const int last = bounds.last().toInt(&ok2);
        if (!ok1 || !ok2 || first > last || first < 101 || last > 108) return false;
        for (int c = first; c <= last; ++c) channels->push_back(c - 100);
    }
    return true;
}

} // namespace

// --- Measurements --------------------------------------------------------------------------------

double traceMean(const OutputTrace& trace, double seconds)
{
    if (trace.volts.empty()) return 0;
    if (trace.rate <= 0) return trace.volts.front();
    const size_t n = samplesIn(trace, seconds);
    double sum = 0;
    for (size_t i = trace.volts.size() - n; i < trace.volts.size(); ++i) sum += trace.volts[i];
    return sum / double(n);
}

double traceAcRms(const OutputTrace& trace, double bandwidthHz, double windowSeconds)
{
    if (trace.rate <= 0 || trace.volts.size() < 2) return 0;
    // Second-order Butterworth high-pass (bilinear transform), at rest on the first value as if
    // the input had stood there for ever.
    const double w0 = 2 * kPi * highPassCorner(int(bandwidthHz)) / trace.rate;
    const double cosw = std::cos(w0), alpha = std::sin(w0) / std::sqrt(2.0);
    const double a0 = 1 + alpha;
    const double b0 = (1 + cosw) / 2 / a0, b1 = -(1 + cosw) / a0, b2 = b0;
    const double a1 = -2 * cosw / a0, a2 = (1 - alpha) / a0;
    double x1 = trace.volts.front(), x2 = x1, y1 = 0, y2 = 0;
    const size_t n = samplesIn(trace, windowSeconds);
    const size_t from = trace.volts.size() - n;
    double weighted = 0, weights = 0;
    for (size_t i = 0; i < trace.volts.size(); ++i) {
        const double x = trace.volts[i];
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        if (i >= from) {
            const double w = 0.5 - 0.5 * std::cos(2 * kPi * (double(i - from) + 0.5) / double(n));
            weighted += w * y * y;
            weights += w;
        }
    }
    return weights > 0 ? std::sqrt(weighted / weights) : 0;
}

double traceFrequency(const OutputTrace& trace, double gateSeconds)
{
    if (trace.rate <= 0 || trace.volts.size() < 3) return 0;
    const size_t n = samplesIn(trace, gateSeconds);
    const size_t from = trace.volts.size() - n;
    double mean = 0;
    for (size_t i = from; i < trace.volts.size(); ++i) mean += trace.volts[i];
    mean /= double(n);
    double power = 0;
    for (size_t i = from; i < trace.volts.size(); ++i) power += (trace.volts[i] - mean) * (trace.volts[i] - mean);
    const double rms = std::sqrt(power / double(n));
    if (rms < kFrequencyFloor) return 0;
    const double hysteresis = 0.3 * rms;
    bool armed = false;
    int crossings = 0;
    double first = 0, last = 0;
    for (size_t i = from + 1; i < trace.volts.size(); ++i) {
        const double before = trace.volts[i - 1] - mean, now = trace.volts[i] - mean;
        if (before < -hysteresis) armed = true;
        if (armed && before < 0 && now >= 0) {
            const double at = double(i - 1) + (-before) / (now - before);
            if (crossings++ == 0) first = at;
            last = at;
            armed = false;
        }
    }
    return crossings >= 2 && last > first ? double(crossings - 1) * trace.rate / (last - first) : 0;
}

// --- Accuracy and timing ---------------------------------------------------------------------------

DmmAccuracy dcAccuracy(double range)
{
    if (range <= 0.1) return {0.0040, 0.0035};
    if (range <= 1) return {0.0040, 0.0007};
    if (range <= 10) return {0.0030, 0.0005};
    return {0.0040, 0.0006};
}

DmmAccuracy acAccuracy(double frequencyHz)
{
    if (frequencyHz < 5) return {1.00, 0.03};
    if (frequencyHz < 10) return {0.35, 0.03};
    if (frequencyHz <= 20e3) return {0.06, 0.03};
    if (frequencyHz <= 50e3) return {0.10, 0.05};
    if (frequencyHz <= 100e3) return {0.55, 0.08};
    return {4.00, 0.50};
}

DmmAccuracy frequencyAccuracy(double frequencyHz)
{
    if (frequencyHz < 5) return {0.10, 0};
    if (frequencyHz < 10) return {0.05, 0};
    if (frequencyHz < 40) return {0.03, 0};
    return {0.01, 0};
}

double dcNoisePct(double nplc)
{
    if (nplc >= 1) return 0;
    if (nplc >= 0.2) return 0.0003;
    if (nplc >= 0.06) return 0.0006;
    return 0.0015;
}

double readingSeconds(DmmFunction function, double nplc, int bandwidthHz, double gateSeconds)
{
    switch (function) {
    case DmmFunction::DcVoltage: return 2 * nplc / kMainsHz + 0.001;
    case DmmFunction::AcVoltage: return settlingDelay(bandwidthHz) + 0.001;
    case DmmFunction::Frequency: return gateSeconds + 0.001;
    }
    return 0;
}

// --- The meter --------------------------------------------------------------------------------------

SimDmm::SimDmm(Identity identity, Input input, uint32_t seed)
    : identity_(std::move(identity)), input_(std::move(input)), random_(seed)
{
    // This instrument's own calibration errors: within a quarter of the 1-year figures.
    std::uniform_real_distribution<double> quarter(-0.25, 0.25);
    for (size_t i = 0; i < kDcRanges.size(); ++i) {
        dcGain_.push_back(quarter(random_));
        dcOffset_.push_back(quarter(random_));
        acGain_.push_back(quarter(random_));
        acOffset_.push_back(quarter(random_));
    }
    frequencyGain_ = quarter(random_);
    defineCommands();
}

void SimDmm::setScanner(bool present)
{
    scanner_ = present;
    if (!present) closed_ = 0;
}

void SimDmm::reset()
{
    function_ = DmmFunction::DcVoltage;
    dcRange_ = acRange_ = 0;
    nplc_ = 10;
    bandwidth_ = 20;
    aperture_ = 0.1;
    closed_ = 0;
}

SimDmm::Step SimDmm::execute(const scpi::Command& command)
{
    Step step;
    readingBegun_ = false;
    QString answer;
    bool answered = false;
    const int error = table_.execute(command, session_, &answer, &answered);
    session_.queue.push(error);
    if (error != 0) return step;
    if (readingBegun_) {
        step.readingSeconds = readingSeconds(function_, nplc_, bandwidth_, aperture_);
        return step;
    }
    step.answered = answered;
    step.answer = answer;
    return step;
}

QString SimDmm::finishReading()
{
    readingBegun_ = false;
    ++readings_;
    double range = 0;
    bool overload = false;
    const double value = measure(&range, &overload);
    return number(overload ? kOverload : value);
}

double SimDmm::noisy(double value, double range, const DmmAccuracy& accuracy, double gain, double offset,
                     double extraNoisePct)
{
    const double figure = accuracy.readingPct / 100 * std::fabs(value) + accuracy.rangePct / 100 * range;
    const double sigma = 0.05 * figure + extraNoisePct / 100 * range;
    std::normal_distribution<double> noise(0, sigma > 0 ? sigma : 1e-300);
    const double n = std::clamp(noise(random_), -3 * sigma, 3 * sigma);
    return value * (1 + gain * accuracy.readingPct / 100) + offset * accuracy.rangePct / 100 * range + n;
}

double SimDmm::measure(double* rangeUsed, bool* overload)
{
    *overload = false;
    switch (function_) {
    case DmmFunction::DcVoltage: {
        const double aperture = nplc_ / kMainsHz;
        const double v = traceMean(input_(closed_, aperture), aperture);
        const double range = dcRange_ > 0 ? dcRange_ : rangeFor(v, kDcRanges);
        *rangeUsed = range;
        const size_t r = rangeIndex(range, kDcRanges);
        *overload = std::fabs(v) > range * kOverrange;
        return noisy(v, range, dcAccuracy(range), dcGain_[r], dcOffset_[r], dcNoisePct(nplc_));
    }
    case DmmFunction::AcVoltage: {
        const double window = acWindow(bandwidth_);
        const OutputTrace trace = input_(closed_, window + acLeadIn(bandwidth_));
        const double v = traceAcRms(trace, bandwidth_, window);
        const double range = acRange_ > 0 ? acRange_ : rangeFor(v, kAcRanges);
        *rangeUsed = range;
        const size_t r = rangeIndex(range, kAcRanges);
        *overload = v > range * kOverrange;
        return std::fabs(noisy(v, range, acAccuracy(1000), acGain_[r], acOffset_[r], 0));
    }
    case DmmFunction::Frequency: {
        const double f = traceFrequency(input_(closed_, aperture_), aperture_);
        *rangeUsed = 0;
        const DmmAccuracy accuracy = frequencyAccuracy(f);
        return f > 0 ? noisy(f, 0, accuracy, frequencyGain_, 0, 0) : 0.0;
    }
    }
    return 0;
}

QString SimDmm::functionName() const
{
    switch (function_) {
    case DmmFunction::DcVoltage: return QStringLiteral("VOLT");
    case DmmFunction::AcVoltage: return QStringLiteral("VOLT:AC");
    case DmmFunction::Frequency: return QStringLiteral("FREQ");
    }
    return {};
}

bool SimDmm::rangeParameter(scpi::Call& call, int index, const std::vector<double>& ranges, double* range)
{
    const scpi::Parameter& p = call.command().parameters.at(index);
    if (p.kind == scpi::Parameter::Characters) {
        int which = 0;
        if (!call.choice(index, {QStringLiteral("AUTO"), QStringLiteral("DEFault"), QStringLiteral("MINimum"),
                                 QStringLiteral("MAXimum")}, &which))
            return false;
        *range = which == 2 ? ranges.front() : which == 3 ? ranges.back() : 0;
        return true;
    }
    double v = 0;
    if (!call.number(index, scpi::Unit::Volt, &v)) return false;
    // The range that holds the value asked for.
    for (double r : ranges) {
        if (std::fabs(v) <= r * (1 + 1e-9)) {
            *range = r;
            return true;
        }
    }
    call.fail(scpi::DataOutOfRange);
    return false;
}

void SimDmm::configure(scpi::Call& call, DmmFunction function)
{
    const int given = call.command().parameters.size();
    if (given > 2) {
        call.fail(scpi::ParameterNotAllowed);
        return;
    }
    double range = 0;
    if (function != DmmFunction::Frequency && given >= 1
        && !rangeParameter(call, 0, function == DmmFunction::AcVoltage ? kAcRanges : kDcRanges, &range))
        return;
    if (function == DmmFunction::Frequency && given >= 1) {
        double ignored = 0;
        const scpi::Parameter& p = call.command().parameters.at(0);
        if (p.kind == scpi::Parameter::Number ? !call.number(0, scpi::Unit::Hertz, &ignored)
                                              : !rangeParameter(call, 0, kAcRanges, &ignored))
            return;
    }
    // The resolution only chooses digits on the display here.
    if (given == 2 && call.command().parameters.at(1).kind == scpi::Parameter::String) {
        call.fail(scpi::DataTypeError);
        return;
    }
    function_ = function;
    if (function == DmmFunction::DcVoltage) {
        dcRange_ = range;
        nplc_ = 10;
    } else if (function == DmmFunction::AcVoltage) {
        acRange_ = range;
        bandwidth_ = 20;
    } else {
        aperture_ = 0.1;
    }
}

void SimDmm::beginReading(scpi::Call& call)
{
    readingBegun_ = true;
    call.reply(QString()); // answered when the reading is taken
}

void SimDmm::defineCommands()
{
    using scpi::Call;
    table_.define("*IDN", {}, [this](Call& c) {
        if (c.expect(0))
            c.reply(QStringLiteral("%1,%2,%3,%4").arg(identity_.maker, identity_.model, identity_.serial, identity_.firmware));
    });
    table_.define("*RST", [this](Call& c) { if (c.expect(0)) reset(); });
    table_.define("*CLS", [this](Call& c) { if (c.expect(0)) session_.queue.clear(); });
    table_.define("*OPC", [](Call& c) { c.expect(0); }, [](Call& c) { if (c.expect(0)) c.reply(QStringLiteral("1")); });
    table_.define("*WAI", [](Call& c) { c.expect(0); });
    table_.define("*TST", {}, [](Call& c) { if (c.expect(0)) c.reply(QStringLiteral("+0")); });
    table_.define("SYSTem:ERRor[:NEXT]", {}, [this](Call& c) { if (c.expect(0)) c.reply(session_.queue.next()); });

    const auto configureAs = [this](DmmFunction f) { return [this, f](Call& c) { configure(c, f); }; };
    const auto measureAs = [this](DmmFunction f) {
        return [this, f](Call& c) {
            configure(c, f);
            if (c.error == 0) beginReading(c);
        };
    };
    table_.define("CONFigure[:VOLTage]:DC", configureAs(DmmFunction::DcVoltage));
    table_.define("CONFigure[:VOLTage]:AC", configureAs(DmmFunction::AcVoltage));
    table_.define("CONFigure:FREQuency", configureAs(DmmFunction::Frequency));
    table_.define("CONFigure", {}, [this](Call& c) {
        if (!c.expect(0)) return;
        const double range = function_ == DmmFunction::DcVoltage ? (dcRange_ > 0 ? dcRange_ : 10)
                             : function_ == DmmFunction::AcVoltage ? (acRange_ > 0 ? acRange_ : 10) : 10;
        c.reply(QStringLiteral("\"%1 %2,%3\"").arg(functionName(), number(range), number(range * 1e-6)));
    });
    table_.define("MEASure[:VOLTage]:DC", {}, measureAs(DmmFunction::DcVoltage));
    table_.define("MEASure[:VOLTage]:AC", {}, measureAs(DmmFunction::AcVoltage));
    table_.define("MEASure:FREQuency", {}, measureAs(DmmFunction::Frequency));
    table_.define("READ", {}, [this](Call& c) { if (c.expect(0)) beginReading(c); });

    table_.define("[SENSe:]FUNCtion[:ON]", [this](Call& c) {
        QString name;
        if (!c.expect(1) || !c.string(0, &name)) return;
        name = name.toUpper();
        if (name == QLatin1String("VOLT") || name == QLatin1String("VOLT:DC") || name == QLatin1String("VOLTAGE")
            || name == QLatin1String("VOLTAGE:DC"))
            function_ = DmmFunction::DcVoltage;
        else if (name == QLatin1String("VOLT:AC") || name == QLatin1String("VOLTAGE:AC"))
            function_ = DmmFunction::AcVoltage;
        else if (name == QLatin1String("FREQ") || name == QLatin1String("FREQUENCY"))
            function_ = DmmFunction::Frequency;
        else
            c.fail(scpi::IllegalParameterValue);
    }, [this](Call& c) { if (c.expect(0)) c.reply(QLatin1Char('"') + functionName() + QLatin1Char('"')); });

    const auto rangeCommands = [this](const char* range, const char* autoRange, double* stored,
                                      const std::vector<double>* ranges) {
        table_.define(range, [this, stored, ranges](Call& c) {
            double r = 0;
            if (!c.expect(1) || !rangeParameter(c, 0, *ranges, &r)) return;
            *stored = r;
        }, [stored](Call& c) { if (c.expect(0)) c.reply(number(*stored > 0 ? *stored : 10)); });
        table_.define(autoRange, [stored](Call& c) {
            bool on = false;
            if (!c.expect(1) || !c.boolean(0, &on)) return;
            if (on) *stored = 0;
            else if (*stored == 0) *stored = 10;
        }, [stored](Call& c) { if (c.expect(0)) c.reply(*stored > 0 ? QStringLiteral("0") : QStringLiteral("1")); });
    };
    rangeCommands("[SENSe:]VOLTage[:DC]:RANGe", "[SENSe:]VOLTage[:DC]:RANGe:AUTO", &dcRange_, &kDcRanges);
    rangeCommands("[SENSe:]VOLTage:AC:RANGe", "[SENSe:]VOLTage:AC:RANGe:AUTO", &acRange_, &kAcRanges);

    // A numeric setting that takes the nearest allowed value at or above the one asked for (MIN,
    // MAX, DEF too).
    const auto steps = [](Call& c, const std::vector<double>& allowed, double byDefault, double* value) {
        if (!c.expect(1)) return false;
        const scpi::Parameter& p = c.command().parameters.at(0);
        if (p.kind == scpi::Parameter::Characters) {
            int which = 0;
            if (!c.choice(0, {QStringLiteral("MINimum"), QStringLiteral("MAXimum"), QStringLiteral("DEFault")}, &which))
                return false;
            *value = which == 0 ? allowed.front() : which == 1 ? allowed.back() : byDefault;
            return true;
        }
        double v = 0;
        if (!c.number(0, scpi::Unit::None, &v)) return false;
        for (double a : allowed) {
            if (v <= a * (1 + 1e-9)) {
                *value = a;
                return true;
            }
        }
        c.fail(scpi::DataOutOfRange);
        return false;
    };
    table_.define("[SENSe:]VOLTage[:DC]:NPLCycles", [this, steps](Call& c) {
        double v = 0;
        if (steps(c, kNplcs, 10, &v)) nplc_ = v;
    }, [this](Call& c) { if (c.expect(0)) c.reply(number(nplc_)); });
    table_.define("[SENSe:]VOLTage:AC:BANDwidth", [this, steps](Call& c) {
        // The filter for the lowest frequency expected: 15 Hz takes the 3 Hz filter, 190 Hz the 20 Hz one.
        double v = 0;
        if (!steps(c, {3, 20, 200, 300e3}, 20, &v)) return;
        const double asked = c.command().parameters.at(0).kind == scpi::Parameter::Number ? c.command().parameters.at(0).number : v;
        bandwidth_ = asked >= 200 ? 200 : asked >= 20 ? 20 : 3;
    }, [this](Call& c) { if (c.expect(0)) c.reply(number(bandwidth_)); });
    table_.define("[SENSe:]FREQuency:APERture", [this, steps](Call& c) {
        double v = 0;
        if (steps(c, kApertures, 0.1, &v)) aperture_ = v;
    }, [this](Call& c) { if (c.expect(0)) c.reply(number(aperture_)); });

    // The scanner: one channel closed at a time; closing one opens the one closed before.
    const auto channels = [this](Call& c, std::vector<int>* list) {
        if (!scanner_) {
            c.fail(scpi::HardwareMissing);
            return false;
        }
        if (!c.expect(1)) return false;
        const scpi::Parameter& p = c.command().parameters.at(0);
        if (p.kind != scpi::Parameter::ChannelList) {
            c.fail(p.kind == scpi::Parameter::String ? scpi::DataTypeError : scpi::IllegalParameterValue);
            return false;
        }
        if (!channelList(p.text, list)) {
            c.fail(scpi::DataOutOfRange);
            return false;
        }
        return true;
    };
    table_.define("ROUTe:CLOSe", [this, channels](Call& c) {
        std::vector<int> list;
        if (!channels(c, &list)) return;
        if (list.size() != 1) c.fail(scpi::SettingsConflict);
        else closed_ = list.front();
    }, [this, channels](Call& c) {
        std::vector<int> list;
        if (!channels(c, &list)) return;
        QStringList states;
        for (int ch : list) states << (ch == closed_ ? QStringLiteral("1") : QStringLiteral("0"));
        c.reply(states.join(QLatin1Char(',')));
    });
    table_.define("ROUTe:OPEN", [this, channels](Call& c) {
        std::vector<int> list;
        if (!channels(c, &list)) return;
        if (std::find(list.begin(), list.end(), closed_) != list.end()) closed_ = 0;
    });
    table_.define("ROUTe:OPEN:ALL", [this](Call& c) {
        if (!scanner_) c.fail(scpi::HardwareMissing);
        else if (c.expect(0)) closed_ = 0;
    });
}

QJsonObject SimDmm::status() const
{
    QJsonObject o{{"function", functionName()},
                  {"dcRange", dcRange_ > 0 ? QJsonValue(dcRange_) : QJsonValue(QStringLiteral("auto"))},
                  {"acRange", acRange_ > 0 ? QJsonValue(acRange_) : QJsonValue(QStringLiteral("auto"))},
                  {"nplc", nplc_},
                  {"bandwidthHz", bandwidth_},
                  {"apertureS", aperture_},
                  {"scanner", scanner_},
                  {"readings", double(readings_)},
                  {"errorsQueued", session_.queue.count()}};
    if (scanner_) o.insert("closedChannel", closed_ ? QJsonValue(100 + closed_) : QJsonValue());
    return o;
}

} // namespace vekd
