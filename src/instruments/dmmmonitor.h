// Live readings of a DMM for a window: a worker that lives on a thread of its own, takes one
// reading after another of what it is told to measure, at most one per period (or as fast as the
// meter reads, when that is slower), and reports readings, the meter found, not found and lost.
// Everything it asks the meter is bounded; a window talks to it only by queued calls and signals,
// so nothing it waits for holds the window.
#ifndef INSTRUMENTS_DMMMONITOR_H
#define INSTRUMENTS_DMMMONITOR_H

#include "dmm.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>

class QThread;

namespace instruments {

class DmmMonitor : public QObject {
    Q_OBJECT
public:
    // Makes the meter, on the monitor's thread, when it (re)connects; `cancel` is the flag the
    // meter's waits look at (see cancel()).
    using Factory = std::function<std::unique_ptr<Dmm>(const std::atomic<bool>* cancel)>;

    // A meter on the network at "host:port".
    explicit DmmMonitor(const QString& address, QObject* parent = nullptr);
    DmmMonitor(Factory factory, QObject* parent = nullptr);
    ~DmmMonitor() override;

    // Any thread: whatever the monitor waits for gives up within 50 ms, and it asks the meter
    // nothing more. For closing.
    void cancel() { cancelled_ = true; }

public slots:
    // (Re)connects to the meter: found() or notFound(). Readings go on with what measure() said.
    void connectInstrument();
    // What to read from now on (on false: nothing). A reading under way is still reported, with the
    // setup it was taken with.
    void measure(instruments::DmmSetup setup, bool on);
    // The shortest time from the start of one reading to the start of the next, milliseconds.
    void setPeriod(int ms);
    // Closes the meter and hands this object back to `home`, the thread that will delete it.
    void shutDown(QThread* home);

signals:
    void found(QString identity);
    void notFound(QString reason);
    void lost(QString reason);
    // The meter refused the setup (it is still there); no readings until the next measure().
    void refused(QString reason);
    void reading(instruments::DmmSetup setup, double value, bool overload);

private slots:
    void next();

private:
    Factory factory_;
    QString address_; // for messages, when the monitor makes the meter from it
    std::atomic<bool> cancelled_{false};
    std::unique_ptr<Dmm> dmm_;
    QTimer timer_;
    QElapsedTimer sinceReading_;
    DmmSetup setup_;
    bool on_ = false;
    bool configured_ = false;
    int periodMs_ = 500;
};

} // namespace instruments

#endif
