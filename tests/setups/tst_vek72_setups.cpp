// Setups of the module's panels against a crate service simulator: every field of every channel
// (and a spreadsheet's waveform) saved, changed and opened again, widget by widget, for each
// modification; what "Старт" plays the same before saving and after recalling; bad files that change
// nothing; files brought into the module's limits; the voltage limit that refuses a start.
#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <functional>

#include "apptestutil.h"
#include "benchstatus.h"
#include "operatorbench.h"
#include "panelsetup.h"
#include "played.h"
#include "setupfile.h"
#include "setupstore.h"
#include "waveformfile.h"

namespace {

const QByteArray modification3 = R"({"crates": [{"serial": "4B210736", "slots": [
    {"slot": 3, "type": 8995, "modification": 3, "channels": 6, "serial": "72C30001", "firmware": 216}]}]})";

// Everything the operator sees of the panels, widget by widget: what each control shows, whether
// it can be used, and for a control that can be used its items or limits; and the module's eight
// custom signals. Left out: the custom group and the bold channel, which follow the focused
// channel (not part of a setup), and the common value controls while the channels' types differ
// (then they are disabled and show nothing the channels hold).
QMap<QString, QString> panelState(const OperatorBench& bench)
{
    static const QStringList focusBound{ "groupBoxCustom", "comboBoxCustomShape", "spinBoxCustomAmplitude",
                                         "doubleSpinBoxCustomFrequency", "doubleSpinBoxCustomOffset",
                                         "doubleSpinBoxCustomPhase", "pushButtonCustomLoad" };
    static const QStringList commonValues{ "comboBoxRange", "spinBoxVoltage", "doubleSpinBoxFrequency",
                                           "doubleSpinBoxOffset" };
    const bool typesDiffer = bench.commonType()->currentIndex() < 0;
    QMap<QString, QString> state;
    for (QWidget* w : bench.hosts.window.findChildren<QWidget*>()) {
        const QString name = w->objectName();
        if (name.isEmpty() || focusBound.contains(name))
            continue;
        const QString enabled = w->isEnabled() ? "on" : "off";
        if (typesDiffer && commonValues.contains(name)) {
            state[name] = enabled;
        } else if (auto* c = qobject_cast<QComboBox*>(w)) {
            QStringList items;
            for (int i = 0; i < c->count() && c->isEnabled(); ++i)
                items << c->itemText(i);
            state[name] = QString("%1 %2 [%3] %4").arg(c->currentIndex()).arg(c->currentText(), items.join(','), enabled);
        } else if (auto* s = qobject_cast<QAbstractSpinBox*>(w)) {
            state[name] = QString("%1 %2").arg(s->text(), enabled)
                          + (s->isEnabled() ? " " + s->property("minimum").toString() + ".." + s->property("maximum").toString() : "");
        } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
            state[name] = QString("%1 %2").arg(g->isChecked()).arg(enabled);
        } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            state[name] = QString("%1 %2 %3").arg(b->isChecked()).arg(b->text(), enabled);
        }
    }
    state["allChannels"] = QString::number(bench.module->allChannelsBox()->checkState());
    for (int n = 1; n <= 8; ++n) {
        const ChannelSignal& c = bench.module->customSignal(n);
        QStringList points;
        for (double p : c.waveform ? c.waveform->points() : QVector<double>())
            points << QString::number(p, 'g', 17);
        const QString file = c.waveform ? QString("%1 %2..%3").arg(c.waveform->fileName()).arg(c.waveform->minimum())
                                                  .arg(c.waveform->maximum()) : "-";
        state[QString("custom%1").arg(n)] = QString("%1 %2 %3 %4 %5 %6 %7")
            .arg(c.shape).arg(c.amplitude, 0, 'g', 17).arg(c.frequency, 0, 'g', 17).arg(c.offset, 0, 'g', 17)
            .arg(c.phase).arg(file, points.join(','));
    }
    return state;
}

QString differences(const QMap<QString, QString>& expected, const QMap<QString, QString>& actual)
{
    QStringList lines;
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        if (actual.value(it.key()) != it.value())
            lines << QString("%1: %2 -> %3").arg(it.key(), it.value(), actual.value(it.key()));
    }
    return lines.join('\n');
}

// The operator sets every channel differently: each one switched on by a click (which focuses it),
// a type by turns, a range, voltage, frequency and offset, or the custom group for the special type;
// then channel 2 off again, streaming at 96 kHz.
void setEveryChannel(OperatorBench& b, bool custom)
{
    const QStringList types = custom ? QStringList{ "AC", "DC", "Особый" } : QStringList{ "AC", "DC" };
    const QStringList shapes{ "Синус", "Треугольник", "Пила", "Импульс", "Линия" };
    for (int n = 1; n <= b.channelCount; ++n) {
        if (b.channelGroup(n)->isChecked()) {
            b.clickGroup(n);
            b.settle();
        }
        b.clickGroup(n);
        b.settle();
        const QString type = types.at((n - 1) % types.size());
        b.pick(b.channelType(n), type);
        b.settle();
        if (b.channelRange(n)->isEnabled()) {
            b.pick(b.channelRange(n), b.channelRange(n)->itemText(n % 2));
            b.settle();
        }
        if (type == "AC") {
            b.type(b.channelVoltage(n), QString::number(50 * n + 7));
            b.type(b.channelFrequency(n), QString::number(1000 + 111.125 * n));
            b.type(b.channelOffset(n), QString::number(0.125 * n));
        } else if (type == "DC") {
            b.type(b.channelVoltage(n), QString::number(-(100 * n + 3)));
        } else {
            b.pick(b.hosts.combo("comboBoxCustomShape"), shapes.at(n % shapes.size()));
            // Within the one-tenth range of every modification: a setup of what can be played.
            b.type(b.hosts.spin("spinBoxCustomAmplitude"), QString::number(100 + n));
            b.type(b.hosts.dspin("doubleSpinBoxCustomFrequency"), QString::number(500.5 + n));
            b.type(b.hosts.dspin("doubleSpinBoxCustomOffset"), QString::number((10 * n - 7) / 1000.0));
        }
        b.settle();
    }
    b.clickGroup(2);
    b.pick(b.hosts.combo("comboBoxMode"), "Потоковый");
    b.pick(b.hosts.combo("comboBoxDacFreq"), "96 кГц");
    b.settle();
}

// A value other than `was` within [low, high], of the field's step.
double other(double was, double low, double high, double step)
{
    return was + step <= high ? was + step : was - step >= low ? was - step : low;
}

// Every field of every channel of `saved` changed to another value the module takes: each channel
// switched the other way, the next type, the other range (where the module has two), other values;
// every custom signal with the next shape, other values and phase, and another waveform; the other
// mode and another rate. Frequencies stay below the ceiling of every channel on.
setups::PanelSetup everyFieldMoved(const setups::PanelSetup& saved, bool custom)
{
    const ModificationLimits& lim = limitsForModification(saved.modification);
    setups::PanelSetup moved = saved;
    moved.cyclic = !saved.cyclic;
    moved.dacRate = saved.dacRate == 48000 ? 96000 : 48000;
    const QVector<double> points{ 0.0, 1.0, -0.5 };
    for (setups::ChannelSetup& c : moved.channels) {
        c.on = !c.on;
        c.type = c.type == setups::ChannelType::Ac ? setups::ChannelType::Dc
                 : c.type == setups::ChannelType::Dc && custom ? setups::ChannelType::Custom : setups::ChannelType::Ac;
        if (saved.modification != 2)
            c.range = c.range == setups::Range::Full ? setups::Range::Tenth : setups::Range::Full;
        const bool ac = c.type == setups::ChannelType::Ac;
        const double ceiling = setups::voltageCeiling(lim, c.type, c.range);
        c.voltage = other(qBound<double>(ac ? lim.acMin : lim.dcMin, c.voltage, ceiling), ac ? lim.acMin : lim.dcMin, ceiling, 1);
        c.frequency = other(c.frequency, 1, frequencyCeilingFor(8), 0.5);
        c.offset = other(c.offset, lim.offsetMin / 1000.0, lim.offsetMax / 1000.0, 0.125);
        if (!c.hasCustom)
            continue;
        setups::CustomSetup& s = c.custom;
        s.shape = s.shape == ChannelSignal::Arbitrary ? ChannelSignal::Sine : (s.shape + 1) % ChannelSignal::Arbitrary;
        s.waveform = waveformfile::fromValues(points, QStringLiteral("другая.csv")).waveform;
        s.amplitude = other(s.amplitude, lim.customAmplitudeMin / 1000.0, lim.customAmplitudeMax / 1000.0, 0.001);
        s.frequency = other(s.frequency, 1, frequencyCeilingFor(8), 0.5);
        s.offset = other(s.offset, lim.offsetMin / 1000.0, lim.offsetMax / 1000.0, 0.001);
        s.phase = s.phase + 90.0 < 360.0 ? s.phase + 90.0 : s.phase - 90.0;
    }
    return moved;
}

// The entries of `now` that still hold what `saved` holds (a channel's range on a module whose range
// is fixed aside), as "channel 3 custom/phase_deg".
QStringList unmoved(const setups::PanelSetup& saved, const setups::PanelSetup& now, bool fixedRange)
{
    QStringList same;
    const QVariantMap a = setups::toVariant(saved);
    const QVariantMap b = setups::toVariant(now);
    for (const char* key : { "mode", "dacRate" }) {
        if (a.value(key) == b.value(key))
            same << key;
    }
    const QVariantList channelsA = a.value("channels").toList();
    const QVariantList channelsB = b.value("channels").toList();
    for (int i = 0; i < channelsA.size(); ++i) {
        QVariantMap x = channelsA.at(i).toMap(), y = channelsB.value(i).toMap();
        const QVariantMap customX = x.take("custom").toMap(), customY = y.take("custom").toMap();
        for (auto it = x.begin(); it != x.end(); ++it) {
            if (it.key() != "channel" && !(fixedRange && it.key() == "range") && y.value(it.key()) == it.value())
                same << QString("channel %1 %2").arg(i + 1).arg(it.key());
        }
        for (auto it = customX.begin(); it != customX.end(); ++it) {
            const WaveformPointer waveform = customY.value("waveform").value<WaveformPointer>();
            const bool equal = it.key() == "waveform" ? waveform && waveform->points() == it.value().value<WaveformPointer>()->points()
                                                      : customY.value(it.key()) == it.value();
            if (equal)
                same << QString("channel %1 custom/%2").arg(i + 1).arg(it.key());
        }
    }
    return same;
}

// A valid setup file of what the panels hold, as JSON to take apart.
QJsonObject setupJson(OperatorBench& bench)
{
    QString error;
    return QJsonDocument::fromJson(setupfile::serialise(bench.module->panelSetup(), &error)).object();
}

// Applies `edit` to channel entry `index` of `root`.
void editChannel(QJsonObject& root, int index, const std::function<void(QJsonObject&)>& edit)
{
    QJsonArray channels = root.value("channels").toArray();
    QJsonObject channel = channels.at(index).toObject();
    edit(channel);
    channels.replace(index, channel);
    root.insert("channels", channels);
}

// "Старт" pressed; true once the module plays.
bool start(OperatorBench& bench)
{
    QTest::mouseClick(bench.startStop(), Qt::LeftButton);
    return QTest::qWaitFor([&] { return moduleOf(bench.service).value("running").toBool(); }, 20000);
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

class SetupsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { apptest::clearMessages(); }
    void everyFieldBackWidgetByWidget_data();
    void everyFieldBackWidgetByWidget();
    void playsTheSameAfterOpening();
    void badFilesChangeNothing();
    void filesBroughtIntoTheModule();
    void voltageLimitRefusesAStart();
    void unreadableVoltageLimitRefusesEveryStart();
    void phasesFitTheField();
};

void SetupsTest::initTestCase()
{
    initStendixResources();
    apptest::installMessageCapture();
}

void SetupsTest::everyFieldBackWidgetByWidget_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<bool>("custom");
    QTest::addColumn<QByteArray>("crates");
    QTest::newRow("modification 1, 8 channels") << 3 << false << QByteArray();
    QTest::newRow("modification 1, custom signals") << 3 << true << QByteArray();
    QTest::newRow("modification 2, custom signals") << 7 << true << QByteArray();
    QTest::newRow("modification 3, 6 channels, custom signals") << 3 << true << modification3;
}

void SetupsTest::everyFieldBackWidgetByWidget()
{
    QFETCH(int, slot);
    QFETCH(bool, custom);
    QFETCH(QByteArray, crates);
    OperatorBench bench;
    QVERIFY(bench.open(slot, custom, crates));
    QTemporaryDir dir;
    SetupStore store(bench.module.get(), dir.path());

    // What the panels cannot set: a phase on every custom signal and, on channel 1, a waveform of a
    // spreadsheet's six-decimal values (whose peak is no power of two), put in through a setup
    // first; the operator's edits leave them, and they must come back as the very same points.
    if (custom) {
        QVector<double> sheet;
        for (int j = 0; j < 4096; ++j)
            sheet << QString::number(1.08 * std::sin(2 * M_PI * j / 4096) + 0.1 * std::sin(2 * M_PI * 50 * j / 4096), 'f', 6).toDouble();
        setups::PanelSetup start;
        QString error;
        QVERIFY(setups::fromVariant(bench.module->panelSetup(), &start, &error));
        for (setups::ChannelSetup& c : start.channels)
            c.custom.phase = 15.0 * c.channel;
        start.channels[0].custom.shape = ChannelSignal::Arbitrary;
        start.channels[0].custom.waveform = waveformfile::fromValues(sheet, "таблица.csv").waveform;
        QStringList notes;
        QVERIFY2(bench.module->applyPanelSetup(setups::toVariant(start), notes, error), qPrintable(error));
        QVERIFY(bench.settle());
    }
    setEveryChannel(bench, custom);
    QCOMPARE(bench.violations(), QString());
    const QMap<QString, QString> saved = panelState(bench);

    QString error;
    const QString path = store.pathFor("bench.vek72");
    QVERIFY2(store.save(path, &error), qPrintable(error));

    // Changed: every channel on with the common type and voltage, cyclic at 192 kHz; channel 3
    // (of the special type in the setup) focused, so that opening shows its custom signal.
    bench.clickAllChannels();
    QVERIFY(bench.settle());
    bench.pick(bench.commonType(), "DC");
    bench.type(bench.commonVoltage(), "300");
    bench.clickGroup(3);
    QVERIFY(bench.settle());
    bench.clickGroup(3);
    bench.pick(bench.hosts.combo("comboBoxMode"), "Циклический автогенератор");
    bench.pick(bench.hosts.combo("comboBoxDacFreq"), "192 кГц");
    QVERIFY(bench.settle());
    const QMap<QString, QString> changed = panelState(bench);
    QVERIFY(changed != saved);

    // Then every field away from what the file holds, so that none can come back by staying put.
    setups::PanelSetup inFile;
    QVERIFY2(setups::fromVariant(setupfile::read(path).setup, &inFile, &error), qPrintable(error));
    QStringList notes;
    QVERIFY2(bench.module->applyPanelSetup(setups::toVariant(everyFieldMoved(inFile, custom)), notes, error), qPrintable(error));
    QVERIFY(bench.settle());
    setups::PanelSetup moved;
    QVERIFY(setups::fromVariant(bench.module->panelSetup(), &moved, &error));
    QCOMPARE(unmoved(inFile, moved, inFile.modification == 2), QStringList());

    QVERIFY2(store.open(path, &notes, &error), qPrintable(error));
    QVERIFY(bench.settle());
    QCOMPARE(notes, QStringList());
    QCOMPARE(differences(saved, panelState(bench)), QString());
    QCOMPARE(bench.violations(), QString());
}

// Played, saved, changed while playing, opened: the output stops ("Старт" again), nothing starts
// by itself, and "Старт" plays what was played before saving.
void SetupsTest::playsTheSameAfterOpening()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, false));
    QTemporaryDir dir;
    SetupStore store(bench.module.get(), dir.path());
    bench.pick(bench.hosts.combo("comboBoxDacFreq"), "48 кГц");
    setChannel(bench, { 1, "AC", "7 В", "1000", "1000", "0.5" });
    setChannel(bench, { 2, "DC", "10 В", "-2500" });
    setChannel(bench, { 3, "AC", "0.7 В", "500", "2000", "-0.25" });
    QVERIFY(start(bench));
    QVERIFY(bench.settle());
    // Once the module has played that many frames since the start.
    Played a;
    QVERIFY(QTest::qWaitFor([&] { return (a = capture(bench.service, 3, 2000)).frames() == 2000; }, 10000));

    // Saved and recalled as numbered setups, the recall from a thread of its own as a remote
    // command makes it: when it returns, the output has stopped.
    QString error;
    QVERIFY2(store.saveNumbered(4, &error), qPrintable(error));
    QVERIFY(QFileInfo::exists(dir.filePath("setup-4.vek72")));
    bench.pick(bench.commonType(), "DC");   // restarts with every channel at 0 V DC
    QVERIFY(bench.settle());
    QVERIFY(bench.module->isRunning());
    bool recalled = false;
    bool runningAfter = true;
    runOnOtherThread([&] {
        QStringList notes;
        recalled = store.recallNumbered(4, &notes, &error);
        runningAfter = bench.module->isRunning();
    });
    QVERIFY2(recalled, qPrintable(error));
    QVERIFY(!runningAfter);
    QVERIFY(bench.settle());
    QVERIFY(!bench.startStop()->isChecked());
    QCOMPARE(bench.startStop()->text(), QString("Старт"));
    QTRY_VERIFY(!moduleOf(bench.service).value("running").toBool(true));
    QVERIFY(benchstatus::outputsAtZero(moduleOf(bench.service)));

    QVERIFY(start(bench));
    Played b;
    QVERIFY(QTest::qWaitFor([&] { return (b = capture(bench.service, 3, 2000)).frames() == 2000; }, 10000));

    // The same frames, whatever frame each capture began at (the buffer repeats every 16 frames).
    QCOMPARE(a.channels, QStringList({ "ch1", "ch2", "ch3" }));
    QCOMPARE(b.channels, a.channels);
    const auto from = [](const Played& p, int first) {
        QVector<QVector<double>> columns;
        for (const QVector<double>& c : p.columns)
            columns << c.mid(first, 1000);
        return columns;
    };
    int shift = -1;
    for (int s = 0; s < 100 && shift < 0; ++s)
        shift = from(a, s) == from(b, 0) ? s : -1;
    QVERIFY2(shift >= 0, qPrintable(QString("%1 %2 / %3 %4").arg(a.columns[0][0]).arg(a.columns[0][1])
                                        .arg(b.columns[0][0]).arg(b.columns[0][1])));
}

// Each bad file is refused with one message naming it and its first bad entry; the panels and the
// output playing meanwhile stay as they were.
void SetupsTest::badFilesChangeNothing()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, true));
    QTemporaryDir dir;
    SetupStore store(bench.module.get(), dir.path());
    setChannel(bench, { 1, "AC", "7 В", "1000", "1000" });
    setChannel(bench, { 2, "DC", "10 В", "-2500" });
    const QJsonObject good = setupJson(bench);
    QVERIFY(start(bench));
    QVERIFY(bench.settle());
    const QMap<QString, QString> panels = panelState(bench);

    const auto changed = [&](const std::function<void(QJsonObject&)>& edit) {
        QJsonObject root = good;
        edit(root);
        return QJsonDocument(root).toJson();
    };
    const auto inChannel = [&](int index, const std::function<void(QJsonObject&)>& edit) {
        return changed([&](QJsonObject& root) { editChannel(root, index, edit); });
    };
    const auto inCustom = [&](const std::function<void(QJsonObject&)>& edit) {
        return inChannel(0, [&](QJsonObject& c) {
            QJsonObject custom = c.value("custom").toObject();
            edit(custom);
            c.insert("custom", custom);
        });
    };
    const QList<QPair<QByteArray, QByteArray>> cases{
        { "", "файл не читается" },   // no file at all
        { "VEK72 setup {", "ошибка JSON в позиции" },
        { "[1, 2]", "ожидается объект JSON" },
        { changed([](QJsonObject& r) { r.remove("format"); }), "нет версии формата" },
        { changed([](QJsonObject& r) { r.insert("format", 2); }), "формате версии 2" },
        { inChannel(1, [](QJsonObject& c) { c.insert("type", "ACDC"); }), "канал 2, \"type\": \"ACDC\" — нет такого значения" },
        { inChannel(0, [](QJsonObject& c) { c.insert("voltage_mV", "1000"); }), "канал 1, \"voltage_mV\": \"1000\" — ожидается число" },
        { inChannel(0, [](QJsonObject& c) { c.insert("channel", 9); }), "канал в позиции 1, \"channel\": 9" },
        { inChannel(1, [](QJsonObject& c) { c.insert("channel", 1); }), "канал 1 описан дважды" },
        { inCustom([](QJsonObject& c) { c.insert("shape", "square"); }), "канал 1, \"custom\", \"shape\": \"square\"" },
        { inCustom([](QJsonObject& c) { c.insert("shape", "arbitrary"); }), "канал 1, \"custom\", \"waveform\": нет значения" },
        { inCustom([](QJsonObject& c) { c.insert("waveform", QJsonObject{ { "file", "one.csv" }, { "points", QJsonArray{ 1.0 } } }); }),
          "канал 1, \"custom\", \"waveform\": В файле \"one.csv\" только одна точка" },
        { changed([](QJsonObject& r) { r.insert("dacRate", 44100); }), "\"dacRate\": 44100" },
        { changed([](QJsonObject& r) { r.remove("module"); }), "\"module\": нет значения" },
        { changed([](QJsonObject& r) {
              QJsonObject module = r.value("module").toObject();
              module.insert("channelCount", 1);
              r.insert("module", module);
          }), "канал 2: у модуля, с которого снята настройка (\"module\": VEK72-1-1), каналов только 1" },
        // Values beyond what the module can take by more than its fields round away: a damaged or
        // foreign file, refused with the first such entry, never played at the nearest limit.
        { inChannel(0, [](QJsonObject& c) { c.insert("voltage_mV", 1e308); }),
          "канал 1, \"voltage_mV\": 1e+308 — вне пределов модуля (0..7000 мВ)" },
        { inChannel(0, [](QJsonObject& c) { c.insert("voltage_mV", -5000); }),
          "канал 1, \"voltage_mV\": -5000 — вне пределов модуля (0..7000 мВ)" },
        { inChannel(0, [](QJsonObject& c) { c.insert("voltage_mV", 7000.5); }),
          "канал 1, \"voltage_mV\": 7000.5 — вне пределов модуля (0..7000 мВ)" },
        { inChannel(0, [](QJsonObject& c) { c.insert("offset_V", -1000); }),
          "канал 1, \"offset_V\": -1000 — вне пределов модуля (-10..10 В)" },
        { inChannel(0, [](QJsonObject& c) { c.insert("frequency_Hz", 200000); }),
          "канал 1, \"frequency_Hz\": 200000 — вне пределов модуля (1..124999 Гц)" },
        { inChannel(1, [](QJsonObject& c) { c.insert("voltage_mV", 15000); }),
          "канал 2, \"voltage_mV\": 15000 — вне пределов модуля (-10000..10000 мВ)" },
        { inCustom([](QJsonObject& c) { c.insert("amplitude_V", 1e308); }),
          "канал 1, \"custom\", \"amplitude_V\": 1e+308 — вне пределов модуля (0..10 В)" },
        { inCustom([](QJsonObject& c) { c.insert("offset_V", -1000); }),
          "канал 1, \"custom\", \"offset_V\": -1000 — вне пределов модуля (-10..10 В)" },
        // Not a finite number: JSON has no NaN, and a number too large for a double is no number.
        { [&] {
              QByteArray text = QJsonDocument(good).toJson();
              const int at = text.indexOf("\"voltage_mV\": ") + 14;
              return text.replace(at, text.indexOf('\n', at) - at, "1e999,");
          }(),
          "ошибка JSON в позиции" },
    };
    for (int i = 0; i < cases.size(); ++i) {
        const QString path = dir.filePath(QString("bad-%1.vek72").arg(i));
        if (!cases.at(i).first.isEmpty())
            QVERIFY(writeFile(path, cases.at(i).first));
        QString error;
        QStringList notes;
        QVERIFY2(!store.open(path, &notes, &error), qPrintable(cases.at(i).second));
        QVERIFY2(error.startsWith(QString("Настройка \"%1\" не открыта: ").arg(QDir::toNativeSeparators(path))), qPrintable(error));
        QVERIFY2(error.contains(QString::fromUtf8(cases.at(i).second)), qPrintable(error));
        QVERIFY(bench.settle());
        QCOMPARE(differences(panels, panelState(bench)), QString());
    }
    QVERIFY(moduleOf(bench.service).value("running").toBool());
    QVERIFY(bench.startStop()->isChecked());

    // Beyond the limit by less than the field's rounding: taken, as the field shows it.
    const QString path = dir.filePath("rounded.vek72");
    QVERIFY(writeFile(path, inChannel(0, [](QJsonObject& c) { c.insert("voltage_mV", 7000.4); })));
    QString error;
    QStringList notes;
    QVERIFY2(store.open(path, &notes, &error), qPrintable(error));
    QVERIFY(bench.settle());
    QCOMPARE(bench.channelVoltage(1)->value(), 7000);
    QCOMPARE(notes, QStringList());
}

// Files the module can take only in part (another module's, with more channels, custom signals and a
// one-tenth range it has not): one warning lists what changed, the panels show the fitted values,
// nothing plays. (Values beyond its limits make a file refused: badFilesChangeNothing.)
void SetupsTest::filesBroughtIntoTheModule()
{
    QJsonObject file;
    {
        OperatorBench source;   // an 8-channel modification-1 module with custom signals
        QVERIFY(source.open(3, true));
        setChannel(source, { 1, "DC", "10 В", "-1500" });
        setChannel(source, { 2, "AC", "0.7 В", "300", "1000", "-1.5" });
        source.clickGroup(3);
        QVERIFY(source.settle());
        source.pick(source.channelType(3), "Особый");
        setChannel(source, { 5, "DC", "10 В", "100" });
        QVERIFY(source.settle());
        file = setupJson(source);
    }

    OperatorBench bench;   // modification 2, 4 channels, no custom signals
    QVERIFY(bench.open(7, false));
    QTemporaryDir dir;
    SetupStore store(bench.module.get(), dir.path());
    const QString path = dir.filePath("from-slot-3.vek72");
    QVERIFY(writeFile(path, QJsonDocument(file).toJson()));
    QStringList notes;
    QString error;
    QVERIFY2(store.open(path, &notes, &error), qPrintable(error));
    QVERIFY(bench.settle());
    const QString told = SetupStore::notesText(path, notes);
    QCOMPARE(notes, QStringList({ "настройка снята с модуля VEK72-1-8, открыт модуль VEK72-2-4",
                                  "каналы 5, 6, 7, 8 пропущены: каналов у модуля 4",
                                  "канал 3: особый сигнал, а особые сигналы выключены (EnableCustomSignals) — канал оставлен выключенным",
                                  "каналы 2, 4: диапазон 1/10 заменён полным, у модуля диапазон постоянный" }));
    QVERIFY(told.contains(notes.first()));
    QCOMPARE(bench.channelVoltage(1)->value(), -1500);
    QCOMPARE(bench.channelType(2)->currentText(), QString("AC"));
    QCOMPARE(bench.channelVoltage(2)->value(), 300);
    QCOMPARE(bench.channelOffset(2)->value(), -1.5);
    QCOMPARE(bench.channelFrequency(2)->value(), 1000.0);
    QVERIFY(!bench.channelGroup(3)->isChecked());
    QVERIFY(!bench.channelGroup(4)->isChecked());
    QCOMPARE(bench.violations(), QString());
    QVERIFY(!bench.startStop()->isChecked());
    QVERIFY(!moduleOf(bench.service, 7).value("running").toBool(true));
}

// VoltageLimit 2000 mV: a start with a channel beyond it is refused by name, the button goes back
// and nothing plays; within it the module plays.
void SetupsTest::voltageLimitRefusesAStart()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, false, {}, crateA, "VoltageLimit=2000\n"));
    const QList<QPair<ChannelSetting, const char*>> cases{   // what refuses the start; empty: it plays
        { { 1, "AC", "7 В", "1000", "1000", "0.6" }, "на канале 1 было бы до 2015 мВ" },   // 1000 × √2 + 600
        { { 1, "AC", "7 В", "1400", "1000", "0" }, "" },
        { { 2, "DC", "10 В", "-2001" }, "на канале 2 было бы до 2001 мВ" },
        { { 2, "DC", "10 В", "-2000" }, "" },
    };
    for (const auto& c : cases) {
        apptest::clearMessages();
        setChannel(bench, c.first);
        if (!*c.second) {
            QVERIFY(start(bench));
            QVERIFY(bench.settle());
            QVERIFY(apptest::criticals().isEmpty());
            QTest::mouseClick(bench.startStop(), Qt::LeftButton);
            QTRY_VERIFY(!moduleOf(bench.service).value("running").toBool(true));
            continue;
        }
        QTest::mouseClick(bench.startStop(), Qt::LeftButton);
        QTRY_VERIFY(!bench.startStop()->isChecked());
        QVERIFY(bench.settle());
        QCOMPARE(bench.startStop()->text(), QString("Старт"));
        QCOMPARE(apptest::criticals(),
                 QStringList(QString("Старт отменён: %1, а ограничение напряжения — 2000 мВ").arg(QString::fromUtf8(c.second))));
        QVERIFY(!moduleOf(bench.service).value("running").toBool(true));
        QVERIFY(benchstatus::outputsAtZero(moduleOf(bench.service)));
    }
}

// A voltage limit the settings file has but that cannot be read ("2000mV") is not "no limit": every
// start is refused, even one at 0 V, and says why; nothing plays.
void SetupsTest::unreadableVoltageLimitRefusesEveryStart()
{
    OperatorBench bench;
    QVERIFY(bench.open(3, false, {}, crateA, "VoltageLimit=2000mV\n"));
    for (const ChannelSetting& setting : { ChannelSetting{ 1, "AC", "7 В", "5000", "1000", "0" },
                                           ChannelSetting{ 1, "DC", "10 В", "0" } }) {
        apptest::clearMessages();
        setChannel(bench, setting);
        QTest::mouseClick(bench.startStop(), Qt::LeftButton);
        QTRY_VERIFY(!bench.startStop()->isChecked());
        QVERIFY(bench.settle());
        QCOMPARE(apptest::criticals(), QStringList("Старт отменён: предел напряжения VoltageLimit в stendix.ini не читается; "
                                                   "выходы не включаются, пока он не исправлен или не удалён"));
        QVERIFY(!moduleOf(bench.service).value("running").toBool(true));
    }
    // Remote control hears of it as a refusal (no box on the bench's screen): no start, no voltage
    // but 0 V set; a stop is never refused.
    apptest::clearMessages();
    QList<Module::SettingResult> results;
    runOnOtherThread([&] {
        results << bench.module->changeSetting("output", 0, true) << bench.module->changeSetting("function", 1, "AC")
                << bench.module->changeSetting("voltage", 1, 0.5) << bench.module->changeSetting("voltage", 1, 0.0)
                << bench.module->changeSetting("output", 0, false);
    });
    QCOMPARE(results, (QList<Module::SettingResult>{ Module::SettingResult::SettingsConflict, Module::SettingResult::Done,
                                                     Module::SettingResult::OutOfRange, Module::SettingResult::Done,
                                                     Module::SettingResult::Done }));
    QVERIFY(bench.settle());
    QCOMPARE(apptest::criticals(), QStringList());
    QVERIFY(!bench.startStop()->isChecked());
}

// A custom signal's phase from a file comes into the range and the decimals of the field "Фаза",
// as the same angle, without a note: -90° is 270°, a whole turn and what rounds to one is 0°.
void SetupsTest::phasesFitTheField()
{
    setups::ModuleCapacity module;
    module.limits = limitsForModification(1);
    module.modification = 1;
    module.channelCount = 8;
    module.customSignals = true;
    for (int on = 0; on <= 8; ++on)
        module.frequencyCeiling[on] = frequencyCeilingFor(on);
    const QList<QPair<double, double>> phases{ { 120, 120 }, { -90, 270 }, { 400, 40 }, { 360, 0 },   // given, fitted
                                               { 359.9994, 359.999 }, { 359.9996, 0 }, { -0.0004, 0 }, { 12.3456, 12.346 } };
    setups::PanelSetup setup;
    setup.modification = 1;
    setup.channelCount = 8;
    for (const auto& p : phases) {
        setup.channels.append(setups::ChannelSetup());
        setup.channels.last().channel = setup.channels.size();
        setup.channels.last().hasCustom = true;
        setup.channels.last().custom.phase = p.first;
    }
    QStringList notes;
    QString error;
    QVERIFY2(setups::fitToModule(setup, module, &notes, &error), qPrintable(error));
    QCOMPARE(notes, QStringList());
    for (int i = 0; i < setup.channels.size(); ++i)
        QVERIFY2(setup.channels.at(i).custom.phase == phases[i].second,
                 qPrintable(QString("%1 -> %2").arg(phases[i].first).arg(setup.channels.at(i).custom.phase)));
}

QTEST_MAIN(SetupsTest)
#include "tst_vek72_setups.moc"
