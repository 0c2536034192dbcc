// Readers of arbitrary waveforms: CSV and WAV.

#include "waveformfile.h"

#include <QFile>
#include <QFileInfo>
#include <QTextCodec>

#include <cmath>
#include <cstring>

namespace waveformfile {

namespace {

// Longest line of a CSV file that is read as one (a line of values is some tens of bytes).
constexpr qint64 longestLine = 4096;
// Lines looked at before the separator and the decimal mark are decided.
constexpr int linesToDecideOn = 64;
// Bytes of WAV data read at a time.
constexpr qint64 wavChunkBytes = qint64(1) << 20;

QString quoted(const QString& fileName)
{
    return QStringLiteral("\"%1\"").arg(fileName);
}

QString unreadableText(const QString& f)
{
    return QStringLiteral("Не удалось прочитать файл %1").arg(quoted(f));
}

QString noPointsText(const QString& f)
{
    return QStringLiteral("В файле %1 нет ни одной точки сигнала").arg(quoted(f));
}

QString onePointText(const QString& f)
{
    return QStringLiteral("В файле %1 только одна точка, а период задаётся не менее чем двумя").arg(quoted(f));
}

QString tooManyPointsText(const QString& f)
{
    return QStringLiteral("В файле %1 больше %2 точек").arg(quoted(f)).arg(Waveform::maxPoints);
}

QString allZeroText(const QString& f)
{
    return QStringLiteral("Все точки в файле %1 равны нулю").arg(quoted(f));
}

// where: "строка 12" or "точка 12"
QString notFiniteText(const QString& f, const QString& where)
{
    return QStringLiteral("Файл %1, %2: значение не является конечным числом (NaN или бесконечность)")
        .arg(quoted(f), where);
}

QString notANumberText(const QString& f, int line, const QString& text)
{
    return QStringLiteral("Файл %1, строка %2: \"%3\" не является числом").arg(quoted(f)).arg(line).arg(text);
}

QString columnsText(const QString& f, int line)
{
    return QStringLiteral("Файл %1, строка %2: ожидается одно значение или два (время и значение)")
        .arg(quoted(f))
        .arg(line);
}

QString notWavText(const QString& f)
{
    return QStringLiteral("Файл %1 повреждён или не является файлом WAV").arg(quoted(f));
}

// A header that promises more than the file holds, or sizes that do not fit together.
QString inconsistentWavText(const QString& f, const QString& what)
{
    return QStringLiteral("Файл %1 повреждён: %2").arg(quoted(f), what);
}

QString unsupportedWavText(const QString& f, const QString& encoding)
{
    return QStringLiteral("Файл %1: кодировка WAV не поддерживается (%2); поддерживаются целые PCM 8, 16, 24 "
                          "и 32 бит и числа с плавающей точкой 32 бит")
        .arg(quoted(f), encoding);
}

Result refused(const QString& message)
{
    Result r;
    r.message = message;
    return r;
}

// The waveform of the values, or the message of the problem. `where` names the place of the
// value at an index (for a value that is not finite).
template <typename Where>
Result make(const QVector<double>& values, const QString& f, Where where)
{
    Waveform::Problem problem = Waveform::NoProblem;
    int bad = 0;
    Result r;
    r.waveform = Waveform::create(values, f, &problem, &bad);
    switch (problem) {
    case Waveform::NoProblem: break;
    case Waveform::NoPoints: r.message = noPointsText(f); break;
    case Waveform::OnePoint: r.message = onePointText(f); break;
    case Waveform::TooManyPoints: r.message = tooManyPointsText(f); break;
    case Waveform::AllZero: r.message = allZeroText(f); break;
    case Waveform::NotFinite: r.message = notFiniteText(f, where(bad)); break;
    }
    return r;
}

// ---- CSV

// Text of the file for a message: UTF-8 when it is valid UTF-8, Windows-1251 otherwise; shortened.
QString shown(const QByteArray& bytes)
{
    QTextCodec::ConverterState state;
    QString text = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars > 0) {
        if (QTextCodec* cp1251 = QTextCodec::codecForName("Windows-1251"))
            text = cp1251->toUnicode(bytes);
    }
    if (text.size() > 40)
        text = text.left(40) + QStringLiteral("…");
    return text;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

QByteArray trimmed(const QByteArray& s)
{
    int b = 0, e = s.size();
    while (b < e && isBlank(s.at(b)))
        ++b;
    while (e > b && isBlank(s.at(e - 1)))
        --e;
    return s.mid(b, e - b);
}

// A cell without the double quotes some programs put around every cell.
QByteArray unquoted(const QByteArray& field)
{
    if (field.size() >= 2 && field.startsWith('"') && field.endsWith('"'))
        return trimmed(field.mid(1, field.size() - 2));
    return field;
}

// "nan", "inf", "infinity" with an optional sign, in any case.
bool isNonFiniteWord(const QByteArray& field)
{
    QByteArray w = field.toLower();
    if (w.startsWith('+') || w.startsWith('-'))
        w = w.mid(1);
    return w == "nan" || w == "inf" || w == "infinity";
}

// Could the field be meant as a number (rather than a column title)?
bool looksNumeric(const QByteArray& field)
{
    if (field.isEmpty())
        return true;
    const char c = field.at(0);
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == ',' || isNonFiniteWord(field);
}

enum class Parsed { Number, NotANumber, NotFinite };

// A plain decimal number: sign, digits with one decimal mark ("." or ","), exponent.
Parsed parseNumber(const QByteArray& field, double* value)
{
    if (isNonFiniteWord(field))
        return Parsed::NotFinite;
    QByteArray s = field;
    int i = 0;
    const int n = s.size();
    if (i < n && (s[i] == '+' || s[i] == '-'))
        ++i;
    int digits = 0;
    while (i < n && s[i] >= '0' && s[i] <= '9') {
        ++i;
        ++digits;
    }
    if (i < n && (s[i] == '.' || s[i] == ',')) {
        s[i] = '.';
        ++i;
        while (i < n && s[i] >= '0' && s[i] <= '9') {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return Parsed::NotANumber;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-'))
            ++i;
        int exponentDigits = 0;
        while (i < n && s[i] >= '0' && s[i] <= '9') {
            ++i;
            ++exponentDigits;
        }
        if (exponentDigits == 0)
            return Parsed::NotANumber;
    }
    if (i != n)
        return Parsed::NotANumber;
    bool ok = false;
    const double v = s.toDouble(&ok);  // the C locale, whatever the process's locale is
    if (!std::isfinite(v))
        return Parsed::NotFinite;  // beyond the range of doubles
    *value = ok ? v : 0.0;         // an underflow reads as zero
    return Parsed::Number;
}

// The text before the first character that may separate columns.
QByteArray firstField(const QByteArray& text)
{
    int cut = 0;
    while (cut < text.size() && text.at(cut) != ';' && text.at(cut) != ',' && text.at(cut) != '\t')
        ++cut;
    return unquoted(trimmed(text.left(cut)));
}

struct Line
{
    int number = 0;  // 1-based, in the file
    QByteArray text; // trimmed
};

// How the columns of a file are separated: 0 for a single column (the "," is a decimal mark).
char decideSeparator(const QByteArray& header, const QVector<Line>& first)
{
    auto anyHas = [&first](char c) {
        for (const Line& l : first) {
            if (l.text.contains(c))
                return true;
        }
        return false;
    };
    if (header.contains(';') || anyHas(';'))
        return ';';
    if (header.contains('\t') || anyHas('\t'))
        return '\t';
    // A header "time,value" separates its names by ","; "Напряжение, В" is one title with a
    // comma in it (its column may well hold decimal commas).
    if ((header.contains(',') && !header.contains(", ")) || anyHas('.'))
        return ',';
    for (const Line& l : first) {
        if (l.text.count(',') > 1)
            return ',';
    }
    return 0;
}

class CsvReader
{
public:
    CsvReader(const QString& fileName) : fileName(fileName) {}

    Result read(QIODevice& device)
    {
        QVector<Line> pending;  // lines read before the separator is known
        bool haveSeparator = false;
        bool sawContent = false;
        QByteArray header;
        int number = 0;
        while (!device.atEnd()) {
            QByteArray raw = device.readLine(longestLine + 2);  // at most longestLine + 1 bytes
            if (raw.isEmpty() && !device.atEnd())
                return refused(unreadableText(fileName));
            ++number;
            if (raw.size() > longestLine && !raw.endsWith('\n'))
                return refused(notANumberText(fileName, number, shown(raw.left(64))));
            if (number == 1 && raw.startsWith("\xEF\xBB\xBF"))
                raw = raw.mid(3);
            // Comments are whole lines: a "#" further on may be a spreadsheet's error cell
            // ("#DIV/0!"), which must not vanish.
            Line line{number, trimmed(raw)};
            if (line.text.isEmpty() || line.text.startsWith('#'))
                continue;
            if (!sawContent) {
                sawContent = true;
                // A title line: its first column is no number.
                if (!looksNumeric(firstField(line.text))) {
                    header = line.text;
                    continue;
                }
            }
            if (!haveSeparator) {
                pending.append(line);
                if (pending.size() < linesToDecideOn)
                    continue;
                separator = decideSeparator(header, pending);
                haveSeparator = true;
                for (const Line& l : pending) {
                    if (!take(l))
                        return refused(message);
                }
                pending.clear();
                continue;
            }
            if (!take(line))
                return refused(message);
        }
        if (!haveSeparator) {
            separator = decideSeparator(header, pending);
            for (const Line& l : pending) {
                if (!take(l))
                    return refused(message);
            }
        }
        return make(values, fileName, [](int) { return QString(); });
    }

private:
    bool take(const Line& line)
    {
        QList<QByteArray> fields = separator ? line.text.split(separator) : QList<QByteArray>{line.text};
        // Empty cells after the two columns (a spreadsheet row that ends in separators); an empty
        // value cell stays, and is no number.
        while (fields.size() > 2 && trimmed(fields.last()).isEmpty())
            fields.removeLast();
        if (fields.size() > 2) {
            message = columnsText(fileName, line.number);
            return false;
        }
        double value = 0.0;
        for (const QByteArray& raw : fields) {
            const QByteArray field = unquoted(trimmed(raw));
            switch (parseNumber(field, &value)) {
            case Parsed::Number:
                break;
            case Parsed::NotFinite:
                message = notFiniteText(fileName, QStringLiteral("строка %1").arg(line.number));
                return false;
            case Parsed::NotANumber:
                message = notANumberText(fileName, line.number, shown(field));
                return false;
            }
        }
        if (values.size() >= Waveform::maxPoints) {
            message = tooManyPointsText(fileName);
            return false;
        }
        values.append(value);  // the last column: the value
        return true;
    }

    QString fileName;
    char separator = 0;
    QVector<double> values;
    QString message;
};

} // namespace

Result readCsv(QIODevice& device, const QString& fileName)
{
    return CsvReader(fileName).read(device);
}

namespace {

// ---- WAV

quint32 le32(const char* p)
{
    const uchar* u = reinterpret_cast<const uchar*>(p);
    return quint32(u[0]) | quint32(u[1]) << 8 | quint32(u[2]) << 16 | quint32(u[3]) << 24;
}

quint16 le16(const char* p)
{
    const uchar* u = reinterpret_cast<const uchar*>(p);
    return quint16(u[0] | u[1] << 8);
}

// The size a writer leaves when it does not know it.
constexpr qint64 unknownSize = 0xFFFFFFFF;

constexpr quint16 formatPcm = 1;
constexpr quint16 formatFloat = 3;
constexpr quint16 formatExtensible = 0xFFFE;
// The GUID of the extensible format's sub-format, after its first two bytes (the format code).
const char subformatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, char(0x80), 0x00,
                                0x00, char(0xAA), 0x00, 0x38, char(0x9B), 0x71};

// Skips n bytes of the device: seeks when it can, reads otherwise.
bool skip(QIODevice& device, qint64 n)
{
    if (!device.isSequential())
        return device.seek(device.pos() + n);
    while (n > 0) {
        const QByteArray part = device.read(std::min<qint64>(n, wavChunkBytes));
        if (part.isEmpty())
            return false;
        n -= part.size();
    }
    return true;
}

struct WavFormat
{
    quint16 code = 0;       // PCM or float (the sub-format of the extensible format)
    quint16 channels = 0;
    quint16 blockAlign = 0;
    quint16 bits = 0;       // of the container of one sample
};

// The sample decoders: one sample at p as a fraction of full scale (or the float as stored).
double sample8(const char* p) { return (double(uchar(p[0])) - 128.0) / 128.0; }
double sample16(const char* p) { return double(qint16(le16(p))) / 32768.0; }
double sample24(const char* p)
{
    const uchar* u = reinterpret_cast<const uchar*>(p);
    qint32 v = qint32(u[0]) | qint32(u[1]) << 8 | qint32(u[2]) << 16;
    if (v & 0x800000)
        v -= 0x1000000;
    return double(v) / 8388608.0;
}
double sample32(const char* p) { return double(qint32(le32(p))) / 2147483648.0; }
double sampleFloat(const char* p)
{
    const quint32 bits = le32(p);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return double(f);
}
double sampleDouble(const char* p)
{
    const quint64 bits = quint64(le32(p)) | quint64(le32(p + 4)) << 32;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

class WavReader
{
public:
    WavReader(const QString& fileName) : fileName(fileName) {}

    Result read(QIODevice& device)
    {
        const QByteArray riff = device.read(12);
        if (riff.size() < 12 || !riff.startsWith("RIFF") || riff.mid(8, 4) != "WAVE")
            return refused(notWavText(fileName));
        // A writer that never came back to fill in a size leaves 0xFFFFFFFF; any other size is a
        // promise the file must keep (bytes after the RIFF, such as a tag, do no harm).
        const qint64 riffBytes = le32(riff.constData() + 4);
        if (!device.isSequential() && riffBytes != unknownSize && riffBytes + 8 > device.size())
            return refused(inconsistentWavText(fileName, QStringLiteral("по заголовку в нём %1 байт, а на деле %2")
                                                             .arg(riffBytes + 8).arg(device.size())));
        WavFormat format;
        bool haveFormat = false;
        qint64 dataStart = -1, dataBytes = 0;
        bool dataSizeStated = false;
        for (;;) {
            const QByteArray chunk = device.read(8);
            if (chunk.size() < 8)
                break;
            const QByteArray id = chunk.left(4);
            const qint64 size = le32(chunk.constData() + 4);
            if (id == "fmt ") {
                if (size < 16 || size > 1024)
                    return refused(notWavText(fileName));
                const QByteArray body = device.read(size);
                if (body.size() < size)
                    return refused(notWavText(fileName));
                Result bad;
                if (!parseFormat(body, &format, &bad))
                    return bad;
                haveFormat = true;
                if (size % 2 && !skip(device, 1))
                    break;
            } else if (id == "data") {
                dataStart = device.pos();
                // A data size left unknown (0xFFFFFFFF): what is there counts. A size the file does
                // not have, or one that is no whole number of frames, is a damaged file.
                dataBytes = size;
                dataSizeStated = size != unknownSize;
                if (!device.isSequential() && size == unknownSize)
                    dataBytes = std::min(dataBytes, device.size() - dataStart);
                else if (!device.isSequential() && size > device.size() - dataStart)
                    return refused(inconsistentWavText(fileName, QStringLiteral("по заголовку в нём %1 байт отсчётов, "
                                                                                 "а в файле их только %2")
                                                                     .arg(size).arg(device.size() - dataStart)));
                if (haveFormat || device.isSequential())
                    break;
                if (!skip(device, size + size % 2))
                    break;
            } else if (!skip(device, size + size % 2)) {
                break;
            }
        }
        if (!haveFormat || dataStart < 0)
            return refused(notWavText(fileName));
        if (device.pos() != dataStart && !device.seek(dataStart))
            return refused(unreadableText(fileName));

        if (dataSizeStated && dataBytes % format.blockAlign != 0)
            return refused(inconsistentWavText(fileName, QStringLiteral("%1 байт отсчётов — не целое число кадров по %2 байт")
                                                             .arg(dataBytes).arg(format.blockAlign)));
        const qint64 frames = dataBytes / format.blockAlign;
        if (frames > Waveform::maxPoints)
            return refused(tooManyPointsText(fileName));
        double (*decode)(const char*) = nullptr;
        switch (format.bits) {
        case 8: decode = sample8; break;
        case 16: decode = sample16; break;
        case 24: decode = sample24; break;
        case 32: decode = format.code == formatFloat ? sampleFloat : sample32; break;
        case 64: decode = sampleDouble; break;
        default: return refused(notWavText(fileName));
        }
        QVector<double> values;
        values.reserve(int(frames));
        const qint64 framesPerRead = std::max<qint64>(1, wavChunkBytes / format.blockAlign);
        for (qint64 done = 0; done < frames;) {
            const qint64 count = std::min(framesPerRead, frames - done);
            const QByteArray bytes = device.read(count * format.blockAlign);
            if (bytes.size() < count * format.blockAlign) {
                if (!device.isSequential())
                    return refused(unreadableText(fileName));
                // A stream whose data chunk ends early: the whole frames it had.
                for (qint64 g = 0; g < bytes.size() / format.blockAlign; ++g)
                    values.append(decode(bytes.constData() + g * format.blockAlign));
                break;
            }
            for (qint64 g = 0; g < count; ++g)
                values.append(decode(bytes.constData() + g * format.blockAlign));
            done += count;
        }
        return make(values, fileName, [](int index) { return QStringLiteral("точка %1").arg(index + 1); });
    }

private:
    bool parseFormat(const QByteArray& body, WavFormat* format, Result* bad) const
    {
        const char* p = body.constData();
        quint16 code = le16(p);
        format->channels = le16(p + 2);
        format->blockAlign = le16(p + 12);
        format->bits = le16(p + 14);
        if (code == formatExtensible) {
            if (body.size() < 40 || le16(p + 16) < 22) {
                *bad = refused(notWavText(fileName));
                return false;
            }
            if (std::memcmp(p + 26, subformatTail, sizeof subformatTail) != 0) {
                *bad = refused(unsupportedWavText(fileName, QStringLiteral("нестандартный подформат")));
                return false;
            }
            code = le16(p + 24);
        }
        format->code = code;
        const bool pcm = code == formatPcm && (format->bits == 8 || format->bits == 16 || format->bits == 24
                                                || format->bits == 32);
        const bool floats = code == formatFloat && (format->bits == 32 || format->bits == 64);
        if (!pcm && !floats) {
            QString encoding;
            if (code == formatPcm)
                encoding = QStringLiteral("PCM %1 бит").arg(format->bits);
            else if (code == formatFloat)
                encoding = QStringLiteral("с плавающей точкой %1 бит").arg(format->bits);
            else
                encoding = QStringLiteral("формат 0x%1").arg(code, 4, 16, QLatin1Char('0'));
            *bad = refused(unsupportedWavText(fileName, encoding));
            return false;
        }
        if (format->channels == 0 || format->blockAlign != format->channels * (format->bits / 8)) {
            *bad = refused(notWavText(fileName));
            return false;
        }
        return true;
    }

    QString fileName;
};

} // namespace

Result readWav(QIODevice& device, const QString& fileName)
{
    return WavReader(fileName).read(device);
}

Result fromValues(const QVector<double>& values, const QString& fileName)
{
    return make(values, fileName, [](int index) { return QStringLiteral("точка %1").arg(index + 1); });
}

Result load(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refused(unreadableText(name));
    const QByteArray start = file.peek(12);
    const bool riffWave = start.size() == 12 && start.startsWith("RIFF") && start.mid(8, 4) == "WAVE";
    if (riffWave || name.endsWith(QLatin1String(".wav"), Qt::CaseInsensitive))
        return readWav(file, name);
    return readCsv(file, name);
}

} // namespace waveformfile
