// Verification without hardware: scenario files (a round trip keeps everything; a bad file changes
// nothing and names its first bad entry), the default scenario's points for each modification, the
// verdict at the edges of a tolerance, and the protocol as it lands on disk (the CSV a spreadsheet
// with Russian settings opens, UTF-8 file names whatever the program's 8-bit codec).
#include <QtTest>

#include <QTextCodec>

#include <dirent.h>

#include "defaultscenario.h"
#include "report.h"
#include "scenariofile.h"

using namespace verify;

namespace {

ModuleFacts facts(int modification, int channels)
{
    ModuleFacts m;
    m.name = QStringLiteral("VEK72-%1-%2").arg(modification).arg(channels);
    m.modification = modification;
    m.channelCount = channels;
    m.serial = QStringLiteral("72A10419");
    m.dcLow = modification == 1 ? -10 : -2;
    m.dcHigh = modification == 1 ? 10 : 20;
    m.acHigh = 7;
    m.fixedRange = modification == 2;
    return m;
}

// A scenario with something of every kind: nested categories, a custom signal, an absolute
// tolerance, a given expected value, streaming at 48 kHz, a step outside any category.
Scenario everyKind()
{
    Step custom;
    custom.title = QStringLiteral("Пила 2 В");
    custom.channel = 5;
    custom.type = SignalType::Custom;
    custom.shape = 2;
    custom.range = Range::Tenth;
    custom.voltage = 2;
    custom.frequency = 123.456;
    custom.offset = -0.25;
    custom.dacRate = 48000;
    custom.cyclic = false;
    custom.measure = Measure::AcVoltage;
    custom.acFilterHz = 3;
    custom.settleMs = 4000;
    custom.readings = 5;
    custom.tolerance.absolute = true;
    custom.tolerance.limit = 0.0015;
    Step given;
    given.measure = Measure::Frequency;
    given.type = SignalType::Ac;
    given.expectedGiven = true;
    given.expected = 999.5;
    given.tolerance.valuePct = 0.02;
    Scenario s;
    s.title = QStringLiteral("Всё сразу");
    s.module = QStringLiteral("VEK72-1-8");
    s.items = { Node::category(QStringLiteral("Канал 5"), { Node::category(QStringLiteral("Пусто")), Node::ofStep(custom) }),
                Node::ofStep(given) };
    return s;
}

// A record of two steps, as a run leaves it.
RunRecord record()
{
    RunRecord r;
    r.info.module = facts(1, 8);
    r.info.started = QDateTime(QDate(2026, 12, 7), QTime(14, 30, 12));
    r.info.stepCount = 3;
    StepResult dc;
    dc.number = 1;
    dc.step.channel = 3;
    dc.step.voltage = -5;
    dc.expected = -5;
    dc.evaluation = evaluate(-5, 0.0035, -4.99987, false);
    StepResult ac;
    ac.number = 2;
    ac.step.channel = 3;
    ac.step.type = SignalType::Ac;
    ac.step.range = Range::Tenth;
    ac.step.measure = Measure::AcVoltage;
    ac.step.voltage = 0.35;
    ac.expected = 0.35;
    ac.evaluation = evaluate(0.35, 0.00049, 0.3512, false);
    StepResult lost;
    lost.number = 3;
    lost.step.channel = 4;
    lost.step.measure = Measure::Frequency;
    lost.step.type = SignalType::Ac;
    lost.expected = 1000;
    lost.evaluation.limit = 0.2;
    lost.evaluation.verdict = Verdict::Error;
    lost.note = QStringLiteral("мультиметр не ответил");
    r.steps = { dc, ac, lost };
    r.end.reason = QStringLiteral("Потеряна связь с мультиметром");
    r.finished = true;
    return r;
}

// The names in a folder as the bytes on disk.
QList<QByteArray> namesOnDisk(const QString& folder)
{
    QList<QByteArray> names;
    DIR* dir = ::opendir(QFile::encodeName(folder).constData());
    while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
        if (entry->d_name[0] != '.')
            names << QByteArray(entry->d_name);
    }
    if (dir)
        ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

class TestVerifyFiles : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip();
    void badFiles_data();
    void badFiles();
    void defaultPoints_data();
    void defaultPoints();
    void verdictAtTheEdges_data();
    void verdictAtTheEdges();
    void expectedAndMeterSetup_data();
    void expectedAndMeterSetup();
    void protocolOnDisk();
};

void TestVerifyFiles::roundTrip()
{
    QTemporaryDir dir;
    for (const Scenario& original : { everyKind(), defaultScenario(facts(1, 8)), defaultScenario(facts(2, 4)), Scenario() }) {
        Scenario read;
        QString error;
        QVERIFY2(scenariofile::fromJson(scenariofile::toJson(original), &read, &error), qPrintable(error));
        QCOMPARE(read, original);
        // Through a file as well, its text indented and versioned.
        const QString path = dir.filePath(QStringLiteral("сценарий.json"));
        QVERIFY2(scenariofile::save(path, original, &error), qPrintable(error));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(text.contains("\n    \"scenario\": 1,"));
        read = Scenario();
        QVERIFY2(scenariofile::load(path, &read, &error), qPrintable(error));
        QCOMPARE(read, original);
    }
}

void TestVerifyFiles::badFiles_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("error");
    const QByteArray step = R"("channel": 1, "type": "DC", "range": "full", "voltage_V": 1, "measure": "DC", "tolerance": {"value_pct": 0.05})";
    const auto file = [](const QByteArray& items) {
        return QByteArray(R"({"scenario": 1, "items": [)") + items + "]}";
    };
    const auto inCategory = [&](const QByteArray& bad) {
        return file(R"({"category": "Канал 1", "items": [{)" + step + "}, {" + bad + "}]}");
    };
    QTest::newRow("not JSON") << QByteArray("{\"scenario\": 1,") << "это не сценарий: ошибка JSON";
    QTest::newRow("a setup file") << QByteArray(R"({"format": 1, "channels": []})") << "это не сценарий поверки: нет версии формата";
    QTest::newRow("newer format") << QByteArray(R"({"scenario": 2, "program": "9.9", "items": []})")
                                  << "в формате версии 2 более новой программой (9.9)";
    QTest::newRow("no items") << QByteArray(R"({"scenario": 1})") << "\"items\": ожидается список";
    QTest::newRow("item not an object") << file("3") << "элемент 1 списка \"items\": ожидается объект";
    QTest::newRow("range") << inCategory(QByteArray(step).replace("\"full\"", "\"half\""))
                           << "категория «Канал 1» › шаг 2: \"range\": \"half\" — нет такого значения (full, tenth)";
    QTest::newRow("channel") << inCategory(QByteArray(step).replace("\"channel\": 1", "\"channel\": 9"))
                             << "шаг 2: \"channel\": 9 — ожидается целое число от 1 до 8";
    QTest::newRow("voltage missing") << inCategory(QByteArray(step).replace("\"voltage_V\": 1, ", ""))
                                     << "шаг 2: \"voltage_V\": нет значения";
    QTest::newRow("voltage as text") << inCategory(QByteArray(step).replace("\"voltage_V\": 1", "\"voltage_V\": \"1\""))
                                     << "шаг 2: \"voltage_V\": ожидается число";
    QTest::newRow("DAC rate") << inCategory(step + R"(, "dacRate_Hz": 50000)")
                              << "шаг 2: \"dacRate_Hz\": 50000 — нет такого значения (48000, 96000, 192000)";
    QTest::newRow("filter") << inCategory(step + R"(, "acFilter_Hz": 30)") << "\"acFilter_Hz\": 30 — нет такого значения";
    QTest::newRow("readings") << inCategory(step + R"(, "readings": 0)") << "\"readings\": 0 — ожидается целое число от 1 до 100";
    QTest::newRow("expected") << inCategory(step + R"(, "expected": "5 В")") << "\"expected\": ожидается число или \"auto\"";
    QTest::newRow("no tolerance") << inCategory(QByteArray(step).replace(R"(, "tolerance": {"value_pct": 0.05})", ""))
                                  << "шаг 2: \"tolerance\": нет значения";
    QTest::newRow("both tolerances") << inCategory(QByteArray(step).replace(R"("value_pct": 0.05)", R"("value_pct": 0.05, "absolute": 1)"))
                                     << "\"tolerance\", \"absolute\" или \"value_pct\" и \"range_pct\"";
    QTest::newRow("negative tolerance") << inCategory(QByteArray(step).replace("0.05", "-0.05"))
                                        << "\"tolerance\", \"value_pct\": -0.05 — ожидается число от 0 до 100";
    QTest::newRow("titled step") << file(R"({"step": "DC 1 В", )" + QByteArray(step).replace("\"DC\", \"range\"", "\"ЦАП\", \"range\"") + "}")
                                 << "шаг 1 «DC 1 В»: \"type\": \"ЦАП\" — нет такого значения (AC, DC, custom)";
    QTest::newRow("category title") << file(R"({"category": 5, "items": []})") << "\"category\": ожидается текст";
}

void TestVerifyFiles::badFiles()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, error);
    Scenario kept = everyKind();
    QString why;
    QVERIFY(!scenariofile::fromJson(json, &kept, &why));
    QVERIFY2(why.contains(error), qPrintable(why));
    QCOMPARE(kept, everyKind());
}

void TestVerifyFiles::defaultPoints_data()
{
    QTest::addColumn<int>("modification");
    QTest::addColumn<int>("channels");
    QTest::addColumn<QStringList>("ranges");     // the categories under each channel
    QTest::addColumn<QList<double>>("dcFull");   // DC levels of the full range, V
    QTest::addColumn<QList<double>>("dcTenth");
    QTest::addColumn<double>("acOffset");        // V, full range
    QTest::newRow("VEK72-1-8") << 1 << 8 << QStringList{ "Диапазон полный", "Диапазон 1/10" }
                               << QList<double>{ -10, -5, 0, 5, 10 } << QList<double>{ -1, -0.5, 0, 0.5, 1 } << 0.0;
    QTest::newRow("VEK72-1-1") << 1 << 1 << QStringList{ "Диапазон полный", "Диапазон 1/10" }
                               << QList<double>{ -10, -5, 0, 5, 10 } << QList<double>{ -1, -0.5, 0, 0.5, 1 } << 0.0;
    QTest::newRow("VEK72-2-4, full range only") << 2 << 4 << QStringList{ "Диапазон полный" }
                                                << QList<double>{ -2, -1, 0, 10, 20 } << QList<double>() << 9.0;
    QTest::newRow("VEK72-3-8") << 3 << 8 << QStringList{ "Диапазон полный", "Диапазон 1/10" }
                               << QList<double>{ -2, -1, 0, 10, 20 } << QList<double>{ -0.2, -0.1, 0, 1, 2 } << 9.0;
}

void TestVerifyFiles::defaultPoints()
{
    QFETCH(int, modification);
    QFETCH(int, channels);
    QFETCH(QStringList, ranges);
    QFETCH(QList<double>, dcFull);
    QFETCH(QList<double>, dcTenth);
    QFETCH(double, acOffset);
    const Scenario s = defaultScenario(facts(modification, channels));
    QCOMPARE(s.items.size(), channels);
    QCOMPARE(stepCount(s.items), channels * ranges.size() * 15);
    for (int c = 0; c < channels; ++c) {
        const Node& channel = s.items.at(c);
        QCOMPARE(channel.title, QStringLiteral("Канал %1").arg(c + 1));
        QStringList seen;
        for (const Node& range : channel.children) {
            seen << range.title;
            QList<double> dc;
            QList<QPair<double, double>> ac;   // RMS, frequency
            int frequencySteps = 0;
            for (const Node& node : range.children) {
                const Step& step = node.step;
                QVERIFY(node.isStep);
                QCOMPARE(step.channel, c + 1);
                QCOMPARE(step.dacRate, 192000);
                QCOMPARE(step.tolerance, shippedAccuracy().forStep(step));
                if (step.measure == Measure::DcVoltage)
                    dc << step.voltage;
                else if (step.measure == Measure::AcVoltage)
                    ac << qMakePair(step.voltage, step.frequency);
                else
                    frequencySteps += step.frequency == 1000 && step.type == SignalType::Ac ? 1 : 0;
                if (step.type == SignalType::Ac)
                    QCOMPARE(step.offset, step.range == Range::Full ? acOffset : acOffset / 10);
            }
            const double top = range.title.endsWith(QStringLiteral("полный")) ? 7.0 : 0.7;
            QCOMPARE(dc, range.title.endsWith(QStringLiteral("полный")) ? dcFull : dcTenth);
            QList<QPair<double, double>> expectedAc;
            for (double f : { 20.0, 1000.0, 48000.0 })
                for (double level : { 0.1, 0.5, 0.9 })
                    expectedAc << qMakePair(std::round(level * top * 1000) / 1000, f);
            QCOMPARE(ac, expectedAc);
            QCOMPARE(frequencySteps, 1);
        }
        QCOMPARE(seen, ranges);
    }
}

void TestVerifyFiles::verdictAtTheEdges_data()
{
    QTest::addColumn<double>("expected");
    QTest::addColumn<double>("measured");
    QTest::addColumn<bool>("absolute");
    QTest::addColumn<double>("a");        // % of the value, or the absolute limit
    QTest::addColumn<double>("b");        // % of the range
    QTest::addColumn<double>("range");
    QTest::addColumn<bool>("overload");
    QTest::addColumn<double>("limit");
    QTest::addColumn<int>("verdict");
    const int pass = int(Verdict::Pass), fail = int(Verdict::Fail);
    // 5 V on the 10 V range, ±(0.05 % + 0.01 %): ±3.5 mV.
    QTest::newRow("at +limit") << 5.0 << 5.0035 << false << 0.05 << 0.01 << 10.0 << false << 0.0035 << pass;
    QTest::newRow("at -limit") << 5.0 << 4.9965 << false << 0.05 << 0.01 << 10.0 << false << 0.0035 << pass;
    QTest::newRow("a microvolt beyond") << 5.0 << 5.003501 << false << 0.05 << 0.01 << 10.0 << false << 0.0035 << fail;
    QTest::newRow("a microvolt below") << 5.0 << 4.996499 << false << 0.05 << 0.01 << 10.0 << false << 0.0035 << fail;
    // A negative value counts by its size.
    QTest::newRow("negative at limit") << -10.0 << -10.006 << false << 0.05 << 0.01 << 10.0 << false << 0.006 << pass;
    QTest::newRow("negative beyond") << -10.0 << -10.0060011 << false << 0.05 << 0.01 << 10.0 << false << 0.006 << fail;
    // 0 V: only the range's part.
    QTest::newRow("zero at limit") << 0.0 << -0.0001 << false << 0.05 << 0.01 << 1.0 << false << 0.0001 << pass;
    QTest::newRow("zero beyond") << 0.0 << 0.0001001 << false << 0.05 << 0.01 << 1.0 << false << 0.0001 << fail;
    // Absolute: the limit as it stands, whatever the value and range.
    QTest::newRow("absolute at limit") << 1000.0 << 1000.2 << true << 0.2 << 0.0 << 96000.0 << false << 0.2 << pass;
    QTest::newRow("absolute beyond") << 1000.0 << 999.79 << true << 0.2 << 0.0 << 96000.0 << false << 0.2 << fail;
    QTest::newRow("no tolerance, exact") << 2.5 << 2.5 << true << 0.0 << 0.0 << 10.0 << false << 0.0 << pass;
    QTest::newRow("no tolerance, off") << 2.5 << 2.5000001 << true << 0.0 << 0.0 << 10.0 << false << 0.0 << fail;
    // Beyond the meter's range nothing is measured: not good.
    QTest::newRow("overload") << 0.7 << 0.7 << false << 0.1 << 0.02 << 7.0 << true << 0.0021 << fail;
}

void TestVerifyFiles::verdictAtTheEdges()
{
    QFETCH(double, expected);
    QFETCH(double, measured);
    QFETCH(bool, absolute);
    QFETCH(double, a);
    QFETCH(double, b);
    QFETCH(double, range);
    QFETCH(bool, overload);
    QFETCH(double, limit);
    QFETCH(int, verdict);
    Tolerance t;
    t.absolute = absolute;
    (absolute ? t.limit : t.valuePct) = a;
    t.rangePct = absolute ? 0 : b;
    const double computed = toleranceLimit(t, expected, range);
    QVERIFY2(std::abs(computed - limit) < 1e-12, qPrintable(QString::number(computed, 'g', 17)));
    const Evaluation e = evaluate(expected, computed, measured, overload);
    QCOMPARE(int(e.verdict), verdict);
    if (!overload)
        QCOMPARE(e.error, measured - expected);
}

void TestVerifyFiles::expectedAndMeterSetup_data()
{
    QTest::addColumn<int>("type");        // SignalType
    QTest::addColumn<int>("shape");
    QTest::addColumn<int>("measure");     // Measure
    QTest::addColumn<double>("voltage");
    QTest::addColumn<double>("offset");
    QTest::addColumn<double>("expected");
    QTest::addColumn<double>("meterRange");   // what the meter is asked for (it takes the range that holds it)
    const int ac = int(SignalType::Ac), dc = int(SignalType::Dc), custom = int(SignalType::Custom);
    const int mdc = int(Measure::DcVoltage), mac = int(Measure::AcVoltage), mf = int(Measure::Frequency);
    QTest::newRow("DC level") << dc << 0 << mdc << 10.0 << 3.0 << 10.0 << (10.0 + 0.006) / 1.2;
    QTest::newRow("AC RMS") << ac << 0 << mac << 6.3 << 9.0 << 6.3 << (6.3 + 0.0077) / 1.2;
    QTest::newRow("AC's level is its offset") << ac << 0 << mdc << 6.3 << 9.0 << 9.0 << (9.0 + 0.0055) / 1.2;
    QTest::newRow("AC frequency") << ac << 0 << mf << 1.0 << 0.0 << 1000.0 << 0.0;
    QTest::newRow("sine") << custom << 0 << mac << 2.0 << 1.0 << std::sqrt(2.0) << 0.0;
    QTest::newRow("triangle") << custom << 1 << mac << 2.0 << 1.0 << 1 / std::sqrt(3.0) << 0.0;
    QTest::newRow("saw's level") << custom << 2 << mdc << 2.0 << 1.0 << 2.0 << 0.0;
    QTest::newRow("pulse") << custom << 3 << mac << 2.0 << 1.0 << 1.0 << 0.0;
    QTest::newRow("line has no AC") << custom << 4 << mac << 2.0 << 1.0 << 0.0 << 0.0;
}

void TestVerifyFiles::expectedAndMeterSetup()
{
    QFETCH(int, type);
    QFETCH(int, shape);
    QFETCH(int, measure);
    QFETCH(double, voltage);
    QFETCH(double, offset);
    QFETCH(double, expected);
    QFETCH(double, meterRange);
    Step s;
    s.type = SignalType(type);
    s.shape = shape;
    s.measure = Measure(measure);
    s.voltage = voltage;
    s.offset = offset;
    s.frequency = 1000;
    s.channel = 6;
    s.tolerance = shippedAccuracy().forStep(s);
    QVERIFY(std::abs(expectedValue(s) - expected) < 1e-12);
    const instruments::DmmSetup setup = meterSetup(s, expected, toleranceLimit(s.tolerance, expected, rangeValue(facts(1, 8), s)), true);
    if (meterRange > 0)
        QVERIFY2(std::abs(setup.range - meterRange) < 1e-9, qPrintable(QString::number(setup.range, 'g', 12)));
    QCOMPARE(setup.scannerChannel, 6);
    QCOMPARE(setup.function, s.measure == Measure::DcVoltage ? instruments::DmmFunction::DcVoltage
                             : s.measure == Measure::AcVoltage ? instruments::DmmFunction::AcVoltage
                                                               : instruments::DmmFunction::Frequency);
}

void TestVerifyFiles::protocolOnDisk()
{
    // The program's 8-bit codec is Windows-1251: the names still reach the disk as UTF-8.
    QTextCodec* before = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("Windows-1251"));
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("reports"));
    ReportFiles first, second;
    QString error;
    const bool written = writeReport(record(), folder, &first, &error) && writeReport(record(), folder, &second, &error);
    QTextCodec::setCodecForLocale(before);
    QVERIFY2(written, qPrintable(error));

    const QByteArray base = "Протокол VEK72 72A10419 2026-12-07 14-30";
    QCOMPARE(namesOnDisk(folder), (QList<QByteArray>{ base + " (2).csv", base + " (2).html", base + " (2).pdf",
                                                     base + ".csv", base + ".html", base + ".pdf" }));
    QCOMPARE(second.csv, folder + QStringLiteral("/Протокол VEK72 72A10419 2026-12-07 14-30 (2).csv"));

    QFile csv(first.csv);
    QVERIFY(csv.open(QIODevice::ReadOnly));
    QCOMPARE(csv.readAll(), QByteArray("\xEF\xBB\xBF"
                                       "Шаг;Канал;Диапазон;Измерение;Задано;Ожидается;Измерено;Погрешность;Допуск;Результат\r\n"
                                       "1;3;полный;DC, В;DC -5 В;-5;-4,99987;0,00013;0,0035;годен\r\n"
                                       "2;3;1/10;AC, В;AC 0,35 В 1000 Гц;0,35;0,3512;0,0012;0,00049;не годен\r\n"
                                       "3;4;полный;частота, Гц;AC 0 В 1000 Гц;1000;;;0,2;не измерен\r\n"));
    QFile pdf(first.pdf);
    QVERIFY(pdf.open(QIODevice::ReadOnly));
    QVERIFY(pdf.read(5) == "%PDF-");
    QFile html(first.html);
    QVERIFY(html.open(QIODevice::ReadOnly));
    const QString page = QString::fromUtf8(html.readAll());
    for (const char* text : { "Протокол поверки модуля VEK72-1-8 № 72A10419", "Итог: 1 годен / 1 не годен / 1 без результата.",
                              "Потеряна связь с мультиметром", "мультиметр не ответил", "data:image/png;base64," })
        QVERIFY2(page.contains(QString::fromUtf8(text)), text);
}

QTEST_MAIN(TestVerifyFiles)
#include "tst_verify_files.moc"
