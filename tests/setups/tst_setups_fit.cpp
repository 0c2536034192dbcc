// Setups without panels: a setup brought into the limits of a module (what changes and what the
// operator is told), and a setup through its file text and back, waveform included.
#include <QtTest>

#include "modificationlimits.h"
#include "panelsetup.h"
#include "setupfile.h"
#include "waveformfile.h"

using namespace setups;

Q_DECLARE_METATYPE(PanelSetup)
Q_DECLARE_METATYPE(ModuleCapacity)

namespace {

ModuleCapacity capacity(int modification, int channels, bool custom)
{
    ModuleCapacity c;
    c.limits = limitsForModification(modification);
    c.modification = modification;
    c.channelCount = channels;
    c.customSignals = custom;
    c.fixedRange = modification == 2;
    for (int on = 0; on <= 8; ++on)
        c.frequencyCeiling[on] = frequencyCeilingFor(on);
    return c;
}

ChannelSetup channel(int n, bool on, ChannelType type, Range range, double voltage, double frequency = 1000,
                     double offset = 0)
{
    ChannelSetup c;
    c.channel = n;
    c.on = on;
    c.type = type;
    c.range = range;
    c.voltage = voltage;
    c.frequency = frequency;
    c.offset = offset;
    return c;
}

PanelSetup setupOf(int modification, int channels, QVector<ChannelSetup> list)
{
    PanelSetup s;
    s.modification = modification;
    s.channelCount = channels;
    s.channels = list;
    return s;
}

} // namespace

class SetupsFitTest : public QObject
{
    Q_OBJECT

private slots:
    void fitToModule_data();
    void fitToModule();
    void fileTextRoundTrip();
};

void SetupsFitTest::fitToModule_data()
{
    QTest::addColumn<PanelSetup>("setup");
    QTest::addColumn<ModuleCapacity>("module");
    QTest::addColumn<QString>("expected");   // "n:voltage/frequency/offset/range/on" per channel
    QTest::addColumn<QStringList>("notes");  // a fragment of each note, in order

    // From a modification-2 module (DC up to 20 V, offsets up to 20 V) onto modification 1.
    QTest::newRow("modification 2 onto 1")
        << setupOf(2, 4, { channel(1, true, ChannelType::Dc, Range::Full, 15000),
                           channel(2, true, ChannelType::Ac, Range::Full, 700, 1000, 12.5),
                           channel(3, false, ChannelType::Dc, Range::Full, -1500),
                           channel(4, true, ChannelType::Ac, Range::Full, 100) })
        << capacity(1, 8, false)
        << "1:10000/1000/0/full/on 2:700/1000/10/full/on 3:-1500/1000/0/full/off 4:100/1000/0/full/on"
        << QStringList{ "VEK72-2-4, открыт модуль VEK72-1-8", "каналов 5, 6, 7, 8 нет",
                        "канал 1, напряжение: 15000 мВ вне пределов модуля, установлено 10000 мВ",
                        "канал 2, смещение: 12.5 В вне пределов модуля, установлено 10 В" };
    // A hand-edited voltage, a frequency above the ceiling of two channels, fractions of a
    // millivolt rounded without a word; the unused fields of a DC channel are clamped silently.
    QTest::newRow("hand-edited values")
        << setupOf(1, 2, { channel(1, true, ChannelType::Ac, Range::Tenth, 99999, 200000, 0.0004),
                           channel(2, true, ChannelType::Dc, Range::Tenth, -400.4, 0, -99) })
        << capacity(1, 2, false)
        << "1:700/124999/0/tenth/on 2:-400/1/-10/tenth/on"
        << QStringList{ "канал 1, напряжение: 99999 мВ вне пределов модуля, установлено 700 мВ",
                        "канал 1, частота: 200000 Гц вне пределов модуля, установлено 124999 Гц" };
    // More channels than the module has; the one-tenth range on a module with a fixed range; a
    // custom channel on a module without custom signals stays off (and does not count for the
    // frequency ceiling).
    QTest::newRow("extra channels, fixed range, no custom signals")
        << setupOf(1, 8, { channel(1, true, ChannelType::Ac, Range::Tenth, 600, 100000),
                           channel(2, true, ChannelType::Custom, Range::Full, 0),
                           channel(5, true, ChannelType::Dc, Range::Full, 100),
                           channel(8, false, ChannelType::Dc, Range::Full, 100) })
        << capacity(2, 4, false)
        << "1:600/100000/0/full/on 2:0/1000/0/full/off"
        << QStringList{ "VEK72-1-8, открыт модуль VEK72-2-4", "каналы 5, 8 пропущены: каналов у модуля 4",
                        "каналов 3, 4 нет", "канал 2: особый сигнал, а особые сигналы выключены",
                        "каналы 1: диапазон 1/10 заменён полным" };
}

void SetupsFitTest::fitToModule()
{
    QFETCH(PanelSetup, setup);
    QFETCH(ModuleCapacity, module);
    QFETCH(QString, expected);
    QFETCH(QStringList, notes);

    const QStringList told = setups::fitToModule(setup, module);
    QStringList shown;
    for (const ChannelSetup& c : setup.channels)
        shown << QStringLiteral("%1:%2/%3/%4/%5/%6").arg(c.channel).arg(c.voltage).arg(c.frequency).arg(c.offset)
                     .arg(c.range == Range::Full ? "full" : "tenth", c.on ? "on" : "off");
    QCOMPARE(shown.join(' '), expected);
    QVERIFY2(told.size() == notes.size(), qPrintable(told.join('\n')));
    for (int i = 0; i < notes.size(); ++i)
        QVERIFY2(told.at(i).contains(notes.at(i)), qPrintable(told.at(i) + " / " + notes.at(i)));
}

// Every field through the file text: doubles exactly, the custom signal with its phase and the
// arbitrary waveform's points and name.
void SetupsFitTest::fileTextRoundTrip()
{
    PanelSetup s = setupOf(3, 6, { channel(1, true, ChannelType::Ac, Range::Tenth, 123, 1234.567, -0.125),
                                   channel(6, false, ChannelType::Custom, Range::Full, 0, 31249, 2.5) });
    s.crate = "4B210736";
    s.slot = 5;
    s.cyclic = false;
    s.dacRate = 96000;
    s.channels[1].hasCustom = true;
    s.channels[1].custom.shape = ChannelSignal::Arbitrary;
    s.channels[1].custom.amplitude = 1.234;
    s.channels[1].custom.frequency = 0.1 + 0.2;   // not a short decimal
    s.channels[1].custom.offset = -0.5;
    s.channels[1].custom.phase = 120;
    s.channels[1].custom.waveform = waveformfile::fromValues({ 0.1, -0.7, 1.0 / 3.0, 0.25 }, "ramp.csv").waveform;
    QVERIFY(s.channels[1].custom.waveform);

    QString error;
    const QByteArray text = setupfile::serialise(toVariant(s), &error);
    QVERIFY2(!text.isEmpty(), qPrintable(error));
    QVERIFY(text.contains("\"format\": 1"));
    QVERIFY(text.contains("\"type\": \"custom\""));
    QVERIFY(text.contains("\"file\": \"ramp.csv\""));
    const setupfile::Result back = setupfile::parse(text);
    QVERIFY2(back.ok(), qPrintable(back.error));
    PanelSetup read;
    QVERIFY(fromVariant(back.setup, &read, &error));
    QVERIFY(read.channels[1].custom.waveform != s.channels[1].custom.waveform);
    QCOMPARE(read.channels[1].custom.waveform->points(), s.channels[1].custom.waveform->points());
    QVERIFY(read == s);
}

QTEST_GUILESS_MAIN(SetupsFitTest)
#include "tst_setups_fit.moc"
