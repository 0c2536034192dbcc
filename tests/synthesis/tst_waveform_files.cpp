// Readers of arbitrary waveforms: CSV files as spreadsheets and other programs write them, WAV
// files of every accepted encoding, all written by the test to real files and loaded by path;
// then every refusal with the message the operator gets.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <cmath>
#include <cstring>

#include "waveformfile.h"

namespace {

void putLe(QByteArray& out, quint64 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xFF));
}

QByteArray chunk(const char* id, const QByteArray& body)
{
    QByteArray out(id, 4);
    putLe(out, quint32(body.size()), 4);
    out += body;
    if (body.size() % 2)
        out.append('\0');  // chunks are padded to even sizes
    return out;
}

struct WavSpec
{
    quint16 tag = 1;          // 1 PCM, 3 float, 0xFFFE extensible, others unsupported
    quint16 subTag = 1;       // of the extensible format
    quint16 channels = 1;
    quint32 rate = 48000;
    quint16 bits = 16;
    bool standardGuid = true;
    QByteArray before;        // chunks before "fmt "
    bool unknownDataSize = false;
};

QByteArray formatChunk(const WavSpec& s)
{
    QByteArray fmt;
    putLe(fmt, s.tag, 2);
    putLe(fmt, s.channels, 2);
    putLe(fmt, s.rate, 4);
    putLe(fmt, quint64(s.rate) * s.channels * (s.bits / 8), 4);
    putLe(fmt, s.channels * (s.bits / 8), 2);
    putLe(fmt, s.bits, 2);
    if (s.tag == 0xFFFE) {
        putLe(fmt, 22, 2);
        putLe(fmt, s.bits, 2);  // valid bits
        putLe(fmt, s.channels == 1 ? 4 : 3, 4);
        putLe(fmt, s.subTag, 2);
        fmt += s.standardGuid ? QByteArray::fromHex("000000001000800000aa00389b71")
                              : QByteArray::fromHex("112233441000800000aa00389b71");
    }
    return chunk("fmt ", fmt);
}

QByteArray wavFile(const WavSpec& s, const QByteArray& data)
{
    QByteArray body = "WAVE" + s.before + formatChunk(s);
    if (s.unknownDataSize) {
        body += "data";
        putLe(body, 0xFFFFFFFFu, 4);
        body += data;
    } else {
        body += chunk("data", data);
    }
    QByteArray out("RIFF");
    putLe(out, quint32(body.size()), 4);
    return out + body;
}

// Frames of integer samples, every channel after the first holding other (larger) values, so
// that reading the wrong channel shows.
QByteArray intFrames(const QVector<qint64>& first, int channels, int bits)
{
    QByteArray out;
    const int bytes = bits / 8;
    for (int g = 0; g < first.size(); ++g) {
        for (int c = 0; c < channels; ++c) {
            qint64 v = c == 0 ? first.at(g) : (g % 2 ? 1 : -1) * ((qint64(1) << (bits - 1)) - 1 - c);
            if (bits == 8)
                v += 128;  // 8-bit samples are unsigned
            putLe(out, quint64(v), bytes);
        }
    }
    return out;
}

QByteArray floatFrames(const QVector<double>& first, int channels, int bits)
{
    QByteArray out;
    for (int g = 0; g < first.size(); ++g) {
        for (int c = 0; c < channels; ++c) {
            const double v = c == 0 ? first.at(g) : 100.0 + g;
            if (bits == 32) {
                const float f = float(v);
                quint32 w;
                std::memcpy(&w, &f, 4);
                putLe(out, w, 4);
            } else {
                quint64 w;
                std::memcpy(&w, &v, 8);
                putLe(out, w, 8);
            }
        }
    }
    return out;
}

QByteArray cp1251(const QString& text)
{
    return QTextCodec::codecForName("Windows-1251")->fromUnicode(text);
}

} // namespace

class TestWaveformFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void filesLoad_data();
    void filesLoad();
    void refusals_data();
    void refusals();
    void limits();

private:
    static void addCsvRows();
    static void addWavRows();
    QString write(const QString& name, const QByteArray& bytes);
    void verifyLoaded(const QString& name, const QVector<double>& values);

    QTemporaryDir dir;
};

void TestWaveformFiles::initTestCase()
{
    QVERIFY(dir.isValid());
}

QString TestWaveformFiles::write(const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

// The file loads with the values given (before normalisation): normalised to their peak, with
// their minimum and maximum and the file's name.
void TestWaveformFiles::verifyLoaded(const QString& name, const QVector<double>& values)
{
    const waveformfile::Result r = waveformfile::load(dir.filePath(name));
    QVERIFY2(r.ok(), qPrintable(r.message));
    QVERIFY(r.message.isEmpty());
    const Waveform& w = *r.waveform;
    QCOMPARE(w.fileName(), name);
    QCOMPARE(w.pointCount(), values.size());
    double peak = 0, lo = values.first(), hi = values.first();
    for (double v : values) {
        peak = std::max(peak, std::abs(v));
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    QCOMPARE(w.minimum(), lo);
    QCOMPARE(w.maximum(), hi);
    QCOMPARE(w.peak(), peak);
    for (int i = 0; i < values.size(); ++i) {
        QVERIFY2(std::abs(w.points().at(i) - values.at(i) / peak) < 1e-15,
                 qPrintable(QString("point %1: %2, expected %3").arg(i).arg(w.points().at(i)).arg(values.at(i) / peak)));
    }
}

void TestWaveformFiles::filesLoad_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QVector<double>>("values");  // before normalisation; of WAV files in fractions of full scale
    addCsvRows();
    addWavRows();
}

void TestWaveformFiles::filesLoad()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QVector<double>, values);
    QVERIFY(!write(name, bytes).isEmpty());
    verifyLoaded(name, values);
}

void TestWaveformFiles::addCsvRows()
{
    // A spreadsheet saved with Russian regional settings: a title row in Windows-1251, ";" between
    // the columns, decimal commas, an exponent, an empty cell at the end of a row, CR LF.
    QTest::newRow("spreadsheet, Russian settings")
        << "Замер.csv"
        << cp1251("Время, с;Напряжение, В\r\n0;0,5\r\n0,001;-1,25\r\n0,002;2,5E-1;;\r\n0,003;1\r\n")
        << QVector<double>{0.5, -1.25, 0.25, 1.0};
    // Another program's export: two columns with a header, "," between them, decimal points.
    QTest::newRow("time,value with header")
        << "export.csv" << QByteArray("time,value\n0.0,1.5\n0.25,-3\n0.5,0.75\n0.75,+2e0\n")
        << QVector<double>{1.5, -3.0, 0.75, 2.0};
    // One column in UTF-8 with a byte order mark, comments, blank lines and spaces.
    QTest::newRow("one column, comments")
        << "column.txt" << QByteArray("\xEF\xBB\xBF# generator test pattern\n\n 1.5 \n  # the low point:\n-2\n\n.3\n# end\n")
        << QVector<double>{1.5, -2.0, 0.3};
    // One column of decimal commas without a title: "0,5" is a half, not two columns.
    QTest::newRow("one column, decimal commas")
        << "commas.csv" << QByteArray("0,5\n-1,0\n0,25\n-0,125\n2\n") << QVector<double>{0.5, -1.0, 0.25, -0.125, 2.0};
    // One column of decimal commas under a title with a comma in it.
    QTest::newRow("one column, titled") << "titled.csv" << cp1251("Напряжение, В\r\n0,5\r\n-1,25\r\n")
                                        << QVector<double>{0.5, -1.25};
    // Whole numbers in two columns under names separated by ",".
    QTest::newRow("index,code") << "codes.csv" << QByteArray("index,code\n0,512\n1,-300\n2,7\n")
                                << QVector<double>{512, -300, 7};
    // Tab-separated, decimal commas, a header in UTF-8.
    QTest::newRow("tabs") << "tabs.tsv" << QString("t\tU\n0\t1,5\n1\t-3\n2\t0\n").toUtf8()
                          << QVector<double>{1.5, -3.0, 0.0};
    // Whole numbers between commas, told apart from decimal commas by the lines with points.
    QTest::newRow("comma separated, mixed") << "mixed.csv" << QByteArray("1,2\n2,3.5\n3,-4\n")
                                            << QVector<double>{2.0, 3.5, -4.0};
    // Two points, the least a period can have; tiny values are scaled up like any other.
    QTest::newRow("two points") << "two.csv" << QByteArray("1e-300\n-3e-300\n") << QVector<double>{1e-300, -3e-300};
    // Every cell in double quotes, the first row data.
    QTest::newRow("quoted cells") << "quoted.csv" << QByteArray("\"0\";\"0,5\"\n\"1\";\"-2\"\n")
                                  << QVector<double>{0.5, -2.0};
}

void TestWaveformFiles::addWavRows()
{
    WavSpec s;
    s.bits = 8;
    s.rate = 8000;
    QTest::newRow("PCM 8, mono, 8 kHz") << "u8.wav" << wavFile(s, intFrames({0, 127, -128, -64, 72}, 1, 8))
                                        << QVector<double>{0, 127 / 128.0, -1, -0.5, 72 / 128.0};
    s = WavSpec();
    s.channels = 2;
    s.rate = 44100;
    QTest::newRow("PCM 16, stereo, 44.1 kHz")
        << "s16.wav" << wavFile(s, intFrames({0, 16384, -32768, 32767, -1}, 2, 16))
        << QVector<double>{0, 0.5, -1, 32767 / 32768.0, -1 / 32768.0};
    s = WavSpec();
    s.bits = 24;
    s.rate = 96000;
    QTest::newRow("PCM 24, mono, 96 kHz")
        << "s24.wav" << wavFile(s, intFrames({0, 8388607, -8388608, 4194304, -1}, 1, 24))
        << QVector<double>{0, 8388607 / 8388608.0, -1, 0.5, -1 / 8388608.0};
    s = WavSpec();
    s.bits = 32;
    s.channels = 2;
    s.rate = 192000;
    QTest::newRow("PCM 32, stereo, 192 kHz")
        << "s32.wav" << wavFile(s, intFrames({0, 2147483647, -2147483647 - 1, 1073741824, 5}, 2, 32))
        << QVector<double>{0, 2147483647 / 2147483648.0, -1, 0.5, 5 / 2147483648.0};
    s = WavSpec();
    s.tag = 3;
    s.bits = 32;
    QTest::newRow("float 32, mono") << "f32.wav" << wavFile(s, floatFrames({0, 0.25, -0.75, 1.5, -2}, 1, 32))
                                    << QVector<double>{0, 0.25, -0.75, 1.5, -2};
    s.bits = 64;
    s.channels = 2;
    QTest::newRow("float 64, stereo") << "f64.wav" << wavFile(s, floatFrames({0.1, -0.3, 0.7}, 2, 64))
                                      << QVector<double>{0.1, -0.3, 0.7};
    // The extensible format, with chunks before the format (one of odd size, padded) and three
    // channels.
    s = WavSpec();
    s.tag = 0xFFFE;
    s.subTag = 1;
    s.bits = 24;
    s.channels = 3;
    s.rate = 22050;
    s.before = chunk("LIST", QByteArray("INFOISFT\x05\0\0\0test\0", 17)) + chunk("junk", "abc");
    QTest::newRow("extensible PCM 24, three channels")
        << "ext24.wav" << wavFile(s, intFrames({-8388608, 0, 2097152, 8388607}, 3, 24))
        << QVector<double>{-1, 0, 0.25, 8388607 / 8388608.0};
    s = WavSpec();
    s.tag = 0xFFFE;
    s.subTag = 3;
    s.bits = 32;
    s.channels = 2;
    QTest::newRow("extensible float 32, stereo")
        << "extf.wav" << wavFile(s, floatFrames({0.5, -0.125, 0.25}, 2, 32)) << QVector<double>{0.5, -0.125, 0.25};
    // A writer that never came back to set the data size: the frames in the file count.
    s = WavSpec();
    s.unknownDataSize = true;
    QTest::newRow("data size unknown") << "live.wav" << wavFile(s, intFrames({100, -200, 300}, 1, 16))
                                       << QVector<double>{100 / 32768.0, -200 / 32768.0, 300 / 32768.0};
    // A WAV file whose name does not say so.
    s = WavSpec();
    QTest::newRow("WAV named .dat") << "signal.dat" << wavFile(s, intFrames({1, 2, -4}, 1, 16))
                                    << QVector<double>{1 / 32768.0, 2 / 32768.0, -4 / 32768.0};
}

void TestWaveformFiles::refusals_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");  // not written when null
    QTest::addColumn<QString>("message");

    QTest::newRow("missing") << "missing.csv" << QByteArray()
                             << "Не удалось прочитать файл \"missing.csv\"";
    QTest::newRow("empty") << "empty.csv" << QByteArray("") << "В файле \"empty.csv\" нет ни одной точки сигнала";
    QTest::newRow("header and comments only")
        << "header.csv" << QByteArray("time;value\n# nothing yet\n\n")
        << "В файле \"header.csv\" нет ни одной точки сигнала";
    QTest::newRow("one point") << "one.csv" << QByteArray("x\n2,5\n")
                               << "В файле \"one.csv\" только одна точка, а период задаётся не менее чем двумя";
    QTest::newRow("not a number") << "typo.csv" << QByteArray("0;1\n1;2\n\n2;3,4,5\n")
                                  << "Файл \"typo.csv\", строка 4: \"3,4,5\" не является числом";
    QTest::newRow("not a number, Windows-1251")
        << "word.csv" << cp1251("1,5\n2,5\nошибка\n") << "Файл \"word.csv\", строка 3: \"ошибка\" не является числом";
    QTest::newRow("a spreadsheet's error cell")
        << "div.csv" << QByteArray("0;1\n1;#DIV/0!\n")
        << "Файл \"div.csv\", строка 2: \"#DIV/0!\" не является числом";
    // An empty value cell is not the time read as the value.
    QTest::newRow("an empty value cell") << "gap.csv" << QByteArray("0;1\n1;\n2;3\n")
                                         << "Файл \"gap.csv\", строка 2: \"\" не является числом";
    QTest::newRow("three columns") << "three.csv" << QByteArray("0;1;2\n")
                                   << "Файл \"three.csv\", строка 1: ожидается одно значение или два (время и значение)";
    QTest::newRow("NaN") << "nan.csv" << QByteArray("1\n2\nNaN\n")
                         << "Файл \"nan.csv\", строка 3: значение не является конечным числом (NaN или бесконечность)";
    QTest::newRow("infinity") << "inf.csv" << QByteArray("1;-inf\n")
                              << "Файл \"inf.csv\", строка 1: значение не является конечным числом (NaN или бесконечность)";
    QTest::newRow("beyond doubles") << "huge.csv" << QByteArray("1\n1e999\n")
                                    << "Файл \"huge.csv\", строка 2: значение не является конечным числом (NaN или бесконечность)";
    QTest::newRow("all zeros") << "zeros.csv" << QByteArray("0\n0,0\n-0\n")
                               << "Все точки в файле \"zeros.csv\" равны нулю";
    QTest::newRow("a line too long") << "long.csv" << QByteArray(5000, '1')
                                     << "Файл \"long.csv\", строка 1: \"1111111111111111111111111111111111111111…\" не является числом";

    WavSpec s;
    QTest::newRow("WAV, not RIFF") << "text.wav" << QByteArray("1\n2\n3\n")
                                   << "Файл \"text.wav\" повреждён или не является файлом WAV";
    QByteArray noData = wavFile(s, intFrames({1, 2}, 1, 16));
    noData.truncate(12 + 8 + 16);  // RIFF header and format, no data chunk
    QTest::newRow("WAV without data") << "nodata.wav" << noData
                                      << "Файл \"nodata.wav\" повреждён или не является файлом WAV";
    QTest::newRow("WAV without frames") << "silent.wav" << wavFile(s, QByteArray())
                                        << "В файле \"silent.wav\" нет ни одной точки сигнала";
    QTest::newRow("WAV, one frame") << "single.wav" << wavFile(s, intFrames({7}, 1, 16))
                                    << "В файле \"single.wav\" только одна точка, а период задаётся не менее чем двумя";
    QTest::newRow("WAV, silence") << "zero.wav" << wavFile(s, intFrames({0, 0, 0}, 1, 16))
                                  << "Все точки в файле \"zero.wav\" равны нулю";
    s.tag = 3;
    s.bits = 32;
    QTest::newRow("WAV, NaN") << "nan.wav" << wavFile(s, floatFrames({0.5, std::nan(""), 1}, 1, 32))
                              << "Файл \"nan.wav\", точка 2: значение не является конечным числом (NaN или бесконечность)";
    const QString supported = "; поддерживаются целые PCM 8, 16, 24 и 32 бит и числа с плавающей точкой 32 бит";
    s = WavSpec();
    s.tag = 6;  // A-law
    s.bits = 8;
    QTest::newRow("WAV, A-law") << "alaw.wav" << wavFile(s, QByteArray("\x55\xd5\x55", 3))
                                << "Файл \"alaw.wav\": кодировка WAV не поддерживается (формат 0x0006)" + supported;
    s.tag = 2;  // ADPCM
    s.bits = 4;
    QTest::newRow("WAV, ADPCM") << "adpcm.wav" << wavFile(s, QByteArray(8, '\0'))
                                << "Файл \"adpcm.wav\": кодировка WAV не поддерживается (формат 0x0002)" + supported;
    s.tag = 3;
    s.bits = 16;
    QTest::newRow("WAV, 16-bit floats") << "half.wav" << wavFile(s, QByteArray(8, '\0'))
                                        << "Файл \"half.wav\": кодировка WAV не поддерживается (с плавающей точкой 16 бит)" + supported;
    s = WavSpec();
    s.tag = 0xFFFE;
    s.standardGuid = false;
    QTest::newRow("WAV, foreign sub-format")
        << "guid.wav" << wavFile(s, intFrames({1, 2}, 1, 16))
        << "Файл \"guid.wav\": кодировка WAV не поддерживается (нестандартный подформат)" + supported;
}

void TestWaveformFiles::refusals()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, message);
    const QString path = bytes.isNull() ? dir.filePath(name) : write(name, bytes);
    QVERIFY(!path.isEmpty());
    const waveformfile::Result r = waveformfile::load(path);
    QVERIFY(!r.ok());
    QCOMPARE(r.message, message);
}

void TestWaveformFiles::limits()
{
    // 1048576 points load, one more is refused, in either format. The WAV is refused by its size
    // alone.
    const int most = Waveform::maxPoints;
    QByteArray csv;
    csv.reserve(most * 3 + 8);
    for (int i = 0; i < most; ++i)
        csv += i % 2 ? "1\n" : "-1\n";
    QVERIFY(!write("most.csv", csv).isEmpty());
    waveformfile::Result r = waveformfile::load(dir.filePath("most.csv"));
    QVERIFY2(r.ok(), qPrintable(r.message));
    QCOMPARE(r.waveform->pointCount(), most);
    QVERIFY(!write("more.csv", csv + "1\n").isEmpty());
    r = waveformfile::load(dir.filePath("more.csv"));
    QVERIFY(!r.ok());
    QCOMPARE(r.message, QStringLiteral("В файле \"more.csv\" больше 1048576 точек"));

    WavSpec s;
    s.bits = 8;
    QVERIFY(!write("most.wav", wavFile(s, QByteArray(most, char(200)))).isEmpty());
    r = waveformfile::load(dir.filePath("most.wav"));
    QVERIFY2(r.ok(), qPrintable(r.message));
    QCOMPARE(r.waveform->pointCount(), most);
    QVERIFY(!write("more.wav", wavFile(s, QByteArray(most + 1, char(200)))).isEmpty());
    r = waveformfile::load(dir.filePath("more.wav"));
    QVERIFY(!r.ok());
    QCOMPARE(r.message, QStringLiteral("В файле \"more.wav\" больше 1048576 точек"));

    // Values in memory (a setup that embeds its waveform) get the same checks.
    r = waveformfile::fromValues({0.0, 0.0}, "setup");
    QCOMPARE(r.message, QStringLiteral("Все точки в файле \"setup\" равны нулю"));
    r = waveformfile::fromValues({1.0, -4.0, 2.0}, "setup");
    QVERIFY(r.ok());
    QCOMPARE(r.waveform->points(), (QVector<double>{0.25, -1.0, 0.5}));
}

QTEST_APPLESS_MAIN(TestWaveformFiles)
#include "tst_waveform_files.moc"
