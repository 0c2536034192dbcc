#include "dmmmonitor.h"

#include "scpidmm.h"

#include <QThread>

namespace instruments {

DmmMonitor::DmmMonitor(const QString& address, QObject* parent)
    : DmmMonitor(Factory([address](const std::atomic<bool>* cancel) -> std::unique_ptr<Dmm> {
                     return ScpiDmm::atAddress(address, cancel);
                 }),
                 parent)
{
    address_ = address;
}

DmmMonitor::DmmMonitor(Factory factory, QObject* parent) : QObject(parent), factory_(std::move(factory)), timer_(this)
{
    qRegisterMetaType<instruments::DmmSetup>();
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &DmmMonitor::next);
}

DmmMonitor::~DmmMonitor() = default;

void DmmMonitor::connectInstrument()
{
    timer_.stop();
    dmm_.reset();
    if (cancelled_)
        return;
    dmm_ = factory_(&cancelled_);
    if (!dmm_) {
        emit notFound(QStringLiteral("адрес мультиметра «%1» не в виде «узел:порт»").arg(address_));
        return;
    }
    connect(dmm_.get(), &Dmm::found, this, &DmmMonitor::found);
    connect(dmm_.get(), &Dmm::lost, this, &DmmMonitor::lost);
    QString error;
    if (!dmm_->open(&error)) {
        emit notFound(error);
        return;
    }
    configured_ = false;
    if (on_)
        timer_.start(0);
}

void DmmMonitor::measure(DmmSetup setup, bool on)
{
    setup_ = setup;
    on_ = on;
    configured_ = false;
    if (on_)
        timer_.start(0);
    else
        timer_.stop();
}

void DmmMonitor::setPeriod(int ms)
{
    periodMs_ = qMax(0, ms);
}

void DmmMonitor::next()
{
    if (!on_ || cancelled_ || !dmm_ || !dmm_->isOpen())
        return;
    QString error;
    if (!configured_) {
        if (!dmm_->configure(setup_, &error)) {
            // A meter lost on the way has said so already.
            if (dmm_->isOpen()) {
                on_ = false;
                emit refused(error);
            }
            return;
        }
        configured_ = true;
    }
    sinceReading_.start();
    DmmReading r;
    if (!dmm_->read(&r, &error))
        return;
    emit reading(setup_, r.value, r.overload);
    timer_.start(int(qMax<qint64>(0, periodMs_ - sinceReading_.elapsed())));
}

void DmmMonitor::shutDown(QThread* home)
{
    timer_.stop();
    dmm_.reset();
    moveToThread(home);
}

} // namespace instruments
