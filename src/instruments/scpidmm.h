// The DMM of the bench over SCPI: the dialect of the 6½-digit LAN meters the bench uses
// (CONFigure, [SENSe:]VOLTage:AC:BANDwidth, [SENSe:]VOLTage:DC:NPLC, FREQuency:APERture,
// ROUTe:CLOSe, READ?), on any line transport.
#ifndef INSTRUMENTS_SCPIDMM_H
#define INSTRUMENTS_SCPIDMM_H

#include "dmm.h"
#include "linetransport.h"
#include "scpiclient.h"

#include <QByteArrayList>

#include <atomic>
#include <memory>

namespace instruments {

class ScpiDmm : public Dmm {
    Q_OBJECT
public:
    // Bounds of the exchanges that are not readings, milliseconds.
    static constexpr int connectBoundMs = 3000;
    static constexpr int queryBoundMs = 1000;
    static constexpr int completeBoundMs = 5000; // *OPC? after *RST or a setup

    explicit ScpiDmm(std::unique_ptr<LineTransport> transport, QObject* parent = nullptr);
    // A meter at "host:port" on the network; null when the address is not of that form.
    static std::unique_ptr<ScpiDmm> atAddress(const QString& address, const std::atomic<bool>* cancel = nullptr);

    // The command lines that set a meter up for `setup`, in order.
    static QByteArrayList setupCommands(const DmmSetup& setup);

    QString address() const override;
    bool open(QString* error) override;
    void close() override;
    bool isOpen() const override;
    QString identity() const override { return identity_; }
    bool configure(const DmmSetup& setup, QString* error) override;
    bool read(DmmReading* reading, QString* error) override;

private:
    // The client failed: a broken link loses the meter (once); the reason goes to *error.
    bool failed(QString* error);

    std::unique_ptr<LineTransport> transport_;
    ScpiClient client_;
    QString identity_;
    DmmSetup setup_;
    bool open_ = false;
};

} // namespace instruments

#endif
