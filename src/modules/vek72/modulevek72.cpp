#include "modulevek72.h"

#include <QComboBox>
#include <QDebug>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaType>
#include <QMovie>
#include <QMutexLocker>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTableWidgetItem>
#include <QWidget>

#include <limits>

#include "appsettings.h"
#include "channelwidgets.h"
#include "modificationlimits.h"
#include "modulevek72guihandler.h"
#include "ui_vek72controls.h"
#include "ui_vek72info.h"
#include "ui_vek72options.h"
#include "ui_vek72settings.h"
#include "vek72error.h"
#include "widgetsync.h"

using namespace channelwidgets;

namespace {

const char* const settingsGroup = "VEK72";
const char* const keyCustomSignals = "EnableCustomSignals";
const char* const keyAccuracyAc = "AccuracyAC";
const char* const keyAccuracyDc = "AccuracyDC";
const char* const keyAccuracyFreq = "AccuracyFreq";
const char* const keyRestoreLastSetup = "RestoreLastSetup";
const char* const keyVoltageLimit = "VoltageLimit";
constexpr int defaultAccuracy = 3;
// The decimals a frequency or offset field can show.
constexpr int accuracyMinimum = 0;
constexpr int accuracyMaximum = 6;
// Range of the voltage limit in the options page, mV: 0 (none) up to the highest peak any
// modification can put out (20 V offset and 10 V custom amplitude).
constexpr int voltageLimitMaximum = 30000;
// While the module has not confirmed a stop or the outputs' zeroing, it is asked again this often.
constexpr int restWatchMs = 250;



// The voltage limit in the options page: "нет" for none; an unreadable one shows as such, with the
// file's text in the tool tip, until a limit is entered.
void showVoltageLimit(QSpinBox* box, int limit, const QString& stored)
{
    // The form's tool tip, kept for when the limit can be read again.
    if (!box->property("formToolTip").isValid())
        box->setProperty("formToolTip", box->toolTip());
    if (limit >= 0) {
        box->setSpecialValueText(QStringLiteral("нет"));
        box->setToolTip(box->property("formToolTip").toString());
        box->setValue(limit);
        return;
    }
    box->setSpecialValueText(QStringLiteral("не читается"));
    box->setToolTip(QStringLiteral("В stendix.ini записано «%1»: это не предел напряжения, и выходы не включаются. "
                                   "Введите предел здесь или исправьте (удалите) значение в файле")
                        .arg(stored));
    box->setValue(0);
}

// A connection that cannot be made leaves a panel dead: the program cannot go on without it.
void require(const QMetaObject::Connection& connection, const char* what)
{
    if (!connection)
        qFatal("Не удалось подключить %s", what);
}

} // namespace

ModuleVek72::ModuleVek72()
    : handle(), accuracyAc(defaultAccuracy),
      pendingAccuracyAc(defaultAccuracy), accuracyDc(defaultAccuracy),
      pendingAccuracyDc(defaultAccuracy), accuracyFreq(defaultAccuracy),
      pendingAccuracyFreq(defaultAccuracy), maxFrequency(frequencyCeiling),
      iconPixmap(QStringLiteral(":/icons/vek72.png")), focusedChannel(1), sender(nullptr),
      controlsUi(nullptr), settingsUi(nullptr), infoUi(nullptr), optionsUi(nullptr),
      busyMovie(nullptr), guiHandler(nullptr),
      parameters(vek72ParameterTable())   // a copy of the table, shared until changed
{
    // The custom signals get their values from resetCustomSignals, which createGui runs before any
    // of them can be used.
    for (int i = 0; i < panelChannels; ++i) {
        requestedFrequency[i] = std::numeric_limits<double>::quiet_NaN();
        achievedShown[i] = std::numeric_limits<double>::quiet_NaN();
    }

    // The sender shares the handle with its lock, the signals to play and the synthesis lock.
    sender = new ModuleSenderVek72(&handle, &outputData, &senderMutex, &handleMutex);

    // Form structures; their setupUi runs in createGui.
    controlsUi = new Ui::Vek72Controls;
    settingsUi = new Ui::Vek72Settings;
    infoUi = new Ui::Vek72Info;
    optionsUi = new Ui::Vek72Options;

    // Types that cross threads in queued calls.
    qRegisterMetaType<TVEK72>("TVEK72&");
    qRegisterMetaType<QVector<int>>("QVector<int>&");
    qRegisterMetaType<const QTableWidgetItem*>("const QTableWidgetItem*");

    // A restart request runs restartManual (directly on the module thread, queued otherwise).
    require(connect(this, &ModuleVek72::restart, this, &ModuleVek72::restartManual),
            "restart() -> restartManual()");

    // The sender lives on its own thread and is deleted when that thread finishes.
    sender->moveToThread(&senderThread);
    require(connect(&senderThread, &QThread::finished, sender.data(), &QObject::deleteLater),
            "finished() -> deleteLater()");
    // A connection the sender finds gone is handled here, on the module thread.
    require(connect(sender.data(), &ModuleSenderVek72::connectionLost, this, &ModuleVek72::senderLostConnection),
            "connectionLost()");
    require(connect(sender.data(), &ModuleSenderVek72::outputStarved, this, &ModuleVek72::senderStarved),
            "outputStarved()");
    // A child, so that it lives on the module thread with the object; it runs while that thread
    // does (stopped there as the thread ends, so that it is never stopped from another).
    restWatch = new QTimer(this);
    restWatch->setInterval(restWatchMs);
    require(connect(restWatch, &QTimer::timeout, this, &ModuleVek72::retryRest), "retryRest()");
    QTimer* watch = restWatch;
    QMetaObject::invokeMethod(restWatch, [watch] {
        connect(QThread::currentThread(), &QThread::finished, watch, &QTimer::stop, Qt::DirectConnection);
        watch->start();
    }, Qt::QueuedConnection);
    senderThread.start(QThread::InheritPriority);
    QMetaObject::invokeMethod(sender.data(), "startWatch", Qt::QueuedConnection);

    VEK72_Init(&handle);
}

ModuleVek72::~ModuleVek72()
{
    // The sender's thread ends first; its finished() deletes the sender on that thread.
    senderThread.quit();
    senderThread.wait();

    // Forms and the objects of the settings panel that the module owns.
    delete controlsUi;
    delete allChannelsCheckBox.data();
    delete allChannelsLayout.data();
    delete busyMovie;
    delete settingsUi;
    delete infoUi;
    delete optionsUi;

    // The handler, and the sender if its thread never got to delete it.
    delete guiHandler;
    delete sender.data();
}

void ModuleVek72::loadSettings(QSettings* settings)
{
    if (!settings)
        return;
    settings->beginGroup(QLatin1String(settingsGroup));
    if (!settings->contains(QLatin1String(keyCustomSignals)))
        settings->setValue(QLatin1String(keyCustomSignals), false);
    customSignalsEnabled = settingsBool(settings->value(QLatin1String(keyCustomSignals), false));
    // A stored value beyond its range is brought into it (a frequency rounded to 10^400 would be
    // infinite); one that does not read as a number takes the default.
    const auto readAccuracy = [settings](const char* key) {
        return readCheckedInt(settings, QLatin1String(key), defaultAccuracy, accuracyMinimum, accuracyMaximum).value;
    };
    accuracyAc = readAccuracy(keyAccuracyAc);
    accuracyDc = readAccuracy(keyAccuracyDc);
    accuracyFreq = readAccuracy(keyAccuracyFreq);
    // Read by the window, which keeps the last setup of each module.
    if (!settings->contains(QLatin1String(keyRestoreLastSetup)))
        settings->setValue(QLatin1String(keyRestoreLastSetup), true);
    // 0 is no limit. A value that cannot be read (or a negative one) is not taken as "none": it keeps
    // the strictest meaning, and the file keeps it until the operator fixes it.
    if (!settings->contains(QLatin1String(keyVoltageLimit)))
        settings->setValue(QLatin1String(keyVoltageLimit), 0);
    const QVariant stored = settings->value(QLatin1String(keyVoltageLimit));
    const CheckedInt limit = checkIntSetting(settingsKeyName(settings, QLatin1String(keyVoltageLimit)), stored, 0, 0,
                                             voltageLimitMaximum);
    if (limit.unreadable || limit.belowMinimum) {
        voltageLimitStored = stored.type() == QVariant::StringList ? stored.toStringList().join(QLatin1Char(','))
                                                                   : stored.toString();
        voltageLimitMv = -1;
        qWarning("%s", qUtf8Printable(QStringLiteral("Настройка %1=«%2» не читается как предел напряжения (целое число "
                                                     "милливольт от 0 до %3); выходы не включаются, пока она не "
                                                     "исправлена или не удалена из stendix.ini")
                                          .arg(settingsKeyName(settings, QLatin1String(keyVoltageLimit)),
                                               voltageLimitStored)
                                          .arg(voltageLimitMaximum)));
    } else {
        voltageLimitStored.clear();
        voltageLimitMv = limit.value;
        if (!limit.warning.isEmpty())
            qWarning("%s", qUtf8Printable(limit.warning));
    }
    settings->endGroup();
}

QString ModuleVek72::name(bool withModification) const
{
    if (withModification) {
        const int code = handle.info.modification;
        if (code >= 1 && code <= 3)
            return QStringLiteral("VEK72-%1-%2").arg(code).arg(handle.info.dacChannelCount);
    }
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

// A range change takes the voltage of the channels it changes back to their default, whatever they
// held: the range selectors say so, before the operator finds out.
static QString rangeChangeTip()
{
    return QStringLiteral("При смене диапазона напряжение возвращается к значению по умолчанию (0 мВ): "
                          "введите его заново");
}

void ModuleVek72::createGui(QWidget* settingsHostWidget, QWidget* controlsHostWidget,
                            QWidget* reportHost, QWidget* infoHostWidget,
                            QWidget* optionsHostWidget)
{
    // Every numeric field gets its range and decimals before its value: the forms' default range
    // (0 to 99.99) would clamp the value otherwise.

    // Channel patterns over all eight channels of the forms.
    const QString groupPattern = pattern("^groupBoxCh[1-%1]$", panelChannels);
    const QString typePattern = pattern("^comboBoxVoltageTypeCh[1-%1]$", panelChannels);
    const QString rangePattern = pattern("^comboBoxRangeCh[1-%1]$", panelChannels);
    const QString voltagePattern = pattern("^spinBoxVoltageCh[1-%1]$", panelChannels);
    const QString frequencyPattern = pattern("^doubleSpinBoxFrequencyCh[1-%1]$", panelChannels);
    const QString offsetPattern = pattern("^doubleSpinBoxOffsetCh[1-%1]$", panelChannels);

    const ModificationLimits& lim = limits();

    // The panel event handler, on the GUI thread (the thread of the first host given, or the
    // application's thread when there is no host at all).
    delete guiHandler;
    guiHandler = new ModuleVek72GuiHandler(settingsHostWidget, controlsHostWidget, reportHost,
                                           customSignalsEnabled);
    QWidget* anyHost = settingsHostWidget ? settingsHostWidget
                       : controlsHostWidget ? controlsHostWidget
                       : infoHostWidget ? infoHostWidget : optionsHostWidget;
    QThread* guiThread = anyHost ? anyHost->thread()
                                 : (QCoreApplication::instance() ? QCoreApplication::instance()->thread()
                                                                : QThread::currentThread());
    if (guiHandler->thread() != guiThread)
        guiHandler->moveToThread(guiThread);

    require(connect(guiHandler, &ModuleVek72GuiHandler::restart, this, &ModuleVek72::restartManual),
            "handler restart()");
    require(connect(this, &ModuleVek72::lockControls, guiHandler, &ModuleVek72GuiHandler::lockControls),
            "lockControls(bool)");

    if (customSignalsEnabled)
        resetCustomSignals();

    // The common settings panel.
    if (settingsHostWidget) {
        settingsHost = settingsHostWidget;
        settingsUi->setupUi(settingsHostWidget);
        Ui::Vek72Settings* ui = settingsUi;

        // The all-channels box, partial until the channels are known.
        allChannelsLayout = new QGridLayout(ui->widgetCustomCheckBox);
        allChannelsLayout->setContentsMargins(0, 0, 0, 0);
        allChannelsCheckBox = new Ui::CustomCheckBox(ui->widgetCustomCheckBox);
        allChannelsCheckBox->setText(QStringLiteral("Все каналы"));
        allChannelsCheckBox->setCheckState(Qt::PartiallyChecked);
        allChannelsLayout->addWidget(allChannelsCheckBox, 0, 0);
        require(connect(allChannelsCheckBox.data(), &QCheckBox::stateChanged, this,
                        &ModuleVek72::on_checkBoxChannels_stateChanged),
                "checkBoxChannels");

        // The busy animation runs only while output runs.
        delete busyMovie;
        busyMovie = new QMovie(QStringLiteral(":/wave.gif"));
        busyMovie->jumpToFrame(0);
        QSize frame = busyMovie->currentImage().size();
        frame.scale(ui->labelActive->size(), Qt::KeepAspectRatio);
        busyMovie->setScaledSize(frame);
        ui->labelActive->setMovie(busyMovie);
        ui->labelActive->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
        busyMovie->start();
        busyMovie->setPaused(true);

        // The output rate is shown once a module is open; its line is kept from the start, so that
        // the panel does not grow under a window already sized to it (a line of Cyrillic text can be
        // taller than the empty label's).
        ui->labelOutputRate->setText(QStringLiteral("192 кГц на канал"));
        ui->labelOutputRate->setMinimumSize(ui->labelOutputRate->sizeHint());
        ui->labelOutputRate->clear();

        require(connect(ui->comboBoxMode, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                        &ModuleVek72::on_comboBoxMode_currentIndexChanged),
                "comboBoxMode");
        require(connect(ui->pushButtonStartStop, &QPushButton::toggled, this,
                        &ModuleVek72::on_pushButtonStartStop_toggled),
                "pushButtonStartStop");
        require(connect(ui->pushButtonStartStop, &QPushButton::toggled, guiHandler,
                        &ModuleVek72GuiHandler::showApplyHints),
                "pushButtonStartStop hints");

        require(connect(ui->comboBoxVoltageType, QOverload<int>::of(&QComboBox::currentIndexChanged),
                        this, &ModuleVek72::on_comboBoxVoltageType_currentIndexChanged),
                "comboBoxVoltageType");
        ui->comboBoxRange->setToolTip(rangeChangeTip());
        require(connect(ui->comboBoxRange, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                        &ModuleVek72::on_comboBoxRange_currentIndexChanged),
                "comboBoxRange");
        require(connect(ui->comboBoxDacFreq, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                        &ModuleVek72::on_comboBoxDacFreq_currentIndexChanged),
                "comboBoxDacFreq");

        // The value fields: each minimum is one below the real range (the "channels differ" value).
        ui->spinBoxVoltage->setMinimum(lim.acBelowMin);
        ui->spinBoxVoltage->setMaximum(lim.acMax / 10);
        ui->spinBoxVoltage->setValue(lim.voltageDefault);
        ui->spinBoxVoltage->setSpecialValueText(disagreementText());
        ui->spinBoxVoltage->installEventFilter(guiHandler);
        require(connect(ui->spinBoxVoltage, QOverload<int>::of(&QSpinBox::valueChanged), this,
                        &ModuleVek72::on_spinBoxVoltage_valueChanged),
                "spinBoxVoltage");

        ui->doubleSpinBoxFrequency->setMinimum(0);
        ui->doubleSpinBoxFrequency->setMaximum(frequencyCeiling);
        ui->doubleSpinBoxFrequency->setDecimals(accuracyFreq);
        ui->doubleSpinBoxFrequency->setValue(defaultFrequency);
        ui->doubleSpinBoxFrequency->setSpecialValueText(disagreementText());
        ui->doubleSpinBoxFrequency->installEventFilter(guiHandler);
        require(connect(ui->doubleSpinBoxFrequency, QOverload<double>::of(&QDoubleSpinBox::valueChanged),
                        this, &ModuleVek72::on_doubleSpinBoxFrequency_valueChanged),
                "doubleSpinBoxFrequency");

        ui->doubleSpinBoxOffset->setMinimum(lim.offsetBelowMinVolts);
        ui->doubleSpinBoxOffset->setMaximum(lim.offsetMax / 1000.0);
        ui->doubleSpinBoxOffset->setDecimals(accuracyDc);
        ui->doubleSpinBoxOffset->setValue(lim.offsetDefault / 1000.0);
        ui->doubleSpinBoxOffset->setSpecialValueText(disagreementText());
        ui->doubleSpinBoxOffset->installEventFilter(guiHandler);
        require(connect(ui->doubleSpinBoxOffset, QOverload<double>::of(&QDoubleSpinBox::valueChanged),
                        this, &ModuleVek72::on_doubleSpinBoxOffset_valueChanged),
                "doubleSpinBoxOffset");

        // The custom-signal group: its fields' limits and decimals, whether custom signals are on or
        // not (they may be switched on while the program runs).
        ui->spinBoxCustomAmplitude->setRange(lim.customAmplitudeMin, lim.customAmplitudeMax);
        ui->spinBoxCustomAmplitude->setValue(lim.customAmplitudeDefault);
        ui->doubleSpinBoxCustomFrequency->setMinimum(1);
        ui->doubleSpinBoxCustomFrequency->setMaximum(frequencyCeiling);
        ui->doubleSpinBoxCustomFrequency->setDecimals(accuracyFreq);
        ui->doubleSpinBoxCustomFrequency->setValue(defaultFrequency);
        ui->doubleSpinBoxCustomOffset->setRange(lim.offsetMin / 1000.0, lim.offsetMax / 1000.0);
        ui->doubleSpinBoxCustomOffset->setValue(lim.offsetDefault / 1000.0);
        ui->doubleSpinBoxCustomPhase->setDecimals(ChannelSignal::phaseDecimals);
        ui->doubleSpinBoxCustomPhase->setRange(0.0, ChannelSignal::phaseFieldMaximum);
        ui->doubleSpinBoxCustomPhase->setValue(0.0);
        // The dialog is the handler's, on the GUI thread; the file is read on the module thread.
        require(connect(ui->pushButtonCustomLoad, &QPushButton::clicked, guiHandler,
                        &ModuleVek72GuiHandler::chooseWaveformFile),
                "pushButtonCustomLoad");
        require(connect(guiHandler, &ModuleVek72GuiHandler::waveformFileChosen, this,
                        &ModuleVek72::loadCustomWaveform),
                "waveformFileChosen(QString)");
    }

    // The eight channel group boxes.
    if (controlsHostWidget) {
        controlsHost = controlsHostWidget;
        controlsUi->setupUi(controlsHostWidget);

        for (QGroupBox* group : all<QGroupBox>(controlsHostWidget, groupPattern)) {
            require(connect(group, &QGroupBox::toggled, this, &ModuleVek72::on_groupBoxChX_toggled),
                    "groupBoxChN");
        }
        for (QComboBox* combo : all<QComboBox>(controlsHostWidget, typePattern)) {
            require(connect(combo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                            &ModuleVek72::on_comboBoxVoltageTypeChX_currentIndexChanged),
                    "comboBoxVoltageTypeChN");
        }
        for (QComboBox* combo : all<QComboBox>(controlsHostWidget, rangePattern)) {
            combo->setToolTip(rangeChangeTip());
            require(connect(combo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                            &ModuleVek72::on_comboBoxRangeChX_currentIndexChanged),
                    "comboBoxRangeChN");
        }
        for (QSpinBox* box : all<QSpinBox>(controlsHostWidget, voltagePattern)) {
            box->setMinimum(lim.acMin);
            box->setMaximum(lim.acMax / 10);
            box->setValue(lim.voltageDefault);
            box->installEventFilter(guiHandler);
            require(connect(box, QOverload<int>::of(&QSpinBox::valueChanged), this,
                            &ModuleVek72::on_spinBoxVoltageChX_valueChanged),
                    "spinBoxVoltageChN");
        }
        for (QDoubleSpinBox* box : all<QDoubleSpinBox>(controlsHostWidget, frequencyPattern)) {
            box->setMinimum(1);
            box->setMaximum(frequencyCeiling);
            box->setDecimals(accuracyFreq);
            box->setValue(defaultFrequency);
            box->installEventFilter(guiHandler);
            require(connect(box, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
                            &ModuleVek72::on_doubleSpinBoxFrequencyChX_valueChanged),
                    "doubleSpinBoxFrequencyChN");
        }
        for (QDoubleSpinBox* box : all<QDoubleSpinBox>(controlsHostWidget, offsetPattern)) {
            box->setMinimum(lim.offsetMin / 1000.0);
            box->setMaximum(lim.offsetMax / 1000.0);
            box->setDecimals(accuracyDc);
            box->setValue(lim.offsetDefault / 1000.0);
            box->installEventFilter(guiHandler);
            require(connect(box, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
                            &ModuleVek72::on_doubleSpinBoxOffsetChX_valueChanged),
                    "doubleSpinBoxOffsetChN");
        }
    }

    // The custom signals' items, group, connections and watched widgets, when they are on.
    wireCustomSignals(customSignalsEnabled);
    captureFormDefaults();
    // The value fields' Return/Enter hint says what the key does with the output as it stands.
    guiHandler->showApplyHints(settingsHost && settingsUi->pushButtonStartStop->isChecked());

    if (infoHostWidget) {
        infoHost = infoHostWidget;
        infoUi->setupUi(infoHostWidget);
    }

    if (optionsHostWidget) {
        optionsHost = optionsHostWidget;
        optionsUi->setupUi(optionsHostWidget);
        optionsUi->spinBoxAccuracyAC->setRange(0, 6);
        optionsUi->spinBoxAccuracyDC->setRange(0, 6);
        optionsUi->spinBoxAccuracyFreq->setRange(0, 6);
        optionsUi->labelAccuracyError->hide();
        optionsUi->spinBoxAccuracyError->hide();
        optionsUi->spinBoxVoltageLimit->setRange(0, voltageLimitMaximum);
        showVoltageLimit(optionsUi->spinBoxVoltageLimit, voltageLimitMv, voltageLimitStored);
        require(connect(optionsUi->spinBoxAccuracyAC, QOverload<int>::of(&QSpinBox::valueChanged), this,
                        &ModuleVek72::on_spinBoxAccuracyAC_valueChanged),
                "spinBoxAccuracyAC");
        require(connect(optionsUi->spinBoxAccuracyDC, QOverload<int>::of(&QSpinBox::valueChanged), this,
                        &ModuleVek72::on_spinBoxAccuracyDC_valueChanged),
                "spinBoxAccuracyDC");
        require(connect(optionsUi->spinBoxAccuracyFreq, QOverload<int>::of(&QSpinBox::valueChanged), this,
                        &ModuleVek72::on_spinBoxAccuracyFreq_valueChanged),
                "spinBoxAccuracyFreq");
    }
}

void ModuleVek72::resetOptions()
{
    pendingAccuracyAc = accuracyAc;
    pendingAccuracyDc = accuracyDc;
    pendingAccuracyFreq = accuracyFreq;
    pendingCustomSignals = customSignalsEnabled;
    if (!optionsHost)
        return;
    Ui::Vek72Options* ui = optionsUi;
    const int ac = accuracyAc, dc = accuracyDc, freq = accuracyFreq, limit = voltageLimitMv;
    const bool custom = customSignalsEnabled;
    const QString stored = voltageLimitStored;
    widgetsync::runOn(optionsHost, [ui, ac, dc, freq, limit, stored, custom] {
        ui->checkBoxCustomSignals->setChecked(custom);
        ui->spinBoxAccuracyAC->setValue(ac);
        ui->spinBoxAccuracyDC->setValue(dc);
        ui->spinBoxAccuracyFreq->setValue(freq);
        showVoltageLimit(ui->spinBoxVoltageLimit, limit, stored);
    });
}

void ModuleVek72::applyOptions(QSettings* settings)
{
    // The page's spin boxes are the edited values. Their slots copy every change into the pending
    // values through the module thread; reading the page here as well keeps an edit made just
    // before OK from being lost while its slot call is still on the way.
    if (optionsHost && widgetsync::onThreadOf(optionsHost)) {
        pendingAccuracyAc = optionsUi->spinBoxAccuracyAC->value();
        pendingAccuracyDc = optionsUi->spinBoxAccuracyDC->value();
        pendingAccuracyFreq = optionsUi->spinBoxAccuracyFreq->value();
        pendingCustomSignals = optionsUi->checkBoxCustomSignals->isChecked();
        // An unreadable limit stays as the file has it unless the operator enters one.
        const int limit = optionsUi->spinBoxVoltageLimit->value();
        if (voltageLimitMv.load() >= 0 || limit > 0) {
            voltageLimitMv = limit;
            voltageLimitStored.clear();
            showVoltageLimit(optionsUi->spinBoxVoltageLimit, limit, QString());
        }
    }
    accuracyAc = pendingAccuracyAc;
    accuracyDc = pendingAccuracyDc;
    accuracyFreq = pendingAccuracyFreq;

    if (settings) {
        settings->beginGroup(QLatin1String(settingsGroup));
        settings->setValue(QLatin1String(keyAccuracyAc), accuracyAc);
        settings->setValue(QLatin1String(keyAccuracyDc), accuracyDc);
        settings->setValue(QLatin1String(keyAccuracyFreq), accuracyFreq);
        settings->setValue(QLatin1String(keyCustomSignals), pendingCustomSignals);
        if (voltageLimitMv.load() >= 0)
            settings->setValue(QLatin1String(keyVoltageLimit), voltageLimitMv.load());
        settings->endGroup();
    }

    // Decimals of every frequency and offset field, on all eight channels.
    onPanels([this] {
        QList<QDoubleSpinBox*> frequencies = all<QDoubleSpinBox>(controlsHost, pattern("^doubleSpinBoxFrequencyCh[1-%1]$", panelChannels));
        QList<QDoubleSpinBox*> offsets = all<QDoubleSpinBox>(controlsHost, pattern("^doubleSpinBoxOffsetCh[1-%1]$", panelChannels));
        if (settingsHost) {
            frequencies << settingsUi->doubleSpinBoxFrequency << settingsUi->doubleSpinBoxCustomFrequency;
            offsets << settingsUi->doubleSpinBoxOffset;
        }
        for (QDoubleSpinBox* box : frequencies)
            box->setDecimals(accuracyFreq);
        for (QDoubleSpinBox* box : offsets)
            box->setDecimals(accuracyDc);
        return 0;
    });
    if (pendingCustomSignals != customSignalsEnabled)
        switchCustomSignals(pendingCustomSignals);
}

void ModuleVek72::switchCustomSignals(bool on)
{
    // Output stops the operator's way first (the button's slot, queued to the module thread, stops
    // and drives the outputs to 0 V); the switch is queued behind it, so it finds the output stopped.
    QPushButton* button = settingsHost ? settingsUi->pushButtonStartStop : nullptr;
    const bool wasPlaying = button && widgetsync::query<bool>(button, [button] { return button->isChecked(); }, false);
    requestOutput(false);
    QMetaObject::invokeMethod(this, [this, on, wasPlaying] {
        QMutexLocker lock(&restartMutex);
        // A stop the module did not confirm is reported by the stop itself, and not called done here.
        const bool stopped = !isRunning() || stop();
        auto switchedOff = QSharedPointer<QList<int>>::create();
        onPanels([this, on, switchedOff] {
            *switchedOff = setCustomSignalsOnPanels(on);
            return 0;
        });
        QString text = on ? QStringLiteral("Особые сигналы включены") : QStringLiteral("Особые сигналы выключены");
        if (wasPlaying && stopped)
            text += QStringLiteral("; генерация остановлена");
        if (!switchedOff->isEmpty()) {
            QStringList channels;
            for (int channel : *switchedOff)
                channels << QString::number(channel);
            text += QStringLiteral("; выключены каналы режима «Особый»: %1").arg(channels.join(QStringLiteral(", ")));
        }
        qInfo().noquote() << text;
        emit statusMessage(text);
    }, Qt::QueuedConnection);
}

QList<int> ModuleVek72::setCustomSignalsOnPanels(bool on)
{
    QList<int> switchedOff;
    if (on == customSignalsEnabled)
        return switchedOff;
    if (on) {
        resetCustomSignals();
        resetCustomGroup();
        customSignalsEnabled = true;
        wireCustomSignals(true);
        return switchedOff;
    }
    // A channel of the special type cannot keep it: it becomes AC at the default voltage and
    // offset, as a change of its type does, and is switched off, so that nothing the operator did
    // not ask for plays at the next start.
    const QString special = specialTypeText();
    for (int n = 1; n <= panelChannels; ++n) {
        auto* group = channelWidget<QGroupBox>("^groupBoxCh%1$", n);
        auto* type = channelWidget<QComboBox>("^comboBoxVoltageTypeCh%1$", n);
        if (!group || !type || type->currentText() != special)
            continue;
        const bool wasOn = group->isChecked();
        const bool usable = n <= panelChannelCount;
        if (usable)
            setQuietly(skipChannelEnable, group, true);
        const int ac = itemIndex(type, QStringLiteral("AC"));
        setQuietly(skipChannelVoltageType, type, ac);
        if (usable) {
            adjustChannelToType(n, ac);
            setQuietly(skipChannelEnable, group, false);
            if (wasOn)
                switchedOff << n;
        }
    }
    customSignalsEnabled = false;
    wireCustomSignals(false);
    syncCommonFromChannels();
    syncAllChannelsBox(nullptr);
    return switchedOff;
}

bool ModuleVek72::setParameter(QString& name, double value)
{
    Q_UNUSED(value)   // no parameter of this module stores a value
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
    QMutexLocker lock(&handleMutex);
    return VEK72_IsOpened(const_cast<TVEK72*>(&handle)) == VEK72_OK;
}

const QString* ModuleVek72::infoValue(QString& key) const
{
    return key == QLatin1String("Modification") ? &modificationName : nullptr;
}

int ModuleVek72::pendingAccuracy(int which) const
{
    return which == 0 ? pendingAccuracyAc : which == 1 ? pendingAccuracyDc : pendingAccuracyFreq;
}

int ModuleVek72::echoPermits(int family) const
{
    const QSemaphore* const families[] = {
        &skipAllChannels, &skipVoltageType, &skipRange, &skipVoltage, &skipFrequency, &skipOffset,
        &skipChannelEnable, &skipChannelVoltageType, &skipChannelRange, &skipChannelVoltage,
        &skipChannelFrequency, &skipChannelOffset,
    };
    if (family < 0 || family >= int(sizeof(families) / sizeof(families[0])))
        return 0;
    return families[family]->available();
}

void ModuleVek72::resetCustomSignals()
{
    const ModificationLimits& lim = limits();
    for (int i = 0; i < panelChannels; ++i) {
        ChannelSignal& custom = customSignals[i];
        custom.channel = i + 1;
        custom.shape = ChannelSignal::Sine;
        custom.amplitude = lim.customAmplitudeDefault / 1000.0;
        custom.frequency = defaultFrequency;
        custom.offset = lim.offsetDefault / 1000.0;
        custom.phase = 0.0;
        custom.waveform.reset();
    }
}

// A restart request: with the start/stop button pressed, stop and start again with the
// configuration the panels show now, behind the wait box.
void ModuleVek72::restartManual()
{
    if (deferRestart())
        return;
    QMutexLocker lock(&restartMutex);
    // One visit to the panels: whether the button is pressed, and what to play.
    const PanelConfiguration panel = readPanels();
    if (!panel.startPressed)
        return;
    // What cannot be played is refused before anything stops: a running output plays on.
    const bool running = isRunning();
    if (!outputPossible(panel, running)) {
        refuseOutput(running);
        return;
    }
    // The same channels, ranges, rate and mode: the module plays on and takes the new signals
    // without a break.
    if (running && changeWhilePlaying(panel)) {
        showAchievedFrequencies();
        reportOutput(QStringLiteral("Генерация изменена"));
        return;
    }
    emit lockControls(true);
    // A module that did not confirm its stop is not configured anew: the button goes on showing
    // "Стоп", and the stop is completed once the module answers.
    if (!isRunning() || stopConfirmed(true))
        start(false);
    emit lockControls(false);
}

// The panel handler tells which channel the operator works in now. The custom group shows that
// channel's own custom signal, to edit while the channel is of the special type (the handler has
// enabled the group then) and only to look at otherwise: never another channel's.
void ModuleVek72::channelFocusedSlot(int channel, bool enabled)
{
    Q_UNUSED(enabled)
    onPanels([this, channel] {
        if (channel < 1 || channel > panelChannels)
            return 0;
        focusedChannel = channel;
        loadCustomGroup(channel);
        return 0;
    });
}
