#include "signalargs.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "synthesis.h"
#include "waveformfile.h"

namespace toolargs {

namespace {

const char* const shapeNames[] = {"sine", "triangle", "saw", "pulse", "line", "arb"};
constexpr int shapeCount = int(sizeof shapeNames / sizeof shapeNames[0]);

// Peak of the alternating part per volt RMS, for the ideal shapes swinging symmetrically around
// their offset: a sine, a triangle, a saw, a pulse of half a period high (a square).
double peakPerRms(int shape)
{
    switch (shape) {
    case ChannelSignal::Sine: return std::sqrt(2.0);
    case ChannelSignal::Triangle:
    case ChannelSignal::Saw: return std::sqrt(3.0);
    default: return 1.0;
    }
}

// A number of a signal's field; false with a text naming the field when it is none or not finite.
// The alternating part of a file's period, normalised as it is played: its RMS value and its span
// (highest point minus lowest).
struct AlternatingPart
{
    double rms = 0.0;
    double span = 0.0;
};
AlternatingPart alternatingPart(const Waveform& waveform)
{
    const QVector<double>& points = waveform.points();
    double mean = 0.0;
    for (double p : points)
        mean += p;
    mean /= points.size();
    double sum = 0.0;
    for (double p : points)
        sum += (p - mean) * (p - mean);
    const auto [low, high] = std::minmax_element(points.begin(), points.end());
    return AlternatingPart{std::sqrt(sum / points.size()), *high - *low};
}

bool readNumber(const QString& field, const char* name, const QString& signal, double* value, QString* error)
{
    bool ok = false;
    *value = field.trimmed().toDouble(&ok);
    if (ok && std::isfinite(*value))
        return true;
    *error = QStringLiteral("%1 '%2' в --signal '%3': %4")
                 .arg(QString::fromUtf8(name), field, signal,
                      ok ? QStringLiteral("нужно конечное число") : QStringLiteral("не число"));
    return false;
}

} // namespace

const char* const signalHelp =
    "  --signal СИГНАЛ       один канал, в порядке каналов 1, 2, ..., не больше 8:\n"
    "                        ФОРМА:ЧАСТОТА[:АМПЛИТУДА[:СМЕЩЕНИЕ]][@ФАЗА]\n"
    "                        или arb:ФАЙЛ:ЧАСТОТА[:АМПЛИТУДА[:СМЕЩЕНИЕ]][@ФАЗА]\n"
    "                        ФОРМА: sine, triangle, saw, pulse или line; ЧАСТОТА в Гц, больше 0.\n"
    "                        АМПЛИТУДА в вольтах — пиковая (по умолчанию 1): сигнал любой формы\n"
    "                        идёт от СМЕЩЕНИЕ - АМПЛИТУДА до СМЕЩЕНИЕ + АМПЛИТУДА. С приставкой\n"
    "                        rms: — действующее значение переменной части (пик = rms·√2 у sine,\n"
    "                        rms·√3 у triangle и saw, rms у pulse), pp: — размах (пик = pp/2).\n"
    "                        СМЕЩЕНИЕ в вольтах — середина размаха (по умолчанию 0).\n"
    "                        line — постоянный уровень СМЕЩЕНИЕ, её ЧАСТОТА и АМПЛИТУДА не\n"
    "                        используются: line:0:0:3 — уровень 3 В.\n"
    "                        arb — один период из ФАЙЛА CSV или WAV (имя без двоеточий), как в\n"
    "                        программе: точки делятся на наибольшую по модулю, умножаются на\n"
    "                        АМПЛИТУДУ и сдвигаются на СМЕЩЕНИЕ; rms: и pp: считаются по точкам.\n"
    "                        @ФАЗА — начальная фаза в градусах (по умолчанию 0; -90 — то же, что\n"
    "                        270), у line фазы нет. Все каналы начинаются вместе, поэтому фазы\n"
    "                        между каналами точные: sine:50@0, sine:50@120, sine:50@240 — три фазы.\n"
    "                        Пример: sine:1000:rms:2 — синус 1 кГц, 2 В действующее, размах 5.657 В.\n";

const char* shapeName(int shape)
{
    return shape >= 0 && shape < shapeCount ? shapeNames[shape] : shapeNames[ChannelSignal::Line];
}

bool parseSignal(const QString& text, ChannelSignal* signal, QString* error)
{
    // The phase: "@DEGREES" after the last field.
    QString body = text;
    QString phaseText;
    const int at = text.lastIndexOf(QLatin1Char('@'));
    const bool phaseGiven = at >= 0 && at > text.lastIndexOf(QLatin1Char(':'));
    if (phaseGiven) {
        phaseText = text.mid(at + 1);
        body = text.left(at);
    }
    QStringList parts = body.split(QLatin1Char(':'));
    // The file of an arbitrary signal, read before the other fields, which follow as for the others.
    WaveformPointer waveform;
    if (parts.first() == QLatin1String(shapeNames[ChannelSignal::Arbitrary])) {
        if (parts.size() < 3 || parts.at(1).isEmpty()) {
            *error = QStringLiteral("неверный --signal '%1': нужно arb:ФАЙЛ:ЧАСТОТА[:АМПЛИТУДА[:СМЕЩЕНИЕ]]").arg(text);
            return false;
        }
        const waveformfile::Result file = waveformfile::load(parts.takeAt(1));
        if (!file.ok()) {
            *error = QStringLiteral("--signal '%1': %2").arg(text, file.message);
            return false;
        }
        waveform = file.waveform;
    }
    // An amplitude kind before the amplitude: "rms" or "pp" (or "peak", the default).
    QString kind;
    if (parts.size() >= 3 && (parts.at(2) == QLatin1String("rms") || parts.at(2) == QLatin1String("pp")
                              || parts.at(2) == QLatin1String("peak"))) {
        kind = parts.takeAt(2);
        if (parts.size() < 3) {
            *error = QStringLiteral("в --signal '%1' после %2: нужна амплитуда в вольтах").arg(text, kind);
            return false;
        }
    }
    if (parts.size() < 2 || parts.size() > 4) {
        *error = QStringLiteral("неверный --signal '%1': нужно ФОРМА:ЧАСТОТА[:АМПЛИТУДА[:СМЕЩЕНИЕ]][@ФАЗА]").arg(text);
        return false;
    }
    int shape = -1;
    for (int i = 0; i < shapeCount; ++i) {
        if (parts.at(0) == QLatin1String(shapeNames[i]))
            shape = i;
    }
    if (shape < 0) {
        *error = QStringLiteral("неизвестная форма '%1': sine, triangle, saw, pulse, line или arb").arg(parts.at(0));
        return false;
    }
    // A line plays its offset: its frequency and amplitude are read but not used.
    const bool periodic = shape != ChannelSignal::Line;
    double frequency = 0.0;
    double amplitude = 1.0;
    double offset = 0.0;
    if (!readNumber(parts.at(1), "частота", text, &frequency, error))
        return false;
    if (periodic && !(frequency > 0.0)) {
        *error = QStringLiteral("частота '%1' в --signal '%2': нужно больше 0 Гц").arg(parts.at(1), text);
        return false;
    }
    if (parts.size() > 2 && !readNumber(parts.at(2), "амплитуда", text, &amplitude, error))
        return false;
    if (periodic && !(amplitude > 0.0)) {
        *error = QStringLiteral("амплитуда '%1' в --signal '%2': нужно больше 0 В").arg(parts.value(2), text);
        return false;
    }
    if (parts.size() > 3 && !readNumber(parts.at(3), "смещение", text, &offset, error))
        return false;
    double phase = 0.0;
    if (phaseGiven) {
        if (!readNumber(phaseText, "фаза", text, &phase, error))
            return false;
        if (!periodic) {
            *error = QStringLiteral("фаза '%1' в --signal '%2': у line фазы нет").arg(phaseText, text);
            return false;
        }
        phase = synthesis::normalisedPhase(phase);
    }

    if (waveform && !kind.isEmpty() && kind != QLatin1String("peak")) {
        // The file's own alternating part: its RMS value or its span per volt of amplitude.
        const AlternatingPart part = alternatingPart(*waveform);
        const double perVolt = kind == QLatin1String("rms") ? part.rms : part.span;
        if (!(perVolt > 0.0)) {
            *error = QStringLiteral("в --signal '%1': у сигнала файла нет переменной части, %2: к нему не применить")
                         .arg(text, kind);
            return false;
        }
        amplitude /= perVolt;
    } else if (kind == QLatin1String("rms")) {
        amplitude *= peakPerRms(shape);
    } else if (kind == QLatin1String("pp")) {
        amplitude /= 2.0;
    }
    signal->shape = shape;
    signal->frequency = frequency;
    signal->amplitude = periodic ? amplitude : 0.0;
    signal->offset = offset;
    signal->phase = phase;
    signal->waveform = waveform;
    return true;
}

bool addSignal(const QString& text, QList<ChannelSignal>* channels, QString* error)
{
    if (channels->size() == maxSignals) {
        *error = QStringLiteral("не больше %1 сигналов: у модуля %1 каналов").arg(maxSignals);
        return false;
    }
    ChannelSignal signal;
    signal.channel = channels->size() + 1;
    if (!parseSignal(text, &signal, error))
        return false;
    channels->append(signal);
    return true;
}

ChannelSignal forSynthesis(const ChannelSignal& signal)
{
    ChannelSignal s = signal;
    if (s.shape == ChannelSignal::Triangle || s.shape == ChannelSignal::Saw || s.shape == ChannelSignal::Pulse) {
        s.offset = signal.offset - signal.amplitude;
        s.amplitude = 2.0 * signal.amplitude;
    }
    return s;
}

int usageError(const char* tool, const QString& text)
{
    std::fprintf(stderr, "%s: %s\nСправка: %s --help\n", tool, qUtf8Printable(text), tool);
    return exitUsage;
}

int fail(const char* tool, const QString& text, int status)
{
    std::fprintf(stderr, "%s: %s\n", tool, qUtf8Printable(text));
    return status;
}

} // namespace toolargs
