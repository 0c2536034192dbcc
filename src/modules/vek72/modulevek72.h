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
#include <QTimer>
#include <QVector>

#include <atomic>
#include <functional>

#include "channelsignal.h"
#include "channelwidgets.h"
#include "customcheckbox.h"
#include "modificationlimits.h"
#include "module.h"
#include "modulesendervek72.h"
#include "parametertable.h"
#include "vek72api.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QMovie;
class QSpinBox;
class QSettings;
class QWidget;
class ModuleVek72GuiHandler;

// "3 канала", "1 канал", "5 каналов"; "64 кГц", "1.5 кГц".
QString channelCountText(int channels);
QString rateText(double hertz);
// The DAC rate of a rate selector item ("192 кГц" 192000 ...); 0 for any other text.
double dacRateOfItem(const QString& itemText);

namespace setups {
struct PanelSetup;
struct ModuleCapacity;
}

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
    bool probe(QString& crateSerial, quint16 slot, QString& nameWithModification) override;
    void requestOutput(bool on) override;
    QVariantMap panelSetup() const override;
    bool applyPanelSetup(const QVariantMap& setup, QStringList& notes, QString& error) override;
    // Remote control (modulevek72remote.cpp).
    SettingResult changeSetting(const QString& key, int channel, const QVariant& value,
                                QString* reason = nullptr) override;
    QVariant setting(const QString& key, int channel) const override;
    void holdRestarts(bool hold) override;
    bool settle(int timeoutMs) override;
    bool resetPanels() override;
    QStringList takeRemoteFailures() override;

    // Read-only views for tests.
    bool customSignalsAreEnabled() const { return customSignalsEnabled.load(); }
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
    int voltageLimit() const { return voltageLimitMv.load(); }   // mV peak, 0: none, -1: unreadable

    // What the program knows of the module's outputs: at rest as the window shows them (Safe), or,
    // after a stop or zeroing the module did not confirm, possibly still playing (MayPlay) or
    // stopped but possibly holding a level (MayHold). Any thread.
    enum class OutputSafety { Safe, MayPlay, MayHold };
    OutputSafety outputSafety() const { return safety.load(); }

    // The phase of channel N's custom signal, in degrees (0 <= phase < 360, three decimals as the
    // field "Фаза" shows it), from any thread; the custom group shows it when N is the focused
    // channel. Takes effect at the next start or restart, as an edit of the field does. False when
    // custom signals are off, N is not a channel of the open module or the phase is out of range.
    bool setCustomPhase(int channel, double degrees);
    // Permits waiting in the echo suppressor of a family, in declaration order 0..11.
    int echoPermits(int family) const;

signals:
    void restart();
    void channelFocused(int channel);
    void lockControls(bool yes);

public slots:
    void channelFocusedSlot(int channel, bool enabled);
    void restartManual();
    // restartManual for remote control: what it refuses or what fails goes to the client.
    void remoteRestart();
    // One period of an arbitrary waveform for the focused channel's custom signal, read from a file
    // (CSV or WAV) here, on the module thread, so that a long file does not hold up the panels. A
    // file that can be used becomes the channel's waveform and its shape "Произвольный"; one that
    // cannot changes nothing and is reported as critical with the reader's text.
    void loadCustomWaveform(const QString& path);

private slots:
    // The sender found the connection gone: output is given up, the handle let go, the start button
    // released, and the loss reported once.
    void senderLostConnection();
    // The sender could not feed the module for as long as the output it held lasted: output is
    // stopped the operator's way, and that reported once.
    void senderStarved();
    // While a stop or zeroing is not confirmed: asks the module again (without waiting for a
    // handle in use) and completes the stop once the service answers.
    void retryRest();

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
    void on_doubleSpinBoxCustomOffset_valueChanged(double value);
    void on_doubleSpinBoxCustomPhase_valueChanged(double value);
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
    // Runs a panel slot's work on the thread of the panels (the GUI thread), waiting for it, bounded;
    // then asks for as many restarts as the work answered. Every widget and every piece of panel
    // state (custom signals, focused channel, frequency ceiling, pending options) is touched on that
    // thread only; the module thread keeps the echo check and the restart.
    void onPanels(std::function<int()> work);
    // A slot's start: an echo of the module's own change (a permit of `skip`) is consumed and
    // nothing else happens; an operator's change runs `work` on the panels (onPanels).
    void unlessEcho(QSemaphore& skip, std::function<int()> work);

    // --- Common controls (modulevek72common.cpp), on the GUI thread; each answers the restarts
    // it asks for.
    int allChannelsChanged(int state);
    int commonVoltageTypeChanged(int index);
    int commonRangeChanged(int index);
    int commonVoltageChanged();
    int commonFrequencyChanged();
    int commonOffsetChanged();
    template <typename Box, typename V>
    void copyCommonValue(Box* common, V below, QSemaphore& skipChannel, const char* family,
                         void (ModuleVek72::*sync)(Box*));
    int customShapeChanged(int index);
    // What the common controls show, taken before they are copied into channels (the copy into one
    // channel changes what they show).
    struct CommonShown
    {
        int typeIndex = -1;
        QString typeText;
        int rangeIndex = -1;
        QString rangeText;
        VoltageTypeCode type = VoltageTypeOther;
        int voltage = 0;
        double frequency = 0;
        double offset = 0;
    };
    CommonShown commonShown() const;
    // Channel N (switched on) takes the common type and range, applied as the channel's own
    // selectors apply them, then the common values. The custom group follows the type only when
    // `customGroupFollows` and N is the focused channel.
    int copyCommonInto(int channel, const CommonShown& common, bool customGroupFollows);
    // The custom group serves the focused channel when it is on and of the special type.
    void customGroupFollowsFocus();

    // --- Channel controls and synchronisation (modulevek72channels.cpp), on the GUI thread.
    int channelSwitched(QGroupBox* group, bool on);
    int channelTypeChanged(QComboBox* typeCombo, int index);
    int channelRangeChanged(QComboBox* rangeCombo, int index);
    void applyChannelType(QComboBox* typeCombo, int index, bool customGroupFollows = true);
    int applyChannelRange(QComboBox* rangeCombo, int index);
    // The common type, range, voltage, frequency and offset from the channels, channel 1 the reference.
    void syncCommonFromChannels();
    void syncCommonVoltageType(QComboBox* reference);
    void syncCommonRange(QComboBox* reference);
    void syncCommonVoltage(QSpinBox* reference);
    void showCommonVoltageApart();
    void syncCommonFrequency(QDoubleSpinBox* reference);
    void syncCommonOffset(QDoubleSpinBox* reference);
    void syncAllChannelsBox(QGroupBox* reference);
    template <typename Box, typename V>
    void syncCommonField(QSemaphore& skip, Box* common, Box* reference, const char* family, V below);
    // One channel set to a voltage type: range labels, voltage limits and value, enabled fields.
    void adjustChannelToType(int channel, int index);
    // The custom group shows channel N's custom signal (queued for the group's own slots to store
    // back, as a focus change does).
    void loadCustomGroup(int channel);
    // The custom signals' parts of the panels built (on) or taken down (off): the item "Особый" of
    // the type selectors, the custom group and its connections, the watched channel boxes.
    void wireCustomSignals(bool on);
    // Custom signals switched on or off while the program runs: the output stopped first (as "Стоп"
    // does), then, on the panels, channels of the special type made AC and switched off (off), the
    // custom signals reset (on); said in the journal and the status bar.
    void switchCustomSignals(bool on);
    // The panels' part of it, on the GUI thread: the channels switched off.
    QList<int> setCustomSignalsOnPanels(bool on);
    // The custom group's file name and its tool tip (points, minimum, maximum) for channel N's waveform.
    void showCustomWaveform(int channel);
    // A waveform read for channel N becomes its custom signal's period; answers the restarts asked for.
    int customWaveformLoaded(int channel, const WaveformPointer& waveform);
    void setFocusedChannelHighlight(int channel);
    // Restart when on: 1 when the start/stop button is pressed, else 0.
    int restartWhenOn() const;

    // --- Shared by both panels, on the GUI thread.
    const ModificationLimits& limits() const;
    template <typename T>
    QList<T*> channelWidgets(const char* regex) const;   // "^spinBoxVoltageCh[1-%1]$", count
    template <typename T>
    T* channelWidget(const char* regex, int channel) const;   // "^spinBoxVoltageCh%1$"
    VoltageTypeCode commonType() const;
    // The common voltage field for a voltage type (AC or DC): the range selector's labels, the
    // field enabled at its default value, its limits by type and range.
    void prepareCommonVoltage(VoltageTypeCode type);
    // The items of a range selector for a voltage type (AC or DC; another type leaves them).
    void relabelRange(QComboBox* range, VoltageTypeCode type) const;
    // Channel N's voltage field after a change of its type or range: at its default value, with
    // the limits of its type and range; left alone for a channel of another type.
    QSpinBox* resetChannelVoltage(int channel);
    // Changes a control whose change signal must not be acted upon: one permit of `skip` announces
    // the echo, and is taken back when the control did not change after all (a value the control
    // clamps to what it showed), so that no permit is ever left over. Nothing is announced for a
    // value field while its connection is cut (open).
    void setQuietly(QSemaphore& skip, QSpinBox* box, int value);
    void setQuietly(QSemaphore& skip, QDoubleSpinBox* box, double value);
    void setQuietly(QSemaphore& skip, QComboBox* box, int index);
    void setQuietly(QSemaphore& skip, QGroupBox* box, bool checked);
    void setQuietly(QSemaphore& skip, QCheckBox* box, Qt::CheckState state);
    // Lowers or raises a field's maximum; a value it clamps is announced like a change by setQuietly.
    void setMaximumQuietly(QSemaphore& skip, QDoubleSpinBox* box, double maximum);
    // Enables or disables a control of a channel group box. The controls of a switched-off channel
    // take no part: inside an unchecked group box an enabled control is left disabled, to be enabled
    // by the group box when the channel is switched on.
    static void setChannelControlEnabled(QWidget* control, bool enabled);
    bool announces(const QSemaphore& skip) const;

    // --- Output (modulevek72output.cpp).
    // What a start reads of the panels, in one visit to the GUI thread.
    struct PanelChannel
    {
        int number = 0;
        QString typeText;
        int typeIndex = -1;
        QString rangeText;
        int rangeIndex = -1;
        int voltage = 0;        // mV
        double frequency = 0;   // Hz
        double offset = 0;      // V
        ChannelSignal custom;   // the channel's custom signal
    };
    struct PanelConfiguration
    {
        bool startPressed = false;
        QString modeText;
        QString rateText;
        int rateIndex = -1;
        int modification = 0;
        int channelCount = 0;           // the module's channels
        QList<PanelChannel> channels;   // the channels switched on, in panel order
    };
    PanelConfiguration readPanels() const;
    // The same on the GUI thread; one channel's controls (switched on or not).
    PanelConfiguration readPanelsHere() const;
    PanelChannel readChannelHere(int channel) const;
    // The signals to play and the library configuration for them; `refusals` gets the reason for
    // every channel left out and for a DAC rate item the module does not know (false then).
    bool buildOutput(bool cyclic, const PanelConfiguration& panel, QList<ChannelSignal>& signalList,
                     TVEK72_CONFIG& config, QStringList* refusals = nullptr) const;
    bool applyConfiguration(bool cyclic, const PanelConfiguration& panel);
    // A change while output runs that keeps the channels, ranges, rate and mode: the new signals take
    // over without a stop. False when it needs the full restart (or was refused).
    bool changeWhilePlaying(const PanelConfiguration& panel);
    // The frequency a channel plays from: the one the operator asked for while its field still shows
    // the achieved frequency written there after a start, else what the field shows (which then
    // becomes the request). On the GUI thread.
    double channelFrequencyRequest(int channel, double shown) const;
    // The field's tool tip tells the frequency asked for while it shows another (achieved) one.
    void showFrequencyRequest(QDoubleSpinBox* box, int channel) const;
    // The output rate per channel that the channels switched on get at the chosen DAC rate, in the
    // settings panel ("48 кГц на канал").
    void showOutputRate();
    // A remote value for a channel's voltage, offset or frequency that would take the channel past
    // the voltage limit or its output (OutOfRange), or, while it plays, make the output impossible
    // (SettingsConflict); Done when it may be set. On the GUI thread.
    SettingResult refusedForOutput(const QString& key, int channel, double number, bool special, QString* reason);
    // One information line (journal and status bar) on what plays: "<what>: 3 канала, 64 кГц на
    // канал, циклический режим".
    void reportOutput(const QString& what);
    // The frequencies synthesis achieved, written back into the channel fields.
    void showAchievedFrequencies();
    // The busy animation runs exactly while output runs.
    void syncBusyAnimation();
    // A refused start: the button back to "Старт", waited for (its slot stops whatever still runs).
    void releaseStartButton();
    // Empty when no channel of the panels would put out more than VoltageLimit (|offset| + peak
    // amplitude, or the DC level); else the reason, naming the channel and the limit. A limit that
    // cannot be read lets no start (`starting`) and no value above 0 V through.
    QString voltageLimitExceeded(const PanelConfiguration& panel, bool starting) const;

    // --- Setups (modulevek72setup.cpp), on the GUI thread.
    setups::ModuleCapacity setupCapacity() const;
    setups::PanelSetup readSetup() const;
    void writeSetup(const setups::PanelSetup& setup);

    // --- Outputs at rest, read back (modulevek72rest.cpp).
    enum class Rest { Done, Refused, Silent };
    struct RestReport
    {
        Rest result = Rest::Done;
        bool acted = false;      // there was output to stop or a level to zero
        bool mayPlay = false;    // not done: the module may still play (else it only holds a level)
        QString why;             // not done: what is left, for the operator
        QStringList refusals;    // the library's refusals on the way (retried), for the journal
    };
    // Brings the module to rest and reads it back: its output stopped while it reports running,
    // and, with `zero`, every output at 0 V while one holds a level; each step read back by the
    // module's status and retried while the service answers. Done once the module says so; Silent
    // when the service does not answer; Refused when it would not. Logs nothing. Handle lock held.
    RestReport bringToRest(bool zero);
    // Drives every output to zero: the zeroing configuration (no channel enabled) applied; the
    // library's answer. Handle lock held.
    int zeroOutputs();
    // The operator's stop (the button, the last channel switched off, remote control, a fault):
    // output stopped, the outputs at 0 V, both read back; the window shows what the module said.
    void stopAndRest();
    // What a module found on opening holds: one that plays or holds a level is brought to rest,
    // and that said once. Handle lock held.
    void restFound(quint16 slot);
    // After a rest: the state the window shows (the start button, the module light through
    // outputsConfirmed), `done` said when it took, the reason said once when it did not.
    void restOutcome(const RestReport& report, bool zero, const QString& done);
    // Stops output (the sender, then the module read back). False when the module did not confirm
    // it; `report` then says so. Not on the sender's thread.
    bool stopConfirmed(bool report);
    void setSafety(OutputSafety state);
    // The start button shows "Стоп" (pressed) or "Старт" without its slot acting on it.
    void showStartButton(bool pressed);
    // Why what the panels hold cannot be played: a channel beyond the voltage limit or its output,
    // or (`planned`) no plan for the signals at the rate they would get; None when it can.
    struct OutputRefusal
    {
        enum Kind { None, Limit, Range, Plan };
        Kind kind = None;
        QString reason;
    };
    OutputRefusal outputRefusal(const PanelConfiguration& panel, bool planned) const;
    // Whether what the panels hold can be played; false with the reason logged (a refusal of the
    // start, or of the change while output runs).
    bool outputPossible(const PanelConfiguration& panel, bool running);
    // A start or change refused for the reason logged: a running output plays on; a start shows
    // "Старт" again.
    void refuseOutput(bool running);

    // --- Connection (modulevek72open.cpp).
    // VEK72_Open of the crate's slot, a refusal logged. Handle lock held.
    bool openHandle(const QByteArray& crate, quint16 slot);
    // Waits (bounded) for a stop in progress on another thread to end; false when none was.
    bool waitForStopInProgress();
    static constexpr int stopWaitMs = 3000;
    // Under the handle lock: every channel of the module off in the configuration block (answers
    // the module's channel count); the block applied with its mode and DAC rate (the library's
    // answer; configureModule logs a refusal).
    int clearChannels();
    int applyConfigurationBlock(bool cyclic, double dacRate);
    bool configureModule(bool cyclic, double dacRate);
    void resetCustomSignals();
    // The custom group's fields at the open module's limits and defaults.
    void resetCustomGroup();
    // Panel set-up after a successful VEK72_Open, on the GUI thread. The panels of the module they
    // were last prepared for (same crate, slot, modification and channel count) keep what they hold.
    void preparePanelsForModule(const QString& crate, int slot, int code, int channels, const QString& serial,
                                int firmware);
    void linkValueFields(bool linked);

    // --- Remote control (modulevek72remote.cpp).
    // restartManual's first step: while restarts are held the request is only noted.
    bool deferRestart();
    // Critical messages of what remote control asked, kept until a client takes them.
    void keepRemoteFailures(const QStringList& failures);
    // The calls of remote control must come from a thread that may wait for both the panels and
    // the module thread; a call from either would wait for itself.
    bool remoteCallerMayWait(const char* operation) const;
    // On the GUI thread: the change, checked against the control's real range and made there;
    // `changed` tells whether the control took a new value.
    SettingResult changeOnPanels(const QString& key, int channel, const QVariant& value, bool* changed,
                                 QString* reason);
    QVariant readOnPanels(const QString& key, int channel) const;
    QVariant boundOnPanels(const QString& which, const QString& key, int channel, bool special) const;
    // The custom group shows channel N's custom signal, the channel marked as the one worked in,
    // as the operator's click into its box does.
    void focusChannelForRemote(int channel);
    // The items and check states the forms came with, taken by createGui: the panels as opened.
    void captureFormDefaults();
    void resetPanelsOnGui();

    TVEK72 handle;
    QString modificationName;
    // Changed only on the GUI thread while the module thread waits for it (switchCustomSignals).
    std::atomic<bool> customSignalsEnabled{ false };
    // "Особые сигналы" as the options page shows it, until the dialog is accepted.
    bool pendingCustomSignals = false;
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
    // Setting VoltageLimit: mV peak, 0 none; read by starts on the module thread. -1: the file's
    // value cannot be read, and nothing may be put out until it is fixed or removed (its text, for
    // the options page, in voltageLimitStored).
    std::atomic<int> voltageLimitMv{ 0 };
    // The outputs as the module last confirmed them, and whether the rest still to confirm includes
    // the zeroing; a timer on the module thread asks again while they are not confirmed.
    std::atomic<OutputSafety> safety{ OutputSafety::Safe };
    std::atomic<bool> restZeroes{ false };
    // Closed by this program: a loss the sender found meanwhile was said by the close already.
    std::atomic<bool> letGo{ false };
    QTimer* restWatch = nullptr;
    QString voltageLimitStored;

    // Every call into the module library with `handle` holds this lock: discovery and shutdown
    // (engine thread), selection (GUI thread), restarts (module thread) and the streaming sender
    // may reach the handle at the same time. It is never held while waiting for another thread.
    mutable QMutex handleMutex;

    // State of the panels for the module opened last, on the GUI thread: its modification code
    // (the limits row), its channel count (the channels the panels act on), whether the value
    // fields' connections are in place (they are cut while open prepares the panels), and whether
    // the common range selector may be used (not with a fixed range).
    QString panelCrate;
    int panelSlot = 0;
    int panelModification = 0;
    int panelChannelCount = 0;
    // Per channel, on the GUI thread: the frequency asked for, and the achieved frequency written into
    // the field (NaN while the field shows what was typed or set there).
    mutable double requestedFrequency[8];
    mutable double achievedShown[8];
    bool valueFieldsLinked = true;
    bool commonRangeSelectable = true;

    // Remote control: restart requests held while a command line runs, what was asked meanwhile,
    // and a count of the module thread's slot runs by which a settle knows that nothing is left.
    std::atomic<bool> restartsHeld{false};
    std::atomic<bool> restartAsked{false};
    std::atomic<bool> changedWhileHeld{false};
    std::atomic<bool> stopAskedWhileHeld{false};
    // The next release of the start button is a remote command line's stop: its refusals and
    // failures go to that client. Any other release (the operator's click while a client happens to
    // be asking something) is the operator's.
    std::atomic<bool> remoteStopAsked{false};
    std::atomic<unsigned> slotRuns{0};
    QMutex remoteFailuresLock;
    QStringList remoteFailures;
    struct FormDefaults
    {
        bool captured = false;
        bool checked[channelwidgets::panelChannels] = {};
        int type[channelwidgets::panelChannels] = {};
        int range[channelwidgets::panelChannels] = {};
        int mode = 0;
        int rate = 0;
    };
    FormDefaults formDefaults;
};

template <typename T>
QList<T*> ModuleVek72::channelWidgets(const char* regex) const
{
    if (panelChannelCount < 1)
        return {};
    return channelwidgets::all<T>(controlsHost, channelwidgets::pattern(regex, panelChannelCount));
}

template <typename T>
T* ModuleVek72::channelWidget(const char* regex, int channel) const
{
    return channelwidgets::ofChannel<T>(controlsHost, regex, channel);
}

#endif
