// vek72-plan: plans a VEK72 output the way the program does before a start and prints the result
// as one JSON object: the common length, the blocks of the transfer and, per channel, the whole
// periods and the frequency really produced. Optionally writes the samples as CSV.

#include <QByteArray>
#include <QList>
#include <QSaveFile>
#include <QString>
#include <QStringList>

#include <charconv>
#include <cmath>
#include <cstdio>

#include "channelsignal.h"
#include "signalargs.h"
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
    "  --signal SIGNAL   one channel, in channel order, at most 8; SHAPE is sine, triangle, saw, pulse\n"
    "                    or line, FREQ in Hz above 0, AMPLITUDE_V above 0 (default 1), OFFSET_V\n"
    "                    (default 0); a line plays its offset and ignores FREQ and AMPLITUDE_V\n"
    "  --samples FILE    also write the samples as CSV: a header line ch1,ch2,... and then L lines,\n"
    "                    one per sample index with one column per channel, in volts (up to about\n"
    "                    24 bytes per channel and line: a streaming plan of L = 48000000 makes a\n"
    "                    file of about 1 GB per channel)\n"
    "  --help            this text\n"
    "\n"
    "Exit status: 0 planned, 1 bad arguments or file error, 2 the program would refuse the plan\n"
    "(its message is printed on standard error).\n";

int usageError(const QString& text)
{
    return toolargs::usageError("vek72-plan", text);
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
        out += "{\"shape\":\"" + QByteArray(toolargs::shapeName(c.shape)) + "\"";
        out += ", \"requested\":" + number(c.requested);
        out += ", \"periods\":" + QByteArray::number(c.periods);
        out += ", \"samplesPerPeriod\":" + number(c.samplesPerPeriod);
        out += ", \"frequency\":" + number(c.frequency) + "}";
    }
    out += "]}\n";
    return out;
}

// Writes the samples as CSV into a file opened before planning.
bool writeSamples(QSaveFile* file, const QList<ChannelSignal>& channels, qint64 length)
{
    QByteArray buffer;
    for (int i = 0; i < channels.size(); ++i)
        buffer += (i > 0 ? ",ch" : "ch") + QByteArray::number(i + 1);
    buffer += '\n';
    buffer.reserve(1 << 20);
    char cell[40];
    for (qint64 k = 0; k < length; ++k) {
        for (int i = 0; i < channels.size(); ++i) {
            if (i > 0)
                buffer += ',';
            const auto result = std::to_chars(cell, cell + sizeof cell, channels.at(i).samples.at(int(k)),
                                              std::chars_format::general, 17);
            buffer.append(cell, int(result.ptr - cell));
        }
        buffer += '\n';
        if (buffer.size() > (1 << 20) - 1024) {
            if (file->write(buffer) != buffer.size())
                return false;
            buffer.clear();
        }
    }
    return file->write(buffer) == buffer.size() && file->commit();
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
            bool ok = false;
            if (value(&text))
                rate = text.trimmed().toDouble(&ok);
            if (!ok || !(rate > 0.0) || !std::isfinite(rate))
                return usageError(QStringLiteral("--rate needs a positive number of samples per second, not '%1'").arg(text));
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
            QString error;
            if (!toolargs::addSignal(text, &channels, &error))
                return usageError(error);
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

    // The file is opened before planning, so that a path that cannot be written stops the tool before
    // it prints anything. It only replaces an existing file once every sample has been written.
    QSaveFile samplesFile(samplesPath);
    if (!samplesPath.isEmpty() && !samplesFile.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "vek72-plan: cannot write %s: %s\n", qUtf8Printable(samplesPath),
                     qUtf8Printable(samplesFile.errorString()));
        return 1;
    }

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
    if (!samplesPath.isEmpty() && !writeSamples(&samplesFile, channels, plan.length)) {
        std::fprintf(stderr, "vek72-plan: cannot write %s: %s\n", qUtf8Printable(samplesPath),
                     qUtf8Printable(samplesFile.errorString()));
        return 1;
    }
    return 0;
}
