#include "modulevek72.h"

#include <QSettings>

#include "modificationlimits.h"
#include "modulesendervek72.h"

ModuleVek72::ModuleVek72()
    : customSignalsEnabled(false), maxFrequency(249999), focusedChannel(1),
      controlsUi(nullptr), settingsUi(nullptr), allChannelsLayout(nullptr),
      allChannelsCheckBox(nullptr), infoUi(nullptr), optionsUi(nullptr), controlsHost(nullptr),
      settingsHost(nullptr), busyMovie(nullptr), infoHost(nullptr), optionsHost(nullptr),
      guiHandler(nullptr), parameters(vek72ParameterTable())
{
    iconPixmap = QPixmap(QStringLiteral(":/icons/vek72.png"));
    sender = new ModuleSenderVek72(&handle, &outputData, &senderMutex);
    sender->moveToThread(&senderThread);
    connect(&senderThread, &QThread::finished, sender.data(), &QObject::deleteLater);
    senderThread.start(QThread::InheritPriority);
    VEK72_Init(&handle);
}

ModuleVek72::~ModuleVek72()
{
    senderThread.quit();
    senderThread.wait();
    delete sender.data();
}

void ModuleVek72::loadSettings(QSettings* settings)
{
    Q_UNUSED(settings)
}

QString ModuleVek72::name(bool withModification) const
{
    Q_UNUSED(withModification)
    return QStringLiteral("VEK72");
}

int ModuleVek72::moduleId() const
{
    return VEK72_MODULE_TYPE;
}

QPixmap ModuleVek72::icon() const
{
    return iconPixmap;
}

void ModuleVek72::createGui(QWidget*, QWidget*, QWidget*, QWidget*, QWidget*)
{
}

bool ModuleVek72::open(QString&, quint16)
{
    return false;
}

QString ModuleVek72::serial() const
{
    return QStringLiteral("?");
}

void ModuleVek72::resetOptions() {}
void ModuleVek72::applyOptions(QSettings*) {}

bool ModuleVek72::setParameter(QString& name, double value)
{
    Q_UNUSED(value)
    return selectParameter(parameters, name);
}

bool ModuleVek72::checkParameter(QString& name, double value, QString& errorText)
{
    Q_UNUSED(value)
    errorText = QStringLiteral("Неизвестный параметр %1").arg(name);
    return false;
}

bool ModuleVek72::isOpened() const
{
    return VEK72_IsOpened(const_cast<TVEK72*>(&handle)) == 0;
}

bool ModuleVek72::start(bool suppress)
{
    return !suppress;
}

bool ModuleVek72::isRunning() const
{
    return sender && sender->isRunning();
}

bool ModuleVek72::stop()
{
    return false;
}

bool ModuleVek72::close()
{
    return false;
}

const QString* ModuleVek72::infoValue(QString& key) const
{
    return key == QLatin1String("Modification") ? &modificationName : nullptr;
}

int ModuleVek72::pendingAccuracy(int which) const
{
    return which == 0 ? pendingAccuracyAc : which == 1 ? pendingAccuracyDc : pendingAccuracyFreq;
}

void ModuleVek72::channelFocusedSlot(int channel, bool enabled) { Q_UNUSED(enabled) focusedChannel = channel; }
void ModuleVek72::restartManual() {}
void ModuleVek72::on_checkBoxChannels_stateChanged(int) {}
void ModuleVek72::on_comboBoxMode_currentIndexChanged(int) {}
void ModuleVek72::on_pushButtonStartStop_toggled(bool) {}
void ModuleVek72::on_comboBoxVoltageType_currentIndexChanged(int) {}
void ModuleVek72::on_comboBoxRange_currentIndexChanged(int) {}
void ModuleVek72::on_comboBoxDacFreq_currentIndexChanged(int) {}
void ModuleVek72::on_spinBoxVoltage_valueChanged(int) {}
void ModuleVek72::on_doubleSpinBoxFrequency_valueChanged(double) {}
void ModuleVek72::on_doubleSpinBoxOffset_valueChanged(double) {}
void ModuleVek72::on_comboBoxCustomShape_currentIndexChanged(int) {}
void ModuleVek72::on_spinBoxCustomAmplitude_valueChanged(int) {}
void ModuleVek72::on_doubleSpinBoxCustomFrequency_valueChanged(double) {}
void ModuleVek72::on_spinBoxCustomOffset_valueChanged(int) {}
void ModuleVek72::on_groupBoxChX_toggled(bool) {}
void ModuleVek72::on_comboBoxVoltageTypeChX_currentIndexChanged(int) {}
void ModuleVek72::on_comboBoxRangeChX_currentIndexChanged(int) {}
void ModuleVek72::on_spinBoxVoltageChX_valueChanged(int) {}
void ModuleVek72::on_doubleSpinBoxFrequencyChX_valueChanged(double) {}
void ModuleVek72::on_doubleSpinBoxOffsetChX_valueChanged(double) {}
void ModuleVek72::on_spinBoxAccuracyAC_valueChanged(int v) { pendingAccuracyAc = v; }
void ModuleVek72::on_spinBoxAccuracyDC_valueChanged(int v) { pendingAccuracyDc = v; }
void ModuleVek72::on_spinBoxAccuracyFreq_valueChanged(int v) { pendingAccuracyFreq = v; }

bool ModuleVek72::applyConfiguration(bool) { return false; }
bool ModuleVek72::zeroOutputs() { return false; }
void ModuleVek72::resetCustomSignals() {}
void ModuleVek72::buildSettingsPanel() {}
void ModuleVek72::buildControlsPanel() {}
void ModuleVek72::buildOptionsPanel() {}
void ModuleVek72::applyPanelLimits() {}
void ModuleVek72::connectValueFields(bool) {}
bool ModuleVek72::startStopPressed() const { return false; }
