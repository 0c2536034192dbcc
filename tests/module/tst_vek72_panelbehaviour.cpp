// The panels as an operator works them, against a module opened in a crate service simulator of the
// test's own: what a common control does to the channels, how the common controls follow the
// channels, the frequency ceiling, the all-channels box and the custom group. Each case is a short
// script of operator steps and checks of what the panels show; after every step the module settles
// and the invariants of the panels must hold. A randomised operator does the same from fixed seeds.
#include <QtTest>

#include <QRandomGenerator>

#include "operatorbench.h"

namespace {

// A script is a list of steps and checks, run in order.
//   Steps:  "click N" (group box of channel N), "all" (the all-channels box), "start" (the
//           start/stop button), "type[@N] ITEM", "range[@N] ITEM", "shape ITEM", "voltage[@N] TEXT",
//           "frequency[@N] TEXT", "offset[@N] TEXT", "amplitude TEXT" (typed key by key),
//           "down FIELD[@N]" (one step down with the arrow key).
//   Checks: "?FIELD[@N]=TEXT" compares what the field shows (its text; a selector's current item
//           text, a group box or check box its state as 0/1/2, the button its text);
//           "?enabled:FIELD[@N]=0|1", "?max:FIELD[@N]=N", "?items:range[@N]=A/B",
//           "?bold@N=0|1", "?focused=N", "?customgroup=0|1", "?custom.shape@N=N",
//           "?custom.amplitude@N=V".
struct Script
{
    OperatorBench& bench;
    QString failure;

    QWidget* widget(const QString& field) const
    {
        const QString name = field.section('@', 0, 0);
        const int n = field.section('@', 1, 1).toInt();
        if (name == "type")
            return n ? bench.channelType(n) : bench.commonType();
        if (name == "range")
            return n ? bench.channelRange(n) : bench.commonRange();
        if (name == "voltage")
            return n ? static_cast<QWidget*>(bench.channelVoltage(n)) : bench.commonVoltage();
        if (name == "frequency")
            return n ? bench.channelFrequency(n) : bench.commonFrequency();
        if (name == "offset")
            return n ? bench.channelOffset(n) : bench.commonOffset();
        if (name == "on")
            return bench.channelGroup(n);
        if (name == "shape")
            return bench.hosts.combo("comboBoxCustomShape");
        if (name == "amplitude")
            return bench.hosts.spin("spinBoxCustomAmplitude");
        if (name == "all")
            return bench.module->allChannelsBox();
        if (name == "button")
            return bench.startStop();
        if (name == "customgroup")
            return bench.hosts.group("groupBoxCustom");
        return nullptr;
    }

    static QString shown(QWidget* w)
    {
        if (auto* combo = qobject_cast<QComboBox*>(w))
            return combo->currentText();
        if (auto* spin = qobject_cast<QAbstractSpinBox*>(w))
            return spin->text();
        if (auto* group = qobject_cast<QGroupBox*>(w))
            return QString::number(group->isChecked());
        if (auto* box = qobject_cast<QCheckBox*>(w))
            return QString::number(box->checkState());
        if (auto* button = qobject_cast<QPushButton*>(w))
            return button->text();
        return QStringLiteral("?");
    }

    QString check(const QString& what) const
    {
        const QString key = what.section('=', 0, 0);
        const QString expected = what.section('=', 1);
        const int n = key.section('@', 1, 1).toInt();
        QString actual;
        if (key.startsWith("enabled:")) {
            actual = QString::number(widget(key.mid(8))->isEnabled());
        } else if (key.startsWith("max:")) {
            QWidget* w = widget(key.mid(4));
            actual = qobject_cast<QSpinBox*>(w) ? QString::number(qobject_cast<QSpinBox*>(w)->maximum())
                                                : QString::number(qobject_cast<QDoubleSpinBox*>(w)->maximum());
        } else if (key.startsWith("items:")) {
            auto* combo = qobject_cast<QComboBox*>(widget(key.mid(6)));
            actual = combo->itemText(0) + '/' + combo->itemText(1);
        } else if (key.startsWith("bold@")) {
            actual = QString::number(bench.channelGroup(n)->styleSheet().contains("bold"));
        } else if (key == "focused") {
            actual = QString::number(bench.module->focusedChannelNumber());
        } else if (key == "customgroup") {
            actual = QString::number(widget(key)->isEnabled());
        } else if (key.startsWith("custom.shape@")) {
            actual = QString::number(bench.module->customSignal(n).shape);
        } else if (key.startsWith("custom.amplitude@")) {
            actual = QString::number(bench.module->customSignal(n).amplitude);
        } else {
            actual = shown(widget(key));
        }
        return actual == expected ? QString() : QStringLiteral("%1: shows \"%2\"").arg(what, actual);
    }

    void step(const QString& text)
    {
        const QString verb = text.section(' ', 0, 0);
        const QString argument = text.section(' ', 1);
        if (verb == "click") {
            bench.clickGroup(argument.toInt());
        } else if (verb == "all") {
            bench.clickAllChannels();
        } else if (verb == "start") {
            QTest::mouseClick(bench.startStop(), Qt::LeftButton);
        } else if (verb == "down") {
            bench.stepDown(qobject_cast<QAbstractSpinBox*>(widget(argument)));
        } else if (auto* combo = qobject_cast<QComboBox*>(widget(verb))) {
            bench.pick(combo, argument);
        } else if (auto* field = qobject_cast<QAbstractSpinBox*>(widget(verb))) {
            bench.type(field, argument);
        } else {
            QTest::qFail(qPrintable("unknown step " + text), __FILE__, __LINE__);
        }
    }

    // Runs the script; the first failure, with the step it came after, or empty.
    QString run(const QStringList& lines)
    {
        QString last = QStringLiteral("open");
        for (const QString& line : lines) {
            if (line.startsWith('?')) {
                const QString fault = check(line.mid(1));
                if (!fault.isEmpty())
                    return QStringLiteral("after \"%1\": %2").arg(last, fault);
                continue;
            }
            step(line);
            last = line;
            if (!bench.settle())
                return QStringLiteral("after \"%1\": the panels did not settle").arg(last);
            const QString broken = bench.violations();
            if (!broken.isEmpty())
                return QStringLiteral("after \"%1\": %2").arg(last, broken);
        }
        return QString();
    }
};

} // namespace

class PanelBehaviourTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initStendixResources(); }
    void operatorScripts_data();
    void operatorScripts();
    void randomOperator_data();
    void randomOperator();
};

void PanelBehaviourTest::operatorScripts_data()
{
    QTest::addColumn<int>("slot");   // 3: modification 1, 8 channels; 7: modification 2, 4 channels
    QTest::addColumn<bool>("custom");
    QTest::addColumn<QStringList>("script");

    // What the common controls do to the channels.
    QTest::newRow("common DC voltage reaches the enabled channels only")
        << 3 << false << QStringList{"click 2", "type DC", "range 10 В", "voltage 1500", "?voltage@1=1500",
                                     "?voltage@2=1500", "?voltage@3=0", "?voltage=1500"};
    // "-" in a common field is no value: no channel changes, the field shows what they agree on.
    QTest::newRow("stepping onto - in the DC voltage: the channels' value again")
        << 3 << false << QStringList{"type DC", "range 10 В", "voltage -10000", "down voltage", "?voltage=-10000",
                                     "?voltage@1=-10000"};
    QTest::newRow("- typed into the DC voltage leaves the channels")
        << 3 << false << QStringList{"click 2", "type DC", "range 10 В", "voltage 1500", "voltage -10001",
                                     "?voltage=1500", "?voltage@1=1500", "?voltage@2=1500"};
    QTest::newRow("frequency 0 leaves the channels")
        << 3 << false << QStringList{"click 2", "frequency 500", "frequency 0", "?frequency=500.000",
                                     "?frequency@1=500.000", "?frequency@2=500.000"};
    QTest::newRow("offset below the range leaves the channels")
        << 3 << false << QStringList{"offset 0.5", "offset -11", "?offset=0.500", "?offset@1=0.500"};
    QTest::newRow("a common voltage above a channel's range: the channel's maximum, and -")
        << 3 << false << QStringList{"click 2", "range 7 В", "range@2 0.7 В", "voltage 5000",
                                     "?voltage@1=5000", "?voltage@2=700", "?voltage=-"};
    QTest::newRow("AC after DC, modification 2: labels, defaults, offset 10 V")
        << 7 << false << QStringList{"type DC", "voltage 1500", "type AC", "?items:range=0.7 В/7 В",
                                     "?voltage@1=0", "?enabled:frequency@1=1", "?offset@1=10.000",
                                     "?offset=10.000", "?range=7 В", "?enabled:range=0"};
    QTest::newRow("DC labels, modification 1")
        << 3 << false << QStringList{"click 2", "type DC", "?items:range=1 В/10 В", "?items:range@2=1 В/10 В",
                                     "?enabled:frequency@2=0", "?enabled:offset@1=0"};
    QTest::newRow("DC labels, modification 2")
        << 7 << false << QStringList{"type DC", "?items:range=2 В/20 В", "?items:range@1=2 В/20 В",
                                     "?max:voltage@1=20000"};
    QTest::newRow("one-tenth range resets every channel, also one switched off")
        << 3 << false << QStringList{"range 7 В", "click 3", "voltage@3 3000", "click 3", "voltage@1 5000",
                                     "range 0.7 В", "?max:voltage@1=700", "?voltage@1=0",
                                     "?voltage@3=0", "?max:voltage@3=700"};
    QTest::newRow("the special type leaves no value field to edit")
        << 3 << true << QStringList{"type Особый", "?enabled:voltage=0", "?enabled:frequency=0",
                                    "?enabled:voltage@1=0", "?enabled:offset@1=0"};

    // How the common controls follow the channels.
    QTest::newRow("two DC channels: - while they differ, the value when they agree again")
        << 3 << false << QStringList{"click 2", "type DC", "range 10 В", "voltage 1500", "voltage@2 1200", "?voltage=-",
                                     "voltage@2 1500", "?voltage=1500"};
    QTest::newRow("channel 1 switched off still is the reference")
        << 3 << false << QStringList{"click 2", "click 3", "voltage@2 500", "voltage@3 500", "click 1",
                                     "?voltage=-", "?on@1=0"};
    QTest::newRow("types differ: no common type, common fields disabled; ranges agree again")
        << 3 << false << QStringList{"click 2", "click 3", "type DC", "type@3 AC", "?type=", "?voltage=-",
                                     "?enabled:range=0", "?enabled:voltage=0", "?enabled:frequency=0",
                                     "?enabled:offset=0", "?voltage@3=0", "?offset@3=0.000",
                                     "?enabled:frequency@3=1", "?range=1 В", "?items:range@3=0.7 В/7 В"};
    QTest::newRow("types agree again: the common range selector is usable again")
        << 3 << false << QStringList{"click 2", "type@2 DC", "?enabled:range=0", "?voltage=-", "type@2 AC",
                                     "?type=AC", "?voltage=0", "?enabled:range=1", "range 7 В", "?range@2=7 В"};
    QTest::newRow("types apart with the same voltage: still -")
        << 3 << false << QStringList{"click 2", "type DC", "range 10 В", "voltage 1500", "type@2 AC", "range@2 7 В",
                                     "voltage@2 1500", "?voltage@1=1500", "?voltage@2=1500", "?type=", "?voltage=-",
                                     "type@2 DC", "?type=DC", "voltage@2 1500", "?voltage=1500"};
    QTest::newRow("frequency fields differ: -")
        << 3 << false << QStringList{"click 2", "frequency@2 500", "?frequency=-", "frequency@2 1000",
                                     "?frequency=1000.000"};
    QTest::newRow("offsets differ: -")
        << 3 << false << QStringList{"click 2", "offset@1 0.5", "?offset=-"};

    // Channels switched on and off, the frequency ceiling and the all-channels box.
    QTest::newRow("frequency ceiling by channels on, fields clamped")
        << 3 << false << QStringList{"frequency 200000", "?max:frequency@1=249999", "click 2",
                                     "?max:frequency@1=124999", "?frequency@1=124999.000",
                                     "click 3", "?max:frequency@3=62499", "click 4", "?max:frequency@4=62499",
                                     "click 5", "?max:frequency@8=31249", "?frequency@2=31249.000",
                                     "?frequency=31249.000"};
    QTest::newRow("a channel switched on takes the common settings and the focus")
        << 3 << true << QStringList{"range 7 В", "voltage 3000", "offset 0.5", "click 5", "?voltage@5=3000",
                                    "?range@5=7 В", "?offset@5=0.500", "?frequency@5=1000.000", "?bold@5=1",
                                    "?bold@1=0", "?focused=5", "?all=1"};
    QTest::newRow("all channels on and off; the last one off releases the button")
        << 3 << false << QStringList{"all", "?all=2", "?on@8=1", "?voltage@8=0", "all", "?all=0", "?on@1=0",
                                     "?button=Старт", "all", "?all=2", "click 4", "?all=1"};
    QTest::newRow("all channels with mixed types keep every frequency")
        << 3 << false << QStringList{"frequency 100000", "click 3", "type@3 DC", "all", "?frequency@1=31249.000",
                                     "?frequency@2=1000.000", "?frequency@8=1000.000", "?frequency=-"};
    QTest::newRow("all channels: a channel of another type takes the common type and values")
        << 3 << false << QStringList{"click 3", "type@3 DC", "click 3", "voltage 300", "offset 0.5", "all",
                                     "?type@3=AC", "?voltage@3=300", "?offset@3=0.500", "?voltage=300"};
    QTest::newRow("a channel switched on keeps the common voltage over a range of its own")
        << 3 << false << QStringList{"click 2", "range@2 7 В", "click 2", "voltage 500", "click 2",
                                     "?range@2=0.7 В", "?voltage@2=500", "?voltage=500"};
    QTest::newRow("range selectors of channels switched off take no part")
        << 3 << false << QStringList{"?enabled:range@2=0", "?enabled:voltage@2=0", "click 2", "?enabled:range@2=1",
                                     "click 2", "?enabled:range@2=0", "?range=0.7 В"};
    QTest::newRow("fixed range: a channel switched on keeps its range selector fixed")
        << 7 << false << QStringList{"?enabled:range@2=0", "click 2", "?enabled:range@2=0", "?enabled:type@2=1"};
    QTest::newRow("all channels on a 4-channel module")
        << 7 << false << QStringList{"all", "?all=2", "?on@4=1", "?on@5=0", "?max:frequency@1=62499"};

    // The custom group follows the focused channel.
    QTest::newRow("custom shape and amplitude of the focused special channel")
        << 3 << true << QStringList{"click 6", "type@6 Особый", "?customgroup=1", "shape Пила",
                                    "?custom.shape@6=2", "amplitude 2500", "?custom.amplitude@6=2.5",
                                    "type@6 AC", "?customgroup=0"};
}

void PanelBehaviourTest::operatorScripts()
{
    QFETCH(int, slot);
    QFETCH(bool, custom);
    QFETCH(QStringList, script);
    OperatorBench bench;
    QVERIFY(bench.open(slot, custom));
    QCOMPARE(bench.violations(), QString());
    Script run{bench, QString()};
    const QString failure = run.run(script);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
}

void PanelBehaviourTest::randomOperator_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("slot");
    QTest::addColumn<bool>("custom");
    QTest::newRow("seed 1, 8 channels") << 1u << 3 << false;
    QTest::newRow("seed 2, 8 channels, custom signals") << 2u << 3 << true;
    QTest::newRow("seed 3, 4 channels, fixed range") << 3u << 7 << true;
}

// A few hundred random operator actions; after each has settled the invariants must hold. A failure
// names the seed and the actions that led to it, to be replayed as a script.
void PanelBehaviourTest::randomOperator()
{
    QFETCH(quint32, seed);
    QFETCH(int, slot);
    QFETCH(bool, custom);
    OperatorBench bench;
    QVERIFY(bench.open(slot, custom));
    QRandomGenerator random(seed);
    const auto any = [&random](const QStringList& from) { return from.at(random.bounded(from.size())); };
    const QStringList types = custom ? QStringList{"AC", "DC", "Особый"} : QStringList{"AC", "DC"};
    const QStringList ranges = {"0.7 В", "7 В", "1 В", "10 В", "2 В", "20 В"};
    const QStringList voltages = {"0", "250", "700", "1500", "7000", "-1", "-2000", "-10001", "25000"};
    const QStringList frequencies = {"0", "1", "50", "1000", "31249", "62500", "200000"};
    const QStringList offsets = {"0", "0.5", "-1", "10", "-11", "20", "-3"};
    Script script{bench, QString()};
    QStringList done;
    for (int i = 0; i < 250; ++i) {
        const QString channel = QStringLiteral("@%1").arg(1 + random.bounded(8));
        const bool common = random.bounded(3) == 0;
        const QString at = common ? QString() : channel;
        QString action;
        switch (random.bounded(9)) {
        case 0: action = "click " + channel.mid(1); break;
        case 1: action = random.bounded(4) == 0 ? "all" : "click " + channel.mid(1); break;
        case 2: action = "type" + at + ' ' + any(types); break;
        case 3: {
            // Only items the selector has: the labels follow the type.
            QComboBox* combo = common ? bench.commonRange() : bench.channelRange(channel.mid(1).toInt());
            QString item = any(ranges);
            if (combo->findText(item) < 0)
                item = combo->itemText(random.bounded(2));
            action = "range" + at + ' ' + item;
            break;
        }
        case 4: action = "voltage" + at + ' ' + any(voltages); break;
        case 5: action = "frequency" + at + ' ' + any(frequencies); break;
        case 6: action = "offset" + at + ' ' + any(offsets); break;
        case 7: action = "down " + QString(common ? "voltage" : "voltage" + channel); break;
        default: action = "down " + QString(common ? "frequency" : "offset" + channel); break;
        }
        // Fields the operator cannot reach (disabled) are left alone, as an operator would.
        QWidget* target = action.startsWith("down ") ? script.widget(action.section(' ', 1))
                          : action.startsWith("click") || action == "all" ? nullptr
                                                                          : script.widget(action.section(' ', 0, 0));
        if (target && !target->isEnabled())
            continue;
        if (action.startsWith("click") && !bench.channelGroup(action.mid(6).toInt())->isEnabled())
            continue;
        done << action;
        const QString failure = script.run({action});
        if (!failure.isEmpty())
            QFAIL(qPrintable(QStringLiteral("seed %1: %2\nactions: %3").arg(seed).arg(failure, done.join(" | "))));
    }
}

QTEST_MAIN(PanelBehaviourTest)
#include "tst_vek72_panelbehaviour.moc"
