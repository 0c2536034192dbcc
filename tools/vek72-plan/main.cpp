// vek72-plan: plans a VEK72 output the way the program does before a start and prints the result
// as one JSON object: the common length, the blocks of the transfer and, per channel, the whole
// periods and the frequency really produced. Optionally writes the samples as CSV.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "channelsignal.h"
#include "synthesis.h"

namespace {

const char* const usageText =
    "Usage: vek72-plan --rate HZ [--cyclic|--streaming] --signal SHAPE:FREQ[:AMPLITUDE_V[:OFFSET_V]] ...\n"
    "                  [--samples FILE.csv]\n"
    "\n"
    "Plans a VEK72 output as the program does at a start: one common length L in which every\n"
    "channel holds whole periods, frequencies that do not fit moved to the nearest that do, and the\n"
    "blocks of the transfer to the module. Prints one JSON object:\n"
    "  {\"L\":..., \"blockCount\":..., \"samplesPerBlock\":..., \"transferWords\":..., \"blockPeriodMs\":...,\n"
    "   \"channels\":[{\"shape\":..., \"requested\":..., \"periods\":..., \"samplesPerPeriod\":...,\n"
    "                \"frequency\":...}, ...]}\n"
    "Fractional numbers are printed with 17 significant digits.\n"
    "\n"
    "Options:\n"
    "  --rate HZ         output rate of one channel in samples per second (the module gives the DAC\n"
    "                    rate divided by the enabled channel count rounded up to 1, 2, 4 or 8,\n"
    "                    e.g. 48000 for one channel at 48 kHz, 24000 for two)\n"
    "  --cyclic          one page that the module repeats (default)\n"
    "  --streaming       blocks streamed by the program\n"
    "  --signal SIGNAL   one channel, in channel order; SHAPE is sine, triangle, saw, pulse or line,\n"
    "                    FREQ in Hz (ignored for line), AMPLITUDE_V default 1, OFFSET_V default 0\n"
    "  --samples FILE    also write the samples as CSV: a header line ch1,ch2,... and then one line\n"
    "                    per sample index with one column per channel, in volts\n"
    "  --help            this text\n"
    "\n"
    "Exit status: 0 planned, 1 bad arguments or file error, 2 the program would refuse the plan\n"
    "(its message is printed on standard error).\n";

const char* const shapeNames[] = {"sine", "triangle", "saw", "pulse", "line"};

int usageError(const QString& text)
{
    std::fprintf(stderr, "vek72-plan: %s\nTry 'vek72-plan --help'.\n", qUtf8Printable(text));
    return 1;
}

bool parseNumber(const QString& text, double* value)
{
    bool ok = false;
    *value = text.trimmed().toDouble(&ok);
    return ok;
}

bool parseSignal(const QString& given, ChannelSignal* signal, QString* error)
{
    const QStringList parts = given.split(QLatin1Char(':'));
    if (parts.size() < 2 || parts.size() > 4) {
        *error = QStringLiteral("bad --signal '%1': expected SHAPE:FREQ[:AMPLITUDE_V[:OFFSET_V]]").arg(given);
        return false;
    }
    int shape = -1;
    for (int i = 0; i < 5; ++i) {
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
    const char* const names[] = {nullptr, "frequency", "amplitude", "offset"};
    double* targets[] = {nullptr, &signal->frequency, &signal->amplitude, &signal->offset};
    for (int i = 1; i < parts.size(); ++i) {
        if (!parseNumber(parts.at(i), targets[i])) {
            *error = QStringLiteral("bad %1 '%2' in --signal '%3'")
                         .arg(QLatin1String(names[i]), parts.at(i), given);
            return false;
        }
    }
    return true;
}

// A double with 17 significant digits; JSON has no NaN or infinity, they become null.
QByteArray number(double x)
{
    if (!std::isfinite(x))
        return QByteArrayLiteral("null");
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.17g", x);
    return QByteArray(buffer);
}

QByteArray planJson(const synthesis::Plan& plan)
{
    QByteArray out;
    out += "{\"L\":" + QByteArray::number(plan.length);
    out += ", \"blockCount\":" + QByteArray::number(plan.blockCount);
    out += ", \"samplesPerBlock\":" + QByteArray::number(plan.samplesPerBlock);
    out += ", \"transferWords\":" + QByteArray::number(plan.transferWords());
    out += ", \"blockPeriodMs\":" + QByteArray::number(plan.blockPeriodMs);
    out += ", \"channels\":[";
    for (int i = 0; i < plan.channels.size(); ++i) {
        const synthesis::ChannelPlan& c = plan.channels.at(i);
        if (i > 0)
            out += ", ";
        const int shape = c.shape >= 0 && c.shape < 5 ? c.shape : 4;
        out += "{\"shape\":\"" + QByteArray(shapeNames[shape]) + "\"";
        out += ", \"requested\":" + number(c.requested);
        out += ", \"periods\":" + QByteArray::number(c.periods);
        out += ", \"samplesPerPeriod\":" + number(c.samplesPerPeriod);
        out += ", \"frequency\":" + number(c.frequency) + "}";
    }
    out += "]}\n";
    return out;
}

bool writeSamples(const QString& path, const QList<ChannelSignal>& channels, qint64 length)
{
    FILE* file = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!file)
        return false;
    QByteArray line;
    for (int i = 0; i < channels.size(); ++i)
        line += (i > 0 ? ",ch" : "ch") + QByteArray::number(i + 1);
    line += '\n';
    bool ok = std::fwrite(line.constData(), 1, size_t(line.size()), file) == size_t(line.size());
    std::vector<char> buffer;
    buffer.reserve(1 << 20);
    char cell[40];
    for (qint64 k = 0; ok && k < length; ++k) {
        for (int i = 0; i < channels.size(); ++i) {
            if (i > 0)
                buffer.push_back(',');
            const auto result = std::to_chars(cell, cell + sizeof cell, channels.at(i).samples.at(int(k)),
                                              std::chars_format::general, 17);
            buffer.insert(buffer.end(), cell, result.ptr);
        }
        buffer.push_back('\n');
        if (buffer.size() > (1u << 20) - 1024 || k + 1 == length) {
            ok = std::fwrite(buffer.data(), 1, buffer.size(), file) == buffer.size();
            buffer.clear();
        }
    }
    return std::fclose(file) == 0 && ok;
}

} // namespace

int main(int argc, char* argv[])
{
    double rate = 0.0;
    bool rateGiven = false;
    int modeOptions = 0;
    bool cyclic = true;
    QString samplesPath;
    QList<ChannelSignal> channels;

    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        auto value = [&](QString* out) {
            if (i + 1 >= argc)
                return false;
            *out = QString::fromLocal8Bit(argv[++i]);
            return true;
        };
        QString text;
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(usageText, stdout);
            return 0;
        } else if (arg == QLatin1String("--rate")) {
            if (!value(&text) || !parseNumber(text, &rate))
                return usageError(QStringLiteral("--rate needs a number of samples per second"));
            rateGiven = true;
        } else if (arg == QLatin1String("--cyclic")) {
            cyclic = true;
            ++modeOptions;
        } else if (arg == QLatin1String("--streaming")) {
            cyclic = false;
            ++modeOptions;
        } else if (arg == QLatin1String("--signal")) {
            if (!value(&text))
                return usageError(QStringLiteral("--signal needs SHAPE:FREQ[:AMPLITUDE_V[:OFFSET_V]]"));
            ChannelSignal signal;
            signal.channel = channels.size() + 1;
            QString error;
            if (!parseSignal(text, &signal, &error))
                return usageError(error);
            channels.append(signal);
        } else if (arg == QLatin1String("--samples")) {
            if (!value(&samplesPath) || samplesPath.isEmpty())
                return usageError(QStringLiteral("--samples needs a file name"));
        } else {
            return usageError(QStringLiteral("unknown argument '%1'").arg(arg));
        }
    }
    if (!rateGiven)
        return usageError(QStringLiteral("--rate is required"));
    if (modeOptions > 1)
        return usageError(QStringLiteral("give at most one of --cyclic and --streaming"));

    synthesis::Plan plan;
    if (samplesPath.isEmpty()) {
        plan = synthesis::makePlan(channels, rate, cyclic);
    } else {
        synthesis::synthesizeAll(channels, rate, cyclic, &plan);
    }
    if (!plan.ok()) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(plan.message));
        return 2;
    }
    const QByteArray json = planJson(plan);
    std::fwrite(json.constData(), 1, size_t(json.size()), stdout);
    std::fflush(stdout);
    if (!samplesPath.isEmpty() && !writeSamples(samplesPath, channels, plan.length)) {
        std::fprintf(stderr, "vek72-plan: cannot write %s: %s\n", qUtf8Printable(samplesPath),
                     std::strerror(errno));
        return 1;
    }
    return 0;
}
