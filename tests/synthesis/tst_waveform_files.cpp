// Readers of arbitrary waveforms: CSV files as spreadsheets and other programs write them and WAV
// files of every accepted encoding, written to real files and loaded by path; then every refusal
// with the message the operator gets.

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
    return out + body + (body.size() % 2 ? QByteArray(1, '\0') : QByteArray());  // padded to even
}

// A WAV file of `channels` channels whose first channel holds `first` (fractions of full scale
// for integers, stored as they are for floats) and the others 0.75. tag 0xFFFE writes the
// extensible format around subTag; `before` goes before the format chunk.
QByteArray wav(quint16 tag, int bits, int channels, const QVector<double>& first, quint16 subTag = 1,
               const QByteArray& before = QByteArray(), bool sizeUnknown = false)
{
    const quint16 code = tag == 0xFFFE ? subTag : tag;
    const quint32 rate = 48000;
    QByteArray data;
    for (double x : first) {
        for (int c = 0; c < channels; ++c) {
            const double v = c == 0 ? x : 0.75;
            const float f = float(v);
            quint64 w = 0;
            if (code == 3)
                bits == 32 ? std::memcpy(&w, &f, 4) : std::memcpy(&w, &v, 8);
            else  // 8-bit samples are unsigned
                w = quint64(std::min<qint64>(std::llround(std::ldexp(v, bits - 1)), (qint64(1) << (bits - 1)) - 1)
                            + (bits == 8 ? 128 : 0));
            putLe(data, w, bits / 8);
        }
    }
    QByteArray fmt;
    for (const auto& field : {std::make_pair<quint64, int>(tag, 2), {channels, 2}, {rate, 4},
                              {quint64(rate) * channels * (bits / 8), 4}, {channels * (bits / 8), 2}, {bits, 2}})
        putLe(fmt, field.first, field.second);
    if (tag == 0xFFFE) {
        for (const auto& field : {std::make_pair<quint64, int>(22, 2), {bits, 2}, {3, 4}, {subTag, 2}})
            putLe(fmt, field.first, field.second);
        fmt += QByteArray::fromHex(subTag == 0x99 ? "112233441000800000aa00389b71" : "000000001000800000aa00389b71");
    }
    const QByteArray body = "WAVE" + before + chunk("fmt ", fmt)
                            + (sizeUnknown ? "data\xff\xff\xff\xff" + data : chunk("data", data));
    QByteArray out("RIFF");
    putLe(out, quint32(body.size()), 4);
    return out + body;
}

// A WAV file with its RIFF size and data size written over (-1 leaves one as it is): what a writer
// that lies, or a file cut short, leaves behind.
QByteArray resized(QByteArray bytes, qint64 riffSize, qint64 dataSize)
{
    const auto put = [&bytes](int at, qint64 value) {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = char((value >> (8 * i)) & 0xFF);
    };
    if (riffSize >= 0)
        put(4, riffSize);
    if (dataSize >= 0)
        put(bytes.indexOf("data") + 4, dataSize);
    return bytes;
}

QByteArray cp1251(const QString& text)
{
    return QTextCodec::codecForName("Windows-1251")->fromUnicode(text);
}

const QVector<double> wavValues{0, 0.5, -1, 0.25, -0.125};

} // namespace

class TestWaveformFiles : public QObject
{
    Q_OBJECT

private slots:
    void filesLoad_data();
    void filesLoad();
    void refusals_data();
    void refusals();
    void limits();

private:
    QString write(const QString& name, const QByteArray& bytes);
    QTemporaryDir dir;
};

QString TestWaveformFiles::write(const QString& name, const QByteArray& bytes)
{
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return QString();
    return file.fileName();
}

void TestWaveformFiles::filesLoad_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QVector<double>>("values");  // as in the file, before normalisation

    // A spreadsheet saved with Russian regional settings: a title row in Windows-1251, ";" between
    // the columns, decimal commas, an exponent, empty cells at the end of a row, CR LF.
    QTest::newRow("spreadsheet, Russian settings")
        << "Замер.csv" << cp1251("Время, с;Напряжение, В\r\n0;0,5\r\n0,001;-1,25\r\n0,002;2,5E-1;;\r\n0,003;1\r\n")
        << QVector<double>{0.5, -1.25, 0.25, 1.0};
    QTest::newRow("time,value with header") << "export.csv" << QByteArray("time,value\n0.0,1.5\n0.25,-3\n0.5,+2e0\n")
                                            << QVector<double>{1.5, -3.0, 2.0};
    QTest::newRow("one column, comments") << "column.txt" << QByteArray("\xEF\xBB\xBF# pattern\n\n 1.5 \n  # low:\n-2\n\n.3\n")
                                          << QVector<double>{1.5, -2.0, 0.3};
    // "0,5" is a half, not two columns, also under a title with a comma in it.
    QTest::newRow("one column, decimal commas") << "commas.csv" << cp1251("Напряжение, В\n0,5\n-1,0\n2\n")
                                                << QVector<double>{0.5, -1.0, 2.0};
    QTest::newRow("tabs") << "tabs.tsv" << QByteArray("t\tU\n0\t1,5\n1\t-3\n") << QVector<double>{1.5, -3.0};
    QTest::newRow("quoted cells") << "quoted.csv" << QByteArray("\"0\";\"0,5\"\n\"1\";\"-2\"\n") << QVector<double>{0.5, -2.0};

    for (int bits : {8, 16, 24, 32})  // 16 and 32 bits in stereo
        QTest::addRow("PCM %d", bits) << QString("pcm%1.wav").arg(bits) << wav(1, bits, bits % 16 ? 1 : 2, wavValues) << wavValues;
    QTest::newRow("float 32, mono") << "f32.wav" << wav(3, 32, 1, {0, 0.25, -0.75, 1.5, -2})
                                    << QVector<double>{0, 0.25, -0.75, 1.5, -2};
    QTest::newRow("float 64, stereo") << "f64.wav" << wav(3, 64, 2, {0.1, -0.3, 0.7}) << QVector<double>{0.1, -0.3, 0.7};
    // Extensible, three channels, chunks before the format (one of odd size, padded).
    QTest::newRow("extensible float 32")
        << "extf.wav" << wav(0xFFFE, 32, 3, wavValues, 3, chunk("LIST", "INFOabc") + chunk("junk", "abc")) << wavValues;
    // A writer that never came back to set the data size; a WAV file whose name does not say so.
    QTest::newRow("data size unknown") << "live.wav" << wav(1, 16, 1, wavValues, 1, {}, true) << wavValues;
    QTest::newRow("WAV named .dat") << "signal.dat" << wav(1, 16, 1, wavValues) << wavValues;
}

// The file loads with its values normalised to their peak, its minimum and maximum and its name.
void TestWaveformFiles::filesLoad()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QVector<double>, values);
    QVERIFY(!write(name, bytes).isEmpty());
    const waveformfile::Result r = waveformfile::load(dir.filePath(name));
    QVERIFY2(r.ok() && r.message.isEmpty(), qPrintable(r.message));
    const Waveform& w = *r.waveform;
    QCOMPARE(w.fileName(), name);
    QCOMPARE(w.pointCount(), values.size());
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    QCOMPARE(w.minimum(), *low);
    QCOMPARE(w.maximum(), *high);
    const double peak = std::max(-*low, *high);
    for (int i = 0; i < values.size(); ++i)
        QVERIFY2(std::abs(w.points().at(i) - values.at(i) / peak) < 1e-15, qPrintable(QString::number(i)));
}

void TestWaveformFiles::refusals_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");  // not written when null
    QTest::addColumn<QString>("message");

    const QString noPoint = "В файле \"%1\" нет ни одной точки сигнала", notNumber = "Файл \"%1\", строка %2: \"%3\" не является числом",
                  notFinite = "Файл \"%1\", %2: значение не является конечным числом (NaN или бесконечность)",
                  zeros = "Все точки в файле \"%1\" равны нулю", damaged = "Файл \"%1\" повреждён или не является файлом WAV",
                  unsupported = "Файл \"%1\": кодировка WAV не поддерживается (%2); поддерживаются целые PCM 8, 16, 24 "
                                "и 32 бит и числа с плавающей точкой 32 бит";
    QTest::newRow("missing") << "missing.csv" << QByteArray() << "Не удалось прочитать файл \"missing.csv\"";
    QTest::newRow("empty") << "empty.csv" << QByteArray("") << noPoint.arg("empty.csv");
    QTest::newRow("header and comments only") << "header.csv" << QByteArray("time;value\n# none\n\n") << noPoint.arg("header.csv");
    QTest::newRow("one point") << "one.csv" << QByteArray("x\n2,5\n")
                               << "В файле \"one.csv\" только одна точка, а период задаётся не менее чем двумя";
    QTest::newRow("not a number") << "typo.csv" << QByteArray("0;1\n1;2\n\n2;3,4,5\n") << notNumber.arg("typo.csv").arg(4).arg("3,4,5");
    QTest::newRow("a word in Windows-1251") << "word.csv" << cp1251("1,5\n2,5\nошибка\n") << notNumber.arg("word.csv").arg(3).arg("ошибка");
    // A spreadsheet's error cell is no comment, and an empty value cell does not leave the time.
    QTest::newRow("error cell") << "div.csv" << QByteArray("0;1\n1;#DIV/0!\n") << notNumber.arg("div.csv").arg(2).arg("#DIV/0!");
    QTest::newRow("empty value cell") << "gap.csv" << QByteArray("0;1\n1;\n2;3\n") << notNumber.arg("gap.csv").arg(2).arg("");
    QTest::newRow("three columns") << "three.csv" << QByteArray("0;1;2\n")
                                   << "Файл \"three.csv\", строка 1: ожидается одно значение или два (время и значение)";
    QTest::newRow("NaN") << "nan.csv" << QByteArray("1\n2\nNaN\n") << notFinite.arg("nan.csv", "строка 3");
    QTest::newRow("beyond doubles") << "huge.csv" << QByteArray("1\n1e999\n") << notFinite.arg("huge.csv", "строка 2");
    QTest::newRow("all zeros") << "zeros.csv" << QByteArray("0\n0,0\n-0\n") << zeros.arg("zeros.csv");
    QTest::newRow("a line too long") << "long.csv" << QByteArray(5000, '1')
                                     << notNumber.arg("long.csv").arg(1).arg(QString(40, '1') + "…");

    QTest::newRow("WAV, not RIFF") << "text.wav" << QByteArray("1\n2\n") << damaged.arg("text.wav");
    QTest::newRow("WAV without data") << "nodata.wav" << resized(wav(1, 16, 1, {1, 2}).left(36), 28, -1) << damaged.arg("nodata.wav");
    // Headers that promise what the file does not hold: one message naming what is wrong.
    const QString lying = "Файл \"%1\" повреждён: %2";
    const QByteArray twoKilobytes = wav(1, 16, 1, QVector<double>(1000, 0.5));
    QTest::newRow("WAV, 10 MB of data promised in 2 KB")
        << "liar.wav" << resized(twoKilobytes, -1, 10000000)
        << lying.arg("liar.wav", "по заголовку в нём 10000000 байт отсчётов, а в файле их только 2000");
    QTest::newRow("WAV, RIFF and data both promising 10 MB")
        << "liar2.wav" << resized(twoKilobytes, 10000036, 10000000)
        << lying.arg("liar2.wav", "по заголовку в нём 10000044 байт, а на деле 2044");
    QTest::newRow("WAV cut short") << "cut.wav" << twoKilobytes.left(1500)
                                   << lying.arg("cut.wav", "по заголовку в нём 2044 байт, а на деле 1500");
    QTest::newRow("WAV data not whole frames")
        << "frames.wav" << resized(wav(1, 16, 2, {0.5, 0.25, 1}), -1, 11)
        << lying.arg("frames.wav", "11 байт отсчётов — не целое число кадров по 4 байт");
    QTest::newRow("WAV without frames") << "silent.wav" << wav(1, 16, 1, {}) << noPoint.arg("silent.wav");
    QTest::newRow("WAV, silence") << "zero.wav" << wav(1, 16, 1, {0, 0, 0}) << zeros.arg("zero.wav");
    QTest::newRow("WAV, NaN") << "nan.wav" << wav(3, 32, 1, {0.5, std::nan(""), 1}) << notFinite.arg("nan.wav", "точка 2");
    QTest::newRow("WAV, A-law") << "alaw.wav" << wav(6, 8, 1, {0.5, 1}) << unsupported.arg("alaw.wav", "формат 0x0006");
    QTest::newRow("WAV, 12-bit PCM") << "pcm12.wav" << wav(1, 12, 1, {}) << unsupported.arg("pcm12.wav", "PCM 12 бит");
    QTest::newRow("WAV, 16-bit floats") << "half.wav" << wav(3, 16, 1, {})
                                        << unsupported.arg("half.wav", "с плавающей точкой 16 бит");
    QTest::newRow("WAV, foreign sub-format") << "guid.wav" << wav(0xFFFE, 16, 1, {0.5, 1}, 0x99)
                                             << unsupported.arg("guid.wav", "нестандартный подформат");
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
    // 1048576 points load and one more is refused, in either format (the WAV by its size alone).
    const int most = Waveform::maxPoints;
    QByteArray csv;
    for (int i = 0; i < most; ++i)
        csv += i % 2 ? "1\n" : "-1\n";
    const QVector<double> many(most, 0.5);
    const struct
    {
        QString name;
        QByteArray bytes;
        int points;
    } files[] = {{"most.csv", csv, most}, {"more.csv", csv + "1\n", 0},
                 {"most.wav", wav(1, 8, 1, many), most}, {"more.wav", wav(1, 8, 1, many + QVector<double>{1}), 0}};
    for (const auto& f : files) {
        QVERIFY(!write(f.name, f.bytes).isEmpty());
        const waveformfile::Result r = waveformfile::load(dir.filePath(f.name));
        QCOMPARE(r.ok() ? r.waveform->pointCount() : 0, f.points);
        QCOMPARE(r.message, f.points ? QString() : QString("В файле \"%1\" больше 1048576 точек").arg(f.name));
    }
    // Values in memory (a setup that embeds its waveform) get the same checks.
    QCOMPARE(waveformfile::fromValues({0.0, 0.0}, "setup").message, QStringLiteral("Все точки в файле \"setup\" равны нулю"));
    QCOMPARE(waveformfile::fromValues({1.0, -4.0, 2.0}, "setup").waveform->points(), (QVector<double>{0.25, -1.0, 0.5}));
}

QTEST_APPLESS_MAIN(TestWaveformFiles)
#include "tst_waveform_files.moc"
