// The module opened against a crate service simulator of the test's own, its panels shown in a window
// and the module object on a thread of its own, as in the program; and an operator who works the
// panels with keys and clicks. After every action the test lets the module settle (its slots and
// their follow-ups have run) and can check what the panels must always show.
#ifndef VEK72_TESTS_OPERATORBENCH_H
#define VEK72_TESTS_OPERATORBENCH_H

#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLocale>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionButton>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <memory>

#include "apptestutil.h"
#include "modificationlimits.h"
#include "panelhosts.h"
#include "threads.h"
#include "vekdrunner.h"

class OperatorBench
{
public:
    VekdRunner service;
    PanelHosts hosts;
    std::unique_ptr<ModuleVek72> module;
    std::unique_ptr<ModuleThread> moduleThread;
    std::atomic<int> restarts{0};   // restart() requests of the module object
    int channelCount = 0;
    int modification = 0;

    // Opens `slot` of the built-in bench's crate "4B210736" (3: modification 1 with 8 channels,
    // 7: modification 2 with 4 channels), from this thread as the window's selection does.
    bool open(int slot, bool customSignals, const QByteArray& crates = QByteArray(),
              const QString& crate = QStringLiteral("4B210736"), const QByteArray& settings = QByteArray())
    {
        QLocale::setDefault(QLocale::c());
        if (!service.start(crates))
            return false;
        module = makeModule(customSignals, settings);
        QObject::connect(module.get(), &ModuleVek72::restart, module.get(), [this] { ++restarts; },
                         Qt::DirectConnection);
        moduleThread.reset(new ModuleThread(module.get()));
        hosts.build(*module);
        hosts.window.show();
        if (!QTest::qWaitForWindowExposed(&hosts.window))
            return false;
        QString serial = crate;
        if (!module->open(serial, quint16(slot)))
            return false;
        const QString name = module->name(true);
        modification = name.section('-', 1, 1).toInt();
        channelCount = name.section('-', 2, 2).toInt();
        return settle();
    }

    ~OperatorBench()
    {
        if (module && module->isRunning())
            module->stop();
        if (module && module->isOpened())
            module->close();
        moduleThread.reset();
    }

    // Lets the module thread run every call queued to it, and the follow-ups those cause, until the
    // panels stop changing. False when they never did.
    bool settle()
    {
        QString before = snapshot();
        for (int round = 0; round < 50; ++round) {
            if (!flushModuleThread())
                return false;
            QCoreApplication::processEvents();
            const QString now = snapshot();
            if (now == before && permits() == 0)
                return true;
            before = now;
        }
        return false;
    }

    // Waits until the module thread has run every call queued to it so far, while this thread
    // serves the calls that those make to the panels. Wakes as soon as the marker has run.
    bool flushModuleThread(int timeoutMs = 10000)
    {
        auto ran = std::make_shared<std::atomic<bool>>(false);
        QMetaObject::invokeMethod(module.get(), [ran] {
            ran->store(true);
            QMetaObject::invokeMethod(QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
        }, Qt::QueuedConnection);
        QTimer tick;   // wakes the wait now and then, whatever comes
        tick.start(50);
        QElapsedTimer clock;
        clock.start();
        while (!ran->load() && clock.elapsed() < timeoutMs)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return ran->load();
    }

    // --- What the operator does -----------------------------------------------------------------

    void clickGroup(int channel)
    {
        QGroupBox* group = channelGroup(channel);
        group->setFocus(Qt::MouseFocusReason);
        QTest::keyClick(group, Qt::Key_Space);
    }
    // Picks the item by moving through the list with the arrow keys.
    void pick(QComboBox* combo, const QString& text)
    {
        const int target = combo->findText(text);
        combo->setFocus(Qt::OtherFocusReason);
        for (int guard = 0; guard < 8 && combo->currentIndex() != target; ++guard)
            QTest::keyClick(combo, combo->currentIndex() < target ? Qt::Key_Down : Qt::Key_Up);
    }
    // Replaces what a field shows by typing, key by key.
    void type(QAbstractSpinBox* field, const QString& text)
    {
        field->setFocus(Qt::OtherFocusReason);
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(field, text);
    }
    void pressReturn(QAbstractSpinBox* field) { QTest::keyClick(field, Qt::Key_Return); }
    void stepDown(QAbstractSpinBox* field) { QTest::keyClick(field, Qt::Key_Down); }
    // A click on the box itself (the widget is wider than its box and text).
    void clickAllChannels()
    {
        QCheckBox* box = module->allChannelsBox();
        QStyleOptionButton option;
        option.initFrom(box);
        const QRect indicator = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
        QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, indicator.center());
    }

    // --- Widgets --------------------------------------------------------------------------------

    QGroupBox* channelGroup(int n) const { return hosts.channel<QGroupBox>("groupBoxCh", n); }
    QComboBox* channelType(int n) const { return hosts.channel<QComboBox>("comboBoxVoltageTypeCh", n); }
    QComboBox* channelRange(int n) const { return hosts.channel<QComboBox>("comboBoxRangeCh", n); }
    QSpinBox* channelVoltage(int n) const { return hosts.channel<QSpinBox>("spinBoxVoltageCh", n); }
    QDoubleSpinBox* channelFrequency(int n) const { return hosts.channel<QDoubleSpinBox>("doubleSpinBoxFrequencyCh", n); }
    QDoubleSpinBox* channelOffset(int n) const { return hosts.channel<QDoubleSpinBox>("doubleSpinBoxOffsetCh", n); }
    QComboBox* commonType() const { return hosts.combo("comboBoxVoltageType"); }
    QComboBox* commonRange() const { return hosts.combo("comboBoxRange"); }
    QSpinBox* commonVoltage() const { return hosts.spin("spinBoxVoltage"); }
    QDoubleSpinBox* commonFrequency() const { return hosts.dspin("doubleSpinBoxFrequency"); }
    QDoubleSpinBox* commonOffset() const { return hosts.dspin("doubleSpinBoxOffset"); }
    QPushButton* startStop() const { return hosts.find<QPushButton>("pushButtonStartStop"); }

    const ModificationLimits& limits() const { return limitsForModification(modification); }

    int permits() const
    {
        int total = 0;
        for (int family = 0; family < 12; ++family)
            total += module->echoPermits(family);
        return total;
    }

    // Everything an operator can see of both panels, as one text.
    QString snapshot() const
    {
        QStringList parts;
        const auto spin = [](QAbstractSpinBox* s) {
            return QStringLiteral("%1/%2").arg(s->text()).arg(s->isEnabled());
        };
        parts << commonType()->currentText() << commonRange()->currentText() << spin(commonVoltage())
              << spin(commonFrequency()) << spin(commonOffset())
              << QString::number(module->allChannelsBox()->checkState()) << startStop()->text();
        for (int n = 1; n <= 8; ++n) {
            parts << QStringLiteral("%1%2").arg(channelGroup(n)->isChecked()).arg(channelGroup(n)->isEnabled())
                  << channelType(n)->currentText() << channelRange(n)->currentText()
                  << spin(channelVoltage(n)) << spin(channelFrequency(n)) << spin(channelOffset(n))
                  << QString::number(channelVoltage(n)->maximum()) << QString::number(channelFrequency(n)->maximum());
        }
        return parts.join('|');
    }

    // What the panels must show whenever the module has settled; empty when all holds.
    //  - no echo permit is left over;
    //  - a common control that shows a value shows the value of every enabled channel, and shows
    //    "-" (no item for a selector) when the enabled channels differ;
    //  - the all-channels box tells whether all, none or some channels are on, and every frequency
    //    field's ceiling follows the number of channels on;
    //  - every channel voltage field has the maximum of its type and range;
    //  - no channel beyond the module's channel count is on or can be switched on.
    QString violations() const
    {
        if (permits() != 0)
            return QStringLiteral("%1 echo permits left over").arg(permits());
        const ModificationLimits& lim = limits();
        QList<int> on;
        for (int n = 1; n <= 8; ++n) {
            if (n > channelCount) {
                if (channelGroup(n)->isChecked() || channelGroup(n)->isEnabled())
                    return QStringLiteral("channel %1 beyond the module's %2 is usable").arg(n).arg(channelCount);
            } else if (channelGroup(n)->isChecked()) {
                on << n;
            }
        }

        const auto agreement = [&](const char* what, auto read, auto enabled, auto shown, auto differs) -> QString {
            QList<QString> values;
            for (int n : on) {
                if (enabled(n))
                    values << read(n);
            }
            bool differ = false;
            for (const QString& v : values)
                differ = differ || v != values.first();
            if (differ && !differs())
                return QStringLiteral("%1: channels differ (%2) but the common control shows %3")
                    .arg(what, QStringList(values).join(','), shown());
            if (!differs()) {
                for (const QString& v : values) {
                    if (v != shown())
                        return QStringLiteral("%1: the common control shows %2, a channel holds %3").arg(what, shown(), v);
                }
            }
            return QString();
        };
        QString fault = agreement(
            "type", [&](int n) { return channelType(n)->currentText(); },
            [&](int n) { return channelType(n)->isEnabled(); }, [&] { return commonType()->currentText(); },
            [&] { return commonType()->currentIndex() < 0; });
        if (!fault.isEmpty())
            return fault;
        fault = agreement(
            "range", [&](int n) { return QString::number(channelRange(n)->currentIndex()); },
            [&](int n) { return channelRange(n)->isEnabled() || modification == 2; },
            [&] { return QString::number(commonRange()->currentIndex()); },
            [&] { return commonRange()->currentIndex() < 0; });
        if (!fault.isEmpty())
            return fault;
        const VoltageTypeCode common = voltageTypeFromText(commonType()->currentText());
        if (common != VoltageTypeOther) {
            const int below = common == VoltageTypeAc ? lim.acBelowMin : lim.dcBelowMin;
            fault = agreement(
                "voltage", [&](int n) { return QString::number(channelVoltage(n)->value()); },
                [&](int n) { return channelVoltage(n)->isEnabled(); },
                [&] { return QString::number(commonVoltage()->value()); },
                [&] { return commonVoltage()->value() == below; });
            if (!fault.isEmpty())
                return fault;
        }
        // Without a common type the channels' voltages are no common quantity: "-", as the other
        // fields show where the channels differ.
        if (commonType()->currentIndex() < 0 && commonVoltage()->text() != QLatin1String("-"))
            return QStringLiteral("types apart, but the common voltage shows %1").arg(commonVoltage()->text());
        if (common == VoltageTypeAc) {
            fault = agreement(
                "frequency", [&](int n) { return QString::number(channelFrequency(n)->value()); },
                [&](int n) { return channelFrequency(n)->isEnabled(); },
                [&] { return QString::number(commonFrequency()->value()); },
                [&] { return commonFrequency()->value() == 0; });
            if (!fault.isEmpty())
                return fault;
            fault = agreement(
                "offset", [&](int n) { return QString::number(channelOffset(n)->value()); },
                [&](int n) { return channelOffset(n)->isEnabled(); },
                [&] { return QString::number(commonOffset()->value()); },
                [&] { return commonOffset()->value() == lim.offsetBelowMinVolts; });
            if (!fault.isEmpty())
                return fault;
        }

        const Qt::CheckState all = on.isEmpty() ? Qt::Unchecked
                                   : on.size() == channelCount ? Qt::Checked : Qt::PartiallyChecked;
        if (module->allChannelsBox()->checkState() != all)
            return QStringLiteral("the all-channels box shows %1 with %2 of %3 channels on")
                .arg(module->allChannelsBox()->checkState()).arg(on.size()).arg(channelCount);
        const int ceiling = on.size() <= 1 ? 249999 : on.size() == 2 ? 124999 : on.size() <= 4 ? 62499 : 31249;
        if (module->maximumFrequency() != ceiling || commonFrequency()->maximum() != ceiling)
            return QStringLiteral("frequency ceiling %1 with %2 channels on").arg(module->maximumFrequency()).arg(on.size());
        for (int n = 1; n <= channelCount; ++n) {
            if (channelFrequency(n)->maximum() != ceiling)
                return QStringLiteral("channel %1 frequency ceiling %2, not %3").arg(n).arg(channelFrequency(n)->maximum()).arg(ceiling);
            const VoltageTypeCode type = voltageTypeFromText(channelType(n)->currentText());
            if (type == VoltageTypeOther)
                continue;
            const int code = rangeCodeFromText(lim, channelRange(n)->currentText());
            const int maximum = voltageMaximum(lim, type, code, -1);
            if (code == 0 || channelVoltage(n)->maximum() != maximum)
                return QStringLiteral("channel %1 (%2, \"%3\") allows up to %4 mV, not %5")
                    .arg(n).arg(channelType(n)->currentText(), channelRange(n)->currentText())
                    .arg(channelVoltage(n)->maximum()).arg(maximum);
        }
        return QString();
    }
};

// A channel as an operator sets it: switched on, type, range, values typed.
struct ChannelSetting
{
    int channel;
    QString type;
    QString range;
    QString voltage;
    QString frequency = QString();
    QString offset = QString();
};

inline void setChannel(OperatorBench& bench, const ChannelSetting& s)
{
    if (!bench.channelGroup(s.channel)->isChecked())
        bench.clickGroup(s.channel);
    bench.settle();
    bench.pick(bench.channelType(s.channel), s.type);
    bench.settle();
    bench.pick(bench.channelRange(s.channel), s.range);
    bench.settle();
    bench.type(bench.channelVoltage(s.channel), s.voltage);
    if (!s.frequency.isEmpty())
        bench.type(bench.channelFrequency(s.channel), s.frequency);
    if (!s.offset.isEmpty())
        bench.type(bench.channelOffset(s.channel), s.offset);
    bench.settle();
}

#endif
