#include "signalargs.h"

#include <QStringList>

#include <cmath>
#include <cstdio>

namespace toolargs {

namespace {

const char* const shapeNames[] = {"sine", "triangle", "saw", "pulse", "line"};
constexpr int shapeCount = int(sizeof shapeNames / sizeof shapeNames[0]);

} // namespace

const char* shapeName(int shape)
{
    return shape >= 0 && shape < shapeCount ? shapeNames[shape] : shapeNames[ChannelSignal::Line];
}

bool parseSignal(const QString& text, ChannelSignal* signal, QString* error)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() < 2 || parts.size() > 4) {
        *error = QStringLiteral("bad --signal '%1': expected SHAPE:FREQ[:AMPLITUDE_V[:OFFSET_V]]").arg(text);
        return false;
    }
    int shape = -1;
    for (int i = 0; i < shapeCount; ++i) {
        if (parts.at(0) == QLatin1String(shapeNames[i]))
            shape = i;
    }
    if (shape < 0) {
        *error = QStringLiteral("bad shape '%1': one of sine, triangle, saw, pulse, line").arg(parts.at(0));
        return false;
    }
    signal->shape = shape;
    signal->amplitude = 1.0;
    signal->offset = 0.0;

    // A line plays its offset: its frequency and amplitude are read but not used.
    const bool periodic = shape != ChannelSignal::Line;
    struct Field
    {
        const char* name;
        double* target;
        bool mustBePositive;
        const char* unit;
    };
    const Field fields[] = {{nullptr, nullptr, false, nullptr},
                            {"frequency", &signal->frequency, periodic, "Hz"},
                            {"amplitude", &signal->amplitude, periodic, "V"},
                            {"offset", &signal->offset, false, "V"}};
    for (int i = 1; i < parts.size(); ++i) {
        const Field& field = fields[i];
        bool ok = false;
        const double value = parts.at(i).trimmed().toDouble(&ok);
        const QString bad = QStringLiteral("bad %1 '%2' in --signal '%3': ").arg(QLatin1String(field.name), parts.at(i), text);
        if (!ok) {
            *error = bad + QStringLiteral("not a number");
            return false;
        }
        if (!std::isfinite(value)) {
            *error = bad + QStringLiteral("must be a finite number");
            return false;
        }
        if (field.mustBePositive && !(value > 0.0)) {
            *error = bad + QStringLiteral("must be above 0 %1").arg(QLatin1String(field.unit));
            return false;
        }
        *field.target = value;
    }
    return true;
}

bool addSignal(const QString& text, QList<ChannelSignal>* channels, QString* error)
{
    if (channels->size() == maxSignals) {
        *error = QStringLiteral("at most %1 signals: the module has %1 channels").arg(maxSignals);
        return false;
    }
    ChannelSignal signal;
    signal.channel = channels->size() + 1;
    if (!parseSignal(text, &signal, error))
        return false;
    channels->append(signal);
    return true;
}

int usageError(const char* tool, const QString& text)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", tool, qUtf8Printable(text), tool);
    return 1;
}

} // namespace toolargs
