// vek72-plan: plans a VEK72 output the way the program does before a start and prints the result
// as one JSON object: the common length, the blocks of the transfer and, per channel, the whole
// periods and the frequency really produced. Optionally writes the samples as CSV. What the module
// cannot play (a DAC rate it does not have, a page longer than it holds, a voltage beyond its
// outputs) is refused with the reason.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QList>
#include <QSaveFile>
#include <QString>
#include <QStringList>

#include <charconv>
#include <cmath>
#include <cstdio>

#include "channelsignal.h"
#include "outputcheck.h"
#include "outputrange.h"
#include "signalargs.h"
#include "synthesis.h"

namespace {

const char* const tool = "vek72-plan";

const char* const usageHead =
    "Использование: vek72-plan [--dac-rate ГЦ | --rate ГЦ] [--cyclic | --streaming]\n"
    "                          [--modification N] [--tenth] --signal СИГНАЛ ... [--samples ФАЙЛ.csv]\n"
    "\n"
    "Планирует вывод VEK72 так, как программа при старте: одна общая длина L, в которой у каждого\n"
    "канала целое число периодов (частоты, которые не укладываются, сдвигаются к ближайшим, что\n"
    "укладываются), и блоки передачи в модуль. Печатает один объект JSON:\n"
    "  {\"rate\":..., \"L\":..., \"blockCount\":..., \"samplesPerBlock\":..., \"transferWords\":...,\n"
    "   \"blockPeriodMs\":..., \"channels\":[{\"shape\":..., \"peak\":..., \"offset\":..., \"requested\":...,\n"
    "   \"periods\":..., \"samplesPerPeriod\":..., \"frequency\":...}, ...]}\n"
    "rate — выборок в секунду на канал; peak и offset — пиковая амплитуда и смещение в вольтах; у line\n"
    "частоты нет (null, как и peak, requested, periods и samplesPerPeriod). У arb после shape — \"file\"\n"
    "(имя файла) и \"points\" (точек в нём); у сигнала с фазой в конце — \"phase\" (градусы, 0..360).\n"
    "Дробные числа — с 17 значащими цифрами.\n"
    "\n"
    "Параметры:\n"
    "  --dac-rate ГЦ         частота ЦАП модуля: 48000, 96000 или 192000 (по умолчанию 48000); на\n"
    "                        канал приходится она, делённая на число каналов, округлённое вверх до\n"
    "                        1, 2, 4 или 8 (например, 24000 на каждый из двух каналов при 48000)\n"
    "  --rate ГЦ             вместо --dac-rate: выборок в секунду на канал, одна из частот, которые\n"
    "                        даёт модуль (6000, 12000, 24000, 48000, 96000, 192000); та, что он даёт\n"
    "                        только другому числу каналов, планируется как задана, с предупреждением\n"
    "  --cyclic              одна страница, которую модуль повторяет сам (по умолчанию)\n"
    "  --streaming           блоки, которые программа передаёт потоком\n"
    "  --modification N      модификация модуля для проверки напряжений: 1 (выходы от -10 до +10 В,\n"
    "                        по умолчанию), 2 или 3 (от -2 до +20 В)\n"
    "  --tenth               все каналы на диапазоне 1/10 (десятая часть этих напряжений)\n";

const char* const usageTail =
    "  --samples ФАЙЛ        записать и выборки в CSV: строка заголовка ch1,ch2,..., затем L строк,\n"
    "                        по строке на номер выборки, по столбцу на канал, в вольтах (до 24 байт\n"
    "                        на канал в строке: поток с L = 48000000 даёт файл около 1 ГБ на канал)\n"
    "  --help                эта справка\n"
    "\n"
    "Код завершения: 0 — план напечатан; 1 — модуль или программа этого не выведут (причина — в\n"
    "стандартном потоке ошибок); 2 — ошибка в командной строке; 4 — файл выборок не записан.\n";

int usageError(const QString& text)
{
    return toolargs::usageError(tool, text);
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

// A JSON string of a text.
QByteArray jsonText(const QString& text)
{
    const QByteArray list = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return list.mid(1, list.size() - 2);
}

QByteArray planJson(const synthesis::Plan& plan, const QList<ChannelSignal>& asked)
{
    QByteArray out;
    out += "{\"rate\":" + number(plan.rate);
    out += ", \"L\":" + QByteArray::number(plan.length);
    out += ", \"blockCount\":" + QByteArray::number(plan.blockCount);
    out += ", \"samplesPerBlock\":" + QByteArray::number(plan.samplesPerBlock);
    out += ", \"transferWords\":" + QByteArray::number(plan.transferWords());
    out += ", \"blockPeriodMs\":" + QByteArray::number(plan.blockPeriodMs);
    out += ", \"channels\":[";
    for (int i = 0; i < plan.channels.size(); ++i) {
        const synthesis::ChannelPlan& c = plan.channels.at(i);
        const ChannelSignal& s = asked.at(i);
        // A line is a level: the planner's period of two samples is no frequency of it.
        const bool line = s.shape == ChannelSignal::Line;
        const QByteArray none = QByteArrayLiteral("null");
        if (i > 0)
            out += ", ";
        out += "{\"shape\":\"" + QByteArray(toolargs::shapeName(s.shape)) + "\"";
        if (s.waveform)
            out += ", \"file\":" + jsonText(s.waveform->fileName())
                   + ", \"points\":" + QByteArray::number(s.waveform->pointCount());
        out += ", \"peak\":" + (line ? none : number(s.amplitude));
        out += ", \"offset\":" + number(s.offset);
        out += ", \"requested\":" + (line ? none : number(c.requested));
        out += ", \"periods\":" + (line ? none : QByteArray::number(c.periods));
        out += ", \"samplesPerPeriod\":" + (line ? none : number(c.samplesPerPeriod));
        out += ", \"frequency\":" + (line ? none : number(c.frequency));
        if (c.phase != 0.0)
            out += ", \"phase\":" + number(c.phase);
        out += "}";
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

// Whether the module gives `rate` samples per second to each of `channels` channels at some DAC
// rate; with channels 0, to any number of channels.
bool moduleGives(double rate, int channels)
{
    for (double dac : {48000.0, 96000.0, 192000.0}) {
        for (int n : {1, 2, 4, 8}) {
            if ((channels == 0 || synthesis::rateShares(channels) == n) && synthesis::outputRateFor(dac, n) == rate)
                return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char* argv[])
{
    double dacRate = 48000.0;
    bool dacRateGiven = false;
    double rate = 0.0;
    bool rateGiven = false;
    int modeOptions = 0;
    bool cyclic = true;
    int modification = 1;
    bool tenth = false;
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
        bool ok = false;
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(usageHead, stdout);
            std::fputs(toolargs::signalHelp, stdout);
            std::fputs(usageTail, stdout);
            return toolargs::exitOk;
        } else if (arg == QLatin1String("--rate") || arg == QLatin1String("--dac-rate")) {
            double* target = arg == QLatin1String("--rate") ? &rate : &dacRate;
            if (value(&text))
                *target = text.trimmed().toDouble(&ok);
            if (!ok || !(*target > 0.0) || !std::isfinite(*target))
                return usageError(QStringLiteral("%1: нужно положительное число выборок в секунду, а не '%2'").arg(arg, text));
            (target == &rate ? rateGiven : dacRateGiven) = true;
        } else if (arg == QLatin1String("--cyclic")) {
            cyclic = true;
            ++modeOptions;
        } else if (arg == QLatin1String("--streaming")) {
            cyclic = false;
            ++modeOptions;
        } else if (arg == QLatin1String("--modification")) {
            if (value(&text))
                modification = text.toInt(&ok);
            if (!ok || modification < 1 || modification > 3)
                return usageError(QStringLiteral("--modification: 1, 2 или 3, а не '%1'").arg(text));
        } else if (arg == QLatin1String("--tenth")) {
            tenth = true;
        } else if (arg == QLatin1String("--signal")) {
            if (!value(&text))
                return usageError(QStringLiteral("--signal: нужно ФОРМА:ЧАСТОТА[:АМПЛИТУДА[:СМЕЩЕНИЕ]][@ФАЗА]"));
            QString error;
            if (!toolargs::addSignal(text, &channels, &error))
                return usageError(error);
        } else if (arg == QLatin1String("--samples")) {
            if (!value(&samplesPath) || samplesPath.isEmpty())
                return usageError(QStringLiteral("--samples: нужно имя файла"));
        } else {
            return usageError(QStringLiteral("неизвестный параметр '%1'").arg(arg));
        }
    }
    if (channels.isEmpty())
        return usageError(QStringLiteral("нужен хотя бы один --signal"));
    if (rateGiven && dacRateGiven)
        return usageError(QStringLiteral("нужно одно из --rate и --dac-rate"));
    if (modeOptions > 1)
        return usageError(QStringLiteral("нужно не больше одного из --cyclic и --streaming"));

    // What the module cannot play is refused before anything is written.
    QString error;
    const int n = channels.size();
    if (rateGiven) {
        if (!moduleGives(rate, 0))
            return toolargs::fail(tool, QStringLiteral("%1 выборок/с на канал модуль не даёт: только 6000, 12000, 24000, 48000, "
                                                       "96000 или 192000 (частота ЦАП, делённая на 1, 2, 4 или 8)")
                                            .arg(QString::number(rate, 'g', 12)),
                                  toolargs::exitRefused);
        if (!moduleGives(rate, n))
            std::fprintf(stderr, "vek72-plan: %s модуль даёт на канал %g, %g или %g выборок/с; план — для %s, как задано\n",
                         qUtf8Printable(toolargs::withChannels(n)), synthesis::outputRateFor(48000, n), synthesis::outputRateFor(96000, n), synthesis::outputRateFor(192000, n),
                         qUtf8Printable(QString::number(rate, 'g', 12)));
    } else {
        if (!toolargs::checkDacRate(dacRate, &error))
            return toolargs::fail(tool, error, toolargs::exitRefused);
        rate = synthesis::outputRateFor(dacRate, n);
    }
    // The file is opened before planning, so that a path that cannot be written stops the tool before
    // it prints anything. It only replaces an existing file once every sample has been written.
    QSaveFile samplesFile(samplesPath);
    if (!samplesPath.isEmpty() && !samplesFile.open(QIODevice::WriteOnly))
        return toolargs::fail(tool, QStringLiteral("не записать %1: %2").arg(samplesPath, samplesFile.errorString()),
                              toolargs::exitFile);

    synthesis::Plan plan;
    QList<ChannelSignal> filled;
    if (!toolargs::planOutput(channels, rate, cyclic, &plan, &error, samplesPath.isEmpty() ? nullptr : &filled)
        || !toolargs::checkRange(channels, modification, tenth, &error, &plan))
        return toolargs::fail(tool, error, toolargs::exitRefused);
    const QByteArray json = planJson(plan, channels);
    std::fwrite(json.constData(), 1, size_t(json.size()), stdout);
    std::fflush(stdout);
    if (!samplesPath.isEmpty() && !writeSamples(&samplesFile, filled, plan.length))
        return toolargs::fail(tool, QStringLiteral("не записать %1: %2").arg(samplesPath, samplesFile.errorString()),
                              toolargs::exitFile);
    return toolargs::exitOk;
}
