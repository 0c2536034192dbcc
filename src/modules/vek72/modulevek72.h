#ifndef MODULEVEK72_H
#define MODULEVEK72_H

#include <QGridLayout>
#include <QList>
#include <QMutex>
#include <QPixmap>
#include <QPointer>
#include <QSemaphore>
#include <QString>
#include <QThread>
#include <QVector>

#include "channelsignal.h"
#include "customcheckbox.h"
#include "module.h"
#include "modulesendervek72.h"
#include "parametertable.h"
#include "vek72api.h"

class QMovie;
class QSettings;
class QWidget;
class ModuleVek72GuiHandler;

namespace Ui {
class Vek72Controls;
class Vek72Settings;
class Vek72Info;
class Vek72Options;
}

// The VEK72 DAC output module: up to eight DAC channels in one crate slot. The object lives on the
// engine's module thread; its panels live on the GUI thread and talk to it through queued slots.
// The per-channel output settings are not copied here: they live in the channel widgets and are
// read from there when the output is configured.
class ModuleVek72 : public Module
{
    Q_OBJECT

public:
    ModuleVek72();
    ~ModuleVek72() override;

    void loadSettings(QSettings* settings) override;
    QString name(bool withModification) const override;
    int moduleId() const override;
    QPixmap icon() const override;
    void createGui(QWidget* settingsHost, QWidget* controlsHost, QWidget* reportHost,
                   QWidget* infoHost, QWidget* optionsHost) override;
    bool open(QString& crateSerial, quint16 slot) override;
    QString serial() const override;
    void resetOptions() override;
    void applyOptions(QSettings* settings) override;
    bool setParameter(QString& name, double value) override;
    bool checkParameter(QString& name, double value, QString& errorText) override;
    bool isOpened() const override;
    bool start(bool suppress) override;
    bool isRunning() const override;
    bool stop() override;
    bool close() override;
    const QString* infoValue(QString& key) const override;

    // Read-only views for tests.
    bool customSignalsAreEnabled() const { return customSignalsEnabled; }
    int savedAccuracyAc() const { return accuracyAc; }
    int savedAccuracyDc() const { return accuracyDc; }
    int savedAccuracyFreq() const { return accuracyFreq; }
    int pendingAccuracy(int which) const;   // 0 AC, 1 DC, 2 Freq
    const ChannelSignal& customSignal(int channel) const { return customSignals[channel - 1]; }
    int focusedChannelNumber() const { return focusedChannel; }
    int maximumFrequency() const { return maxFrequency; }
    const QVector<ParameterEntry>& parameterEntries() const { return parameters; }
    ModuleSenderVek72* sampleSender() const { return sender.data(); }
    QThread* senderThreadObject() { return &senderThread; }
    ModuleVek72GuiHandler* panelHandler() const { return guiHandler; }
    QMovie* busyAnimation() const { return busyMovie; }
    Ui::CustomCheckBox* allChannelsBox() const { return allChannelsCheckBox.data(); }
    // Permits waiting in the echo suppressor of a family, in declaration order 0..11.
    int echoPermits(int family) const;

signals:
    void restart();
    void channelFocused(int channel);
    void lockControls(bool yes);

public slots:
    void channelFocusedSlot(int channel, bool enabled);
    void restartManual();

private slots:
    // Panel slots; each is connected explicitly by createGui.
    void on_checkBoxChannels_stateChanged(int state);
    void on_comboBoxMode_currentIndexChanged(int index);
    void on_pushButtonStartStop_toggled(bool checked);
    void on_comboBoxVoltageType_currentIndexChanged(int index);
    void on_comboBoxRange_currentIndexChanged(int index);
    void on_comboBoxDacFreq_currentIndexChanged(int index);
    void on_spinBoxVoltage_valueChanged(int value);
    void on_doubleSpinBoxFrequency_valueChanged(double value);
    void on_doubleSpinBoxOffset_valueChanged(double value);
    void on_comboBoxCustomShape_currentIndexChanged(int index);
    void on_spinBoxCustomAmplitude_valueChanged(int value);
    void on_doubleSpinBoxCustomFrequency_valueChanged(double value);
    void on_spinBoxCustomOffset_valueChanged(int value);
    void on_groupBoxChX_toggled(bool checked);
    void on_comboBoxVoltageTypeChX_currentIndexChanged(int index);
    void on_comboBoxRangeChX_currentIndexChanged(int index);
    void on_spinBoxVoltageChX_valueChanged(int value);
    void on_doubleSpinBoxFrequencyChX_valueChanged(double value);
    void on_doubleSpinBoxOffsetChX_valueChanged(double value);
    void on_spinBoxAccuracyAC_valueChanged(int value);
    void on_spinBoxAccuracyDC_valueChanged(int value);
    void on_spinBoxAccuracyFreq_valueChanged(int value);

private:
    bool applyConfiguration(bool cyclic);
    bool zeroOutputs();
    void resetCustomSignals();
    // Panel set-up after a successful VEK72_Open, on the GUI thread.
    void preparePanelsForModule(int code, int channels);
    void linkValueFields(bool linked);
    bool startStopPressed() const;
    QString modeText() const;

    TVEK72 handle;
    QString modificationName;
    bool customSignalsEnabled;
    int accuracyAc;
    int pendingAccuracyAc;
    int accuracyDc;
    int pendingAccuracyDc;
    int accuracyFreq;
    int pendingAccuracyFreq;
    int maxFrequency;
    QPixmap iconPixmap;
    QList<ChannelSignal> outputData;
    ChannelSignal customSignals[8];
    int focusedChannel;
    QMutex senderMutex;
    QThread senderThread;
    // Deleted by the sender thread's finished(); the guard tells the destructor whether that
    // happened, so the sender is destroyed exactly once and only after its thread has stopped.
    QPointer<ModuleSenderVek72> sender;
    Ui::Vek72Controls* controlsUi;
    Ui::Vek72Settings* settingsUi;
    // The check box and its layout belong to widgetCustomCheckBox as well; guarded so that
    // whichever goes first, nothing is deleted twice.
    QPointer<QGridLayout> allChannelsLayout;
    QPointer<Ui::CustomCheckBox> allChannelsCheckBox;
    Ui::Vek72Info* infoUi;
    Ui::Vek72Options* optionsUi;
    // Hosts are the main window's widgets; a form's widget pointers are valid while its host is.
    QPointer<QWidget> controlsHost;
    QPointer<QWidget> settingsHost;
    QMovie* busyMovie;
    QPointer<QWidget> infoHost;
    QPointer<QWidget> optionsHost;
    ModuleVek72GuiHandler* guiHandler;
    QSemaphore skipAllChannels;
    QSemaphore skipVoltageType;
    QSemaphore skipRange;
    QSemaphore skipVoltage;
    QSemaphore skipFrequency;
    QSemaphore skipOffset;
    QSemaphore skipChannelEnable;
    QSemaphore skipChannelVoltageType;
    QSemaphore skipChannelRange;
    QSemaphore skipChannelVoltage;
    QSemaphore skipChannelFrequency;
    QSemaphore skipChannelOffset;
    QMutex restartMutex;
    QVector<ParameterEntry> parameters;
};

#endif
