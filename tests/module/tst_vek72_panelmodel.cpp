// The panels against a model of them (panelmodel.h): a randomised operator works the real widgets
// with keys and clicks, against a module opened in a crate service simulator of the test's own, and
// tells the model the same. After every action the panels must show what the model says, channel by
// channel and value by value, and the invariants of the panels must hold. A failure names the seed,
// the actions and the fields that differ, the first one first.
//
// VEK72_PANEL_SEEDS=N runs seeds 1001..1000+N as well (by hand: each takes about two seconds).
#include <QtTest>

#include <QRandomGenerator>

#include "operatorbench.h"
#include "panelmodel.h"

namespace {

struct Setup
{
    const char* name;
    int slot;
    bool custom;
    const char* crates;   // empty: the built-in bench
    const char* crate;
};

const Setup moduleCases[] = {
    { "modification 1, 8 channels", 3, false, "", "4B210736" },
    { "modification 1, custom signals", 3, true, "", "4B210736" },
    { "modification 2, fixed range, custom signals", 7, true, "", "4B210736" },
    { "modification 3, 6 channels, custom signals", 2, true,
      R"({"crates":[{"serial":"M3","slots":[{"slot":2,"type":8995,"modification":3,"channels":6}]}]})", "M3" },
};

// The panels as their widgets show them, read as the model answers (n = 0: the common controls).
struct Widgets
{
    const OperatorBench& b;

    // The value, minimum or maximum (0, 1, 2) of an integer or a double spin box.
    static double read(const QAbstractSpinBox* box, int what)
    {
        if (auto* s = qobject_cast<const QSpinBox*>(box))
            return what == 0 ? s->value() : what == 1 ? s->minimum() : s->maximum();
        auto* d = qobject_cast<const QDoubleSpinBox*>(box);
        return what == 0 ? d->value() : what == 1 ? d->minimum() : d->maximum();
    }

    QComboBox* type(int n) const { return n ? b.channelType(n) : b.commonType(); }
    QComboBox* range(int n) const { return n ? b.channelRange(n) : b.commonRange(); }
    QAbstractSpinBox* field(int n, int f) const
    {
        if (f == PanelModel::Voltage)
            return n ? b.channelVoltage(n) : b.commonVoltage();
        if (f == PanelModel::Frequency)
            return n ? b.channelFrequency(n) : b.commonFrequency();
        return n ? b.channelOffset(n) : b.commonOffset();
    }

    bool on(int n) const { return b.channelGroup(n)->isChecked(); }
    bool usable(int n) const { return b.channelGroup(n)->isEnabled(); }
    QString typeText(int n) const { return type(n)->currentText(); }
    bool typeEnabled(int n) const { return type(n)->isEnabled(); }
    QString rangeText(int n) const { return range(n)->currentText(); }
    bool rangeEnabled(int n) const { return range(n)->isEnabled(); }
    double value(int n, int f) const { return read(field(n, f), 0); }
    bool enabled(int n, int f) const { return field(n, f)->isEnabled(); }
    double low(int n, int f) const { return read(field(n, f), 1); }
    double high(int n, int f) const { return read(field(n, f), 2); }
    int allChannels() const { return b.module->allChannelsBox()->checkState(); }
    int ceiling() const { return b.module->maximumFrequency(); }
    bool custom() const { return b.module->customSignalsAreEnabled(); }
    int focused() const { return b.module->focusedChannelNumber(); }
    bool customGroupEnabled() const { return b.hosts.group("groupBoxCustom")->isEnabled(); }
    int customAmplitude(int n) const { return qRound(b.module->customSignal(n).amplitude * 1000); }
    int customGroupAmplitude() const { return b.hosts.spin("spinBoxCustomAmplitude")->value(); }
};

// The fields in which the panels and the model differ, the first one first; empty when none does.
QString differences(const QStringList& panels, const QStringList& model)
{
    QStringList found;
    for (int i = 0; i < panels.size() && i < model.size(); ++i) {
        if (panels[i] != model[i])
            found << QStringLiteral("the panels show \"%1\", the model says \"%2\"").arg(panels[i], model[i]);
    }
    return found.join(QLatin1String("; "));
}

// An operator who works a random control that can be used, with keys and clicks, and tells the
// model. Keys reach the module one at a time, each handled before the next, as at a person's pace:
// every item a selector passes and every value a field takes on the way is a change of its own.
class RandomOperator
{
public:
    RandomOperator(OperatorBench& bench, PanelModel& model, quint32 seed) : bench(bench), model(model), random(seed) {}

    bool settled = true;   // false once the panels did not settle after a key

    // One action; its description, or empty when the control picked cannot be used now.
    QString act()
    {
        const Widgets w{ bench };
        const int n = 1 + int(random.bounded(8));
        const int pick = int(random.bounded(20));
        if (pick < 4) {
            if (!model.usable(n))
                return QString();
            bench.clickGroup(n);
            model.switchChannel(n);
            return QStringLiteral("click %1").arg(n);
        }
        if (pick == 4) {
            bench.clickAllChannels();
            model.clickAllChannels();
            return QStringLiteral("all");
        }
        // The common control (m = 0) or one of a channel that is on.
        QList<int> on;
        for (int k = 1; k <= 8; ++k) {
            if (model.on(k))
                on << k;
        }
        const int m = pick >= 12 ? 0 : on.isEmpty() ? -1 : on.at(int(random.bounded(on.size())));
        if (m < 0)
            return QString();
        if (pick < 8 || pick == 12) {
            const int item = int(random.bounded(model.typeItems()));
            model.touch(m);
            select(w.type(m), item, [&](int at) { model.pickType(m, at); });
            return QStringLiteral("type%1 %2").arg(at(m), PanelModel::typeName(item));
        }
        if (pick == 8 || pick == 13) {
            if (!model.rangeEnabled(m))
                return QString();
            const int item = int(random.bounded(2));
            model.touch(m);
            select(w.range(m), item, [&](int at) { model.pickRange(m, at); });
            return QStringLiteral("range%1 %2").arg(at(m), w.range(m)->itemText(item));
        }
        if (pick >= 18 && model.customGroupEnabled()) {
            const QString text = any({ "0", "1500", "2500", "10000" });
            enter(bench.hosts.spin("spinBoxCustomAmplitude"), text, [&](double v) { model.enterCustomAmplitude(int(v)); });
            return "amplitude " + text;
        }
        const int f = int(random.bounded(3));
        if (!model.enabled(m, f))
            return QString();
        // Often the common field's "-" value: 0 Hz, or one below the voltage or offset range.
        const QString dash = QString::number(model.low(0, f));
        static const QStringList voltages{ "0", "250", "300", "700", "1500", "7000", "-2000", "-10001", "25000" };
        static const QStringList frequencies{ "0", "1", "50", "1000", "31249", "62500", "100000", "200000" };
        static const QStringList offsets{ "0", "0.5", "-1", "-2", "10", "-11", "20", "-3" };
        const QString text = random.bounded(5) == 0 ? QString()   // one step down
                             : m == 0 && random.bounded(3) == 0 ? dash
                                                                : any(f == 0 ? voltages : f == 1 ? frequencies : offsets);
        model.touch(m);
        enter(w.field(m, f), text, [&](double v) { model.enter(m, f, v); });
        static const char* const names[] = { "voltage", "frequency", "offset" };
        return QStringLiteral("%1%2 %3").arg(names[f], at(m), text.isEmpty() ? QStringLiteral("down") : text);
    }

private:
    static QString at(int n) { return n ? QStringLiteral("@%1").arg(n) : QString(); }
    QString any(const QStringList& from) { return from.at(int(random.bounded(from.size()))); }
    void settle() { settled = settled && bench.settle(); }

    // Picks an item with the arrow keys.
    template <typename Picked>
    void select(QComboBox* combo, int item, Picked picked)
    {
        combo->setFocus(Qt::OtherFocusReason);
        for (int guard = 0; guard < 4 && combo->currentIndex() != item; ++guard) {
            QTest::keyClick(combo, combo->currentIndex() < item ? Qt::Key_Down : Qt::Key_Up);
            picked(combo->currentIndex());
            settle();
        }
    }

    // Types `text` over what the field shows, key by key, or steps it down once (empty text).
    template <typename Changed>
    void enter(QAbstractSpinBox* field, const QString& text, Changed changed)
    {
        const auto key = [&](Qt::Key k, Qt::KeyboardModifiers modifiers, const QString& typed) {
            const double before = Widgets::read(field, 0);
            if (typed.isEmpty())
                QTest::keyClick(field, k, modifiers);
            else
                QTest::keyClicks(field, typed);
            if (Widgets::read(field, 0) != before) {   // else nothing reaches the module
                changed(Widgets::read(field, 0));
                settle();
            }
        };
        field->setFocus(Qt::OtherFocusReason);
        if (text.isEmpty())
            return key(Qt::Key_Down, Qt::NoModifier, QString());
        key(Qt::Key_A, Qt::ControlModifier, QString());
        for (const QChar c : text)
            key(Qt::Key_unknown, Qt::NoModifier, QString(c));
    }

    OperatorBench& bench;
    PanelModel& model;
    QRandomGenerator random;
};

} // namespace

class PanelModelTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initStendixResources(); }
    void randomOperator_data();
    void randomOperator();
};

void PanelModelTest::randomOperator_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("setup");
    for (int i = 0; i < 4; ++i)
        QTest::addRow("seed %d, %s", i + 1, moduleCases[i].name) << quint32(i + 1) << i;
    const int more = qEnvironmentVariableIntValue("VEK72_PANEL_SEEDS");
    for (int seed = 1001; seed <= 1000 + more; ++seed)
        QTest::addRow("seed %d, %s", seed, moduleCases[seed % 4].name) << quint32(seed) << seed % 4;
}

// 300 actions; after each has settled the panels must show what the model says.
void PanelModelTest::randomOperator()
{
    QFETCH(quint32, seed);
    QFETCH(int, setup);
    const Setup& s = moduleCases[setup];
    OperatorBench bench;
    QVERIFY(bench.open(s.slot, s.custom, QByteArray(s.crates), QString::fromLatin1(s.crate)));
    PanelModel model(bench.modification, bench.channelCount, s.custom);
    RandomOperator operator_(bench, model, seed);
    QStringList done{ "open" };
    const auto check = [&]() -> QString {
        if (!operator_.settled || !bench.settle())
            return QStringLiteral("the panels did not settle");
        const QString differ = differences(panelView(Widgets{ bench }), panelView(model));
        return differ.isEmpty() ? bench.violations() : differ;
    };
    QString failure = check();
    for (int tries = 0; failure.isEmpty() && done.size() <= 300 && tries < 10000; ++tries) {
        const QString action = operator_.act();
        if (!action.isEmpty()) {
            done << action;
            failure = check();
        }
    }
    QVERIFY2(failure.isEmpty(), qPrintable(QStringLiteral("seed %1 (%2), after \"%3\": %4\nactions: %5")
                                               .arg(seed).arg(s.name, done.last(), failure, done.join(" | "))));
}

QTEST_MAIN(PanelModelTest)
#include "tst_vek72_panelmodel.moc"
