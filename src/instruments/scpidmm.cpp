#include "scpidmm.h"

#include "sockettransport.h"

#include <QStringList>

namespace instruments {

namespace {

constexpr double overloadReading = 9.9e37; // what the meter answers beyond its range

QByteArray numberText(double v)
{
    return QByteArray::number(v, 'g', 10);
}

} // namespace

int readingTimeMs(const DmmSetup& setup)
{
    switch (setup.function) {
    case DmmFunction::DcVoltage: return int(2 * setup.nplc * 20 + 1);
    case DmmFunction::AcVoltage: return setup.acBandwidthHz >= 200 ? 25 : setup.acBandwidthHz >= 20 ? 625 : 2500;
    case DmmFunction::Frequency: return int(setup.gateSeconds * 1000 + 1);
    }
    return 0;
}

int readingBoundMs(const DmmSetup& setup)
{
    return 2 * readingTimeMs(setup) + 1000;
}

ScpiDmm::ScpiDmm(std::unique_ptr<LineTransport> transport, QObject* parent)
    : Dmm(parent), transport_(std::move(transport)), client_(*transport_)
{
}

std::unique_ptr<ScpiDmm> ScpiDmm::atAddress(const QString& address, const std::atomic<bool>* cancel)
{
    QString host;
    quint16 port = 0;
    if (!SocketTransport::parseAddress(address, &host, &port))
        return nullptr;
    return std::make_unique<ScpiDmm>(std::make_unique<SocketTransport>(host, port, cancel));
}

QByteArrayList ScpiDmm::setupCommands(const DmmSetup& setup)
{
    QByteArrayList lines;
    if (setup.scannerChannel > 0)
        lines << "ROUT:CLOS (@" + QByteArray::number(100 + setup.scannerChannel) + ")";
    const QByteArray range = setup.range > 0 ? numberText(setup.range) : QByteArray("AUTO");
    switch (setup.function) {
    case DmmFunction::DcVoltage:
        lines << "CONF:VOLT:DC " + range << "VOLT:DC:NPLC " + numberText(setup.nplc);
        break;
    case DmmFunction::AcVoltage:
        lines << "CONF:VOLT:AC " + range << "VOLT:AC:BAND " + QByteArray::number(setup.acBandwidthHz);
        break;
    case DmmFunction::Frequency:
        lines << "CONF:FREQ" << "FREQ:APER " + numberText(setup.gateSeconds);
        break;
    }
    return lines;
}

QString ScpiDmm::address() const
{
    return transport_->peerName();
}

bool ScpiDmm::isOpen() const
{
    return open_;
}

void ScpiDmm::close()
{
    open_ = false;
    transport_->close();
}

bool ScpiDmm::failed(QString* error)
{
    const QString reason = QStringLiteral("мультиметр %1 %2").arg(address(), client_.failureText());
    if (error)
        *error = reason;
    if (client_.linkBroken()) {
        // Given up by its owner (closing), the meter is not lost: nobody is told.
        const bool wasOpen = open_ && client_.linkStatus() != LinkStatus::Cancelled;
        close();
        if (wasOpen)
            emit lost(reason);
    }
    return false;
}

bool ScpiDmm::open(QString* error)
{
    close();
    identity_.clear();
    const LinkStatus status = transport_->open(connectBoundMs);
    if (status != LinkStatus::Ok) {
        if (error)
            *error = QStringLiteral("мультиметр %1 %2").arg(address(), linkStatusText(status, connectBoundMs));
        return false;
    }
    QByteArray answer;
    if (!client_.query("*IDN?", &answer, queryBoundMs))
        return failed(error);
    // maker,model,serial,firmware in printable characters
    const QString idn = QString::fromLatin1(answer.trimmed());
    bool printable = !idn.isEmpty();
    for (QChar c : idn)
        printable = printable && c.unicode() >= 0x20 && c.unicode() < 0x7F;
    if (!printable || idn.split(QLatin1Char(',')).size() < 4) {
        if (error)
            *error = QStringLiteral("по адресу %1 ответил не мультиметр: «%2»").arg(address(), idn.left(60));
        close();
        return false;
    }
    QStringList errors;
    if (!client_.write("*RST", queryBoundMs) || !client_.write("*CLS", queryBoundMs)
        || !client_.waitComplete(completeBoundMs) || !client_.drainErrors(&errors, queryBoundMs)) {
        failed(error);
        close();
        return false;
    }
    identity_ = idn;
    open_ = true;
    setup_ = DmmSetup();
    emit found(identity_);
    return true;
}

bool ScpiDmm::configure(const DmmSetup& setup, QString* error)
{
    if (!open_) {
        if (error)
            *error = QStringLiteral("мультиметр %1 не подключён").arg(address());
        return false;
    }
    for (const QByteArray& line : setupCommands(setup)) {
        if (!client_.write(line, queryBoundMs))
            return failed(error);
    }
    QStringList errors;
    if (!client_.waitComplete(completeBoundMs) || !client_.drainErrors(&errors, queryBoundMs)) {
        if (client_.failure() == ScpiClient::Failure::Instrument && error)
            *error = QStringLiteral("мультиметр %1 не принял настройку: %2").arg(address(), client_.failureText());
        return client_.failure() == ScpiClient::Failure::Instrument ? false : failed(error);
    }
    setup_ = setup;
    return true;
}

bool ScpiDmm::read(DmmReading* reading, QString* error)
{
    if (!open_) {
        if (error)
            *error = QStringLiteral("мультиметр %1 не подключён").arg(address());
        return false;
    }
    double value = 0;
    if (!client_.queryNumber("READ?", &value, readingBoundMs(setup_)))
        return failed(error);
    reading->overload = value >= overloadReading;
    reading->value = reading->overload ? 0 : value;
    return true;
}

} // namespace instruments
