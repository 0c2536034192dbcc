// Connecting to the module and letting it go: open names the variant, fills the information page
// and brings the panels in line with the module's limits and channel count; close drives every
// output to zero before the connection goes.
#include "modulevek72.h"

#include <QComboBox>
#include <QDebug>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QMutexLocker>
#include <QSpinBox>

#include <limits>

#include "modulevek72guihandler.h"
#include "ui_vek72controls.h"
#include "ui_vek72info.h"
#include "ui_vek72settings.h"
#include "serviceaddress.h"
#include "vek72error.h"
#include "widgetsync.h"

using namespace channelwidgets;

namespace {

// The module's serial number as its information block holds it (NUL-terminated or full length).
QString serialText(const TVEK72& handle)
{
    return QString::fromLatin1(handle.info.serial, int(qstrnlen(handle.info.serial, VEK72_SERIAL_SIZE)));
}

} // namespace

// The library call, then the panels on the GUI thread in one piece, with the value fields'
// connections cut meanwhile (their changes here are not edits), then the variant's name.
bool ModuleVek72::open(QString& crateSerial, quint16 slot)
{
    const QByteArray crate = crateSerial.toUtf8();
    int code = 0;
    int channels = 0;
    int firmware = 0;
    QString serial;
    {
        QMutexLocker lock(&handleMutex);
        if (!openHandle(crate, slot))
            return false;
        code = handle.info.modification;
        channels = qBound(0, int(handle.info.dacChannelCount), panelChannels);
        firmware = handle.info.firmware;
        serial = serialText(handle);
        letGo = false;
        if (sender && code >= 1 && code <= 3)
            sender->expectConnection(true);
        // Whatever another client (or this program, closed without zeroing) left it doing.
        if (code >= 1 && code <= 3)
            restFound(slot);
    }

    if (code < 1 || code > 3) {
        // Nothing can be done with a module of an unknown kind: it is let go at once, so that it
        // is not left opened by this program (the next open of this handle would be refused as
        // already open, and the module as busy for everyone else). The panels keep what they
        // showed, and the name of a module opened before does not stay.
        modificationName.clear();
        qCritical().noquote() << QStringLiteral("Неизвестный тип модуля");
        QMutexLocker lock(&handleMutex);
        VEK72_Close(&handle);
        return false;
    }

    // The handler lives on the GUI thread as long as the panels: if this wait ends by time-out and
    // the module object goes away, the queued set-up is dropped with the handler.
    if (guiHandler
        && !widgetsync::runOn(guiHandler, [this, crateSerial, slot, code, channels, serial, firmware] {
               preparePanelsForModule(crateSerial, slot, code, channels, serial, firmware);
           }))
        qWarning().noquote() << QStringLiteral("Панели модуля не подготовлены: интерфейс не ответил вовремя");
    modificationName = name(true);
    return true;
}

bool ModuleVek72::openHandle(const QByteArray& crate, quint16 slot)
{
    const ServiceAddress service = configuredService();
    const int result = VEK72_Open(&handle, service.host, service.port, crate.constData(), slot);
    if (result != VEK72_OK)
        logVek72Error(QStringLiteral("Не удалось установить связь с модулем. Ошибка %1 (%2)"), result);
    return result == VEK72_OK;
}

bool ModuleVek72::probe(QString& crateSerial, quint16 slot, QString& nameWithModification)
{
    QMutexLocker lock(&handleMutex);
    if (!openHandle(crateSerial.toUtf8(), slot))
        return false;
    const int code = handle.info.modification;
    if (code >= 1 && code <= 3) {
        nameWithModification = name(true);
        // A module left playing or at a level does not stay so through a discovery.
        restFound(slot);
        setSafety(OutputSafety::Safe);
    } else {
        qCritical().noquote() << QStringLiteral("Неизвестный тип модуля");
    }
    VEK72_Close(&handle);
    return code >= 1 && code <= 3 && VEK72_IsOpened(&handle) != VEK72_OK;
}

QString ModuleVek72::serial() const
{
    if (!isOpened())
        return QStringLiteral("?");
    QMutexLocker lock(&handleMutex);
    return serialText(handle);
}

void ModuleVek72::preparePanelsForModule(const QString& crate, int slot, int code, int channels,
                                         const QString& serial, int firmware)
{
    if (infoHost) {
        infoUi->lineEditModuleSerial->setText(serial);
        infoUi->lineEditModuleFirmware->setText(QString::number(firmware));
    }
    // The same module again (after a discovery, or after its connection was lost and found again):
    // the panels keep what the operator set.
    if (crate == panelCrate && slot == panelSlot && code == panelModification && channels == panelChannelCount)
        return;
    panelCrate = crate;
    panelSlot = slot;
    for (int i = 0; i < panelChannels; ++i) {
        requestedFrequency[i] = std::numeric_limits<double>::quiet_NaN();
        achievedShown[i] = std::numeric_limits<double>::quiet_NaN();
    }
    panelModification = code;
    panelChannelCount = channels;
    const ModificationLimits& lim = limits();

    // Until the end the value fields' connections are cut: nothing announces their changes.
    linkValueFields(false);
    valueFieldsLinked = false;

    if (customSignalsEnabled)
        resetCustomSignals();

    // Common controls: limits of this modification, default values.
    if (settingsHost) {
        Ui::Vek72Settings* ui = settingsUi;
        const VoltageTypeCode type = commonType();
        if (code == 2 && type != VoltageTypeOther)
            setQuietly(skipRange, ui->comboBoxRange, 1);
        if (type != VoltageTypeOther)
            prepareCommonVoltage(type);
        else
            ui->spinBoxVoltage->setValue(lim.voltageDefault);
        ui->doubleSpinBoxFrequency->setRange(0, frequencyCeiling);
        ui->doubleSpinBoxFrequency->setValue(defaultFrequency);
        ui->doubleSpinBoxOffset->setMinimum(lim.offsetBelowMinVolts);
        ui->doubleSpinBoxOffset->setMaximum(lim.offsetMax / 1000.0);
        ui->doubleSpinBoxOffset->setValue(lim.offsetDefault / 1000.0);
    }

    if (controlsHost) {
        // Channels beyond the module's count are switched off and cannot be switched on.
        for (int n = 1; n <= panelChannels; ++n) {
            QGroupBox* group = channelWidget<QGroupBox>("^groupBoxCh%1$", n);
            if (!group)
                continue;
            if (n > channels)
                setQuietly(skipChannelEnable, group, false);
            group->setEnabled(n <= channels);
        }

        // Range selectors by modification: free with code 1, fixed to the full range with
        // code 2, as they were with code 3.
        for (int n = 1; code != 3 && n <= panelChannels; ++n) {
            auto* range = channelWidget<QComboBox>("^comboBoxRangeCh%1$", n);
            auto* typeCombo = channelWidget<QComboBox>("^comboBoxVoltageTypeCh%1$", n);
            if (!range || !typeCombo)
                continue;
            relabelRange(range, voltageTypeFromText(typeCombo->currentText()));
            if (code == 2)
                setQuietly(skipChannelRange, range, 1);
            // Usable once the channel is on (free range), or never (fixed range).
            setChannelControlEnabled(range, code == 1);
        }
    }
    if (settingsHost && code != 3) {
        commonRangeSelectable = code == 1;
        settingsUi->comboBoxRange->setEnabled(commonRangeSelectable);
    }

    if (controlsHost) {
        // Channel limits and values. The frequency and offset ranges are set for every channel,
        // also one of the special type, so that a later switch to AC finds this module's ranges.
        for (int n = 1; n <= panelChannels; ++n) {
            resetChannelVoltage(n);
            auto* frequency = channelWidget<QDoubleSpinBox>("^doubleSpinBoxFrequencyCh%1$", n);
            auto* offset = channelWidget<QDoubleSpinBox>("^doubleSpinBoxOffsetCh%1$", n);
            if (frequency) {
                frequency->setRange(1, frequencyCeiling);
                frequency->setValue(defaultFrequency);
            }
            if (offset) {
                offset->setRange(lim.offsetMin / 1000.0, lim.offsetMax / 1000.0);
                offset->setValue(lim.offsetDefault / 1000.0);
            }
        }
    }

    // The common controls show what the channels now hold; the frequency ceiling and the
    // all-channels box follow the channels switched on.
    syncCommonFromChannels();
    syncAllChannelsBox(nullptr);

    if (customSignalsEnabled)
        resetCustomGroup();

    linkValueFields(true);
    valueFieldsLinked = true;
}

// Makes or removes the connections of the numeric value fields, common and per channel. Making
// them is unique: a field whose connection is still there keeps just the one.
void ModuleVek72::linkValueFields(bool linked)
{
    const auto link = [this, linked](auto* field, auto signal, auto slot) {
        if (linked)
            connect(field, signal, this, slot, Qt::UniqueConnection);
        else
            disconnect(field, signal, this, slot);
    };
    const auto intChanged = QOverload<int>::of(&QSpinBox::valueChanged);
    const auto doubleChanged = QOverload<double>::of(&QDoubleSpinBox::valueChanged);
    if (settingsHost) {
        link(settingsUi->spinBoxVoltage, intChanged, &ModuleVek72::on_spinBoxVoltage_valueChanged);
        link(settingsUi->doubleSpinBoxFrequency, doubleChanged, &ModuleVek72::on_doubleSpinBoxFrequency_valueChanged);
        link(settingsUi->doubleSpinBoxOffset, doubleChanged, &ModuleVek72::on_doubleSpinBoxOffset_valueChanged);
    }
    for (QSpinBox* box : all<QSpinBox>(controlsHost, pattern("^spinBoxVoltageCh[1-%1]$", panelChannels)))
        link(box, intChanged, &ModuleVek72::on_spinBoxVoltageChX_valueChanged);
    for (QDoubleSpinBox* box : all<QDoubleSpinBox>(controlsHost, pattern("^doubleSpinBoxFrequencyCh[1-%1]$", panelChannels)))
        link(box, doubleChanged, &ModuleVek72::on_doubleSpinBoxFrequencyChX_valueChanged);
    for (QDoubleSpinBox* box : all<QDoubleSpinBox>(controlsHost, pattern("^doubleSpinBoxOffsetCh[1-%1]$", panelChannels)))
        link(box, doubleChanged, &ModuleVek72::on_doubleSpinBoxOffsetChX_valueChanged);
}

bool ModuleVek72::close()
{
    // The outputs go to zero after a stop still on its way, not while it stops.
    waitForStopInProgress();
    QMutexLocker lock(&handleMutex);
    letGo = true;
    if (sender)
        sender->expectConnection(false);
    // Read back first: a service that did not answer the last call and still does not answer is not
    // asked again (it would cost another wait), one that has come back answers at once.
    const RestReport rest = bringToRest(true);
    for (const QString& refusal : rest.refusals)
        qWarning().noquote() << refusal;
    restZeroes = false;
    setSafety(OutputSafety::Safe);
    if (rest.result != Rest::Done) {
        qCritical().noquote() << QStringLiteral("Выходы модуля могут оставаться под напряжением: %1. "
                                                "Не удалось выставить нули на всех выходах модуля").arg(rest.why);
        if (rest.result == Rest::Silent) {
            // Let go without asking: the service releases the module when the connection goes.
            VEK72_Close(&handle);
            return false;
        }
        if (VEK72_IsOpened(&handle) != VEK72_OK)
            return false;
    }
    // The connection goes also when the outputs could not be zeroed: a module kept open by this
    // program could not be opened again, by this program or any other.
    const int result = VEK72_Close(&handle);
    if (result != VEK72_OK) {
        logVek72Error(QStringLiteral("Не удалось завершить работу с модулем. Ошибка %1 (%2)"), result);
        return false;
    }
    return rest.result == Rest::Done;
}

int ModuleVek72::clearChannels()
{
    const int channels = qBound(0, int(handle.info.dacChannelCount), VEK72_MAX_CHANNELS);
    for (int i = 0; i < channels; ++i)
        handle.config.channel[i].enabled = 0;
    return channels;
}

int ModuleVek72::applyConfigurationBlock(bool cyclic, double dacRate)
{
    return sender->applyConfiguration(cyclic, dacRate);
}

void ModuleVek72::resetCustomGroup()
{
    if (!settingsHost)
        return;
    // The module's limits and defaults: for a module opened with custom signals on, and for custom
    // signals switched on while a module is open (its limits were not set for them then).
    const ModificationLimits& lim = limits();
    Ui::Vek72Settings* ui = settingsUi;
    ui->spinBoxCustomAmplitude->setRange(lim.customAmplitudeMin, lim.customAmplitudeMax);
    ui->spinBoxCustomAmplitude->setValue(lim.customAmplitudeDefault);
    ui->doubleSpinBoxCustomFrequency->setMinimum(1);
    ui->doubleSpinBoxCustomFrequency->setValue(defaultFrequency);
    ui->doubleSpinBoxCustomOffset->setRange(lim.offsetMin / 1000.0, lim.offsetMax / 1000.0);
    ui->doubleSpinBoxCustomOffset->setValue(lim.offsetDefault / 1000.0);
    ui->doubleSpinBoxCustomPhase->setValue(0.0);
    showCustomWaveform(focusedChannel);
}

bool ModuleVek72::configureModule(bool cyclic, double dacRate)
{
    return sender->configure(cyclic, dacRate);
}

int ModuleVek72::zeroOutputs()
{
    {
        QMutexLocker lock(&senderMutex);
        outputData.clear();
    }
    clearChannels();
    return applyConfigurationBlock(true, 48000.0);
}
