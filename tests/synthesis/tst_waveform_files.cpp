// Readers of arbitrary waveforms: CSV files as spreadsheets and other programs write them and WAV
// files of every accepted encoding, written by the test to real files and loaded by path; then
// every refusal with the message the operator gets.

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
               const QByteArray& before = QByteArray(), bool sizeUnknown = false, quint32 rate = 48000)
{
    const quint16 code = tag == 0xFFFE ? subTag : tag;
    QByteArray data;
    for (double x : first) {
        for (int c = 0; c < channels; ++c) {
            const double v = c == 0 ? x : 0.75;
            if (code == 3 && bits == 32) {
                const float f = float(v);
                quint32 w;
                std::memcpy(&w, &f, 4);
                putLe(data, w, 4);
            } else if (code == 3 && bits == 64) {
                quint64 w;
                std::memcpy(&w, &v, 8);
                putLe(data, w, 8);
            } else {
                const double scale = std::ldexp(1.0, bits - 1);
                const qint64 i = std::min<qint64>(qint64(std::llround(v * scale)), qint64(scale) - 1);
                putLe(data, quint64(bits == 8 ? i + 128 : i), bits / 8);  // 8-bit samples are unsigned
            }
        }
    }
    QByteArray fmt;
    putLe(fmt, tag, 2);
    putLe(fmt, channels, 2);
    putLe(fmt, rate, 4);
    putLe(fmt, quint64(rate) * channels * (bits / 8), 4);
    putLe(fmt, channels * (bits / 8), 2);
    putLe(fmt, bits, 2);
    if (tag == 0xFFFE) {
        putLe(fmt, 22, 2);
        putLe(fmt, bits, 2);
        putLe(fmt, 3, 4);
        putLe(fmt, subTag, 2);
        fmt += QByteArray::fromHex(subTag == 0x99 ? "112233441000800000aa00389b71" : "000000001000800000aa00389b71");
    }
    QByteArray body = "WAVE" + before + chunk("fmt ", fmt);
    if (sizeUnknown)
        body += "data\xff\xff\xff\xff" + data;
    else
        body += chunk("data", data);
    QByteArray out("RIFF");
    putLe(out, quint32(body.size()), 4);
    return out + body;
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
    QTest::newRow("one column, comments") << "column.txt"
                                          << QByteArray("\xEF\xBB\xBF# pattern\n\n 1.5 \n  # low:\n-2\n\n.3\n")
                                          << QVector<double>{1.5, -2.0, 0.3};
    // "0,5" is a half, not two columns, also under a title with a comma in it.
    QTest::newRow("one column, decimal commas") << "commas.csv" << cp1251("Напряжение, В\n0,5\n-1,0\n2\n")
                                                << QVector<double>{0.5, -1.0, 2.0};
    QTest::newRow("index,code") << "codes.csv" << QByteArray("index,code\n0,512\n1,-300\n") << QVector<double>{512, -300};
    QTest::newRow("tabs") << "tabs.tsv" << QByteArray("t\tU\n0\t1,5\n1\t-3\n") << QVector<double>{1.5, -3.0};
    QTest::newRow("quoted cells") << "quoted.csv" << QByteArray("\"0\";\"0,5\"\n\"1\";\"-2\"\n")
                                  << QVector<double>{0.5, -2.0};

    QTest::newRow("PCM 8, mono") << "u8.wav" << wav(1, 8, 1, wavValues, 1, {}, false, 8000) << wavValues;
    QTest::newRow("PCM 16, stereo") << "s16.wav" << wav(1, 16, 2, wavValues, 1, {}, false, 44100) << wavValues;
    QTest::newRow("PCM 24, mono") << "s24.wav" << wav(1, 24, 1, wavValues, 1, {}, false, 96000) << wavValues;
    QTest::newRow("PCM 32, stereo") << "s32.wav" << wav(1, 32, 2, wavValues, 1, {}, false, 192000) << wavValues;
    QTest::newRow("float 32, mono") << "f32.wav" << wav(3, 32, 1, {0, 0.25, -0.75, 1.5, -2})
                                    << QVector<double>{0, 0.25, -0.75, 1.5, -2};
    QTest::newRow("float 64, stereo") << "f64.wav" << wav(3, 64, 2, {0.1, -0.3, 0.7}) << QVector<double>{0.1, -0.3, 0.7};
    // Extensible, three channels, chunks before the format (one of odd size, padded).
    QTest::newRow("extensible PCM 24") << "ext24.wav"
                                       << wav(0xFFFE, 24, 3, wavValues, 1, chunk("LIST", "INFOabc") + chunk("junk", "abc"))
                                       << wavValues;
    QTest::newRow("extensible float 32") << "extf.wav" << wav(0xFFFE, 32, 2, wavValues, 3) << wavValues;
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
    double peak = 0;
    for (double v : values)
        peak = std::max(peak, std::abs(v));
    QCOMPARE(w.minimum(), *std::min_element(values.begin(), values.end()));
    QCOMPARE(w.maximum(), *std::max_element(values.begin(), values.end()));
    for (int i = 0; i < values.size(); ++i)
        QVERIFY2(std::abs(w.points().at(i) - values.at(i) / peak) < 1e-15, qPrintable(QString::number(i)));
}

void TestWaveformFiles::refusals_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");  // not written when null
    QTest::addColumn<QString>("message");

    const QString notFinite = ": значение не является конечным числом (NaN или бесконечность)";
    QTest::newRow("missing") << "missing.csv" << QByteArray() << "Не удалось прочитать файл \"missing.csv\"";
    QTest::newRow("empty") << "empty.csv" << QByteArray("") << "В файле \"empty.csv\" нет ни одной точки сигнала";
    QTest::newRow("header and comments only") << "header.csv" << QByteArray("time;value\n# none\n\n")
                                              << "В файле \"header.csv\" нет ни одной точки сигнала";
    QTest::newRow("one point") << "one.csv" << QByteArray("x\n2,5\n")
                               << "В файле \"one.csv\" только одна точка, а период задаётся не менее чем двумя";
    QTest::newRow("not a number") << "typo.csv" << QByteArray("0;1\n1;2\n\n2;3,4,5\n")
                                  << "Файл \"typo.csv\", строка 4: \"3,4,5\" не является числом";
    QTest::newRow("a word in Windows-1251") << "word.csv" << cp1251("1,5\n2,5\nошибка\n")
                                            << "Файл \"word.csv\", строка 3: \"ошибка\" не является числом";
    // A spreadsheet's error cell is no comment, and an empty value cell does not leave the time.
    QTest::newRow("error cell") << "div.csv" << QByteArray("0;1\n1;#DIV/0!\n")
                                << "Файл \"div.csv\", строка 2: \"#DIV/0!\" не является числом";
    QTest::newRow("empty value cell") << "gap.csv" << QByteArray("0;1\n1;\n2;3\n")
                                      << "Файл \"gap.csv\", строка 2: \"\" не является числом";
    QTest::newRow("three columns") << "three.csv" << QByteArray("0;1;2\n")
                                   << "Файл \"three.csv\", строка 1: ожидается одно значение или два (время и значение)";
    QTest::newRow("NaN") << "nan.csv" << QByteArray("1\n2\nNaN\n") << "Файл \"nan.csv\", строка 3" + notFinite;
    QTest::newRow("beyond doubles") << "huge.csv" << QByteArray("1\n1e999\n") << "Файл \"huge.csv\", строка 2" + notFinite;
    QTest::newRow("all zeros") << "zeros.csv" << QByteArray("0\n0,0\n-0\n") << "Все точки в файле \"zeros.csv\" равны нулю";
    QTest::newRow("a line too long") << "long.csv" << QByteArray(5000, '1')
                                     << "Файл \"long.csv\", строка 1: \"" + QString(40, '1') + "…\" не является числом";

    const QString damaged = "\" повреждён или не является файлом WAV";
    QTest::newRow("WAV, not RIFF") << "text.wav" << QByteArray("1\n2\n") << "Файл \"text.wav" + damaged;
    QTest::newRow("WAV without data") << "nodata.wav" << wav(1, 16, 1, {1, 2}).left(36) << "Файл \"nodata.wav" + damaged;
    QTest::newRow("WAV without frames") << "silent.wav" << wav(1, 16, 1, {})
                                        << "В файле \"silent.wav\" нет ни одной точки сигнала";
    QTest::newRow("WAV, silence") << "zero.wav" << wav(1, 16, 1, {0, 0, 0}) << "Все точки в файле \"zero.wav\" равны нулю";
    QTest::newRow("WAV, NaN") << "nan.wav" << wav(3, 32, 1, {0.5, std::nan(""), 1}) << "Файл \"nan.wav\", точка 2" + notFinite;
    const QString unsupported = "\": кодировка WAV не поддерживается (%1); поддерживаются целые PCM 8, 16, 24 и 32 бит "
                                "и числа с плавающей точкой 32 бит";
    QTest::newRow("WAV, A-law") << "alaw.wav" << wav(6, 8, 1, {0.5, 1})
                                << "Файл \"alaw.wav" + unsupported.arg("формат 0x0006");
    QTest::newRow("WAV, 12-bit PCM") << "pcm12.wav" << wav(1, 12, 1, {})
                                     << "Файл \"pcm12.wav" + unsupported.arg("PCM 12 бит");
    QTest::newRow("WAV, 16-bit floats") << "half.wav" << wav(3, 16, 1, {})
                                        << "Файл \"half.wav" + unsupported.arg("с плавающей точкой 16 бит");
    QTest::newRow("WAV, foreign sub-format") << "guid.wav" << wav(0xFFFE, 16, 1, {0.5, 1}, 0x99)
                                             << "Файл \"guid.wav" + unsupported.arg("нестандартный подформат");
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
