#include "modulevek72guihandler.h"

#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QWidget>

#include "channelwidgets.h"
#include "modificationlimits.h"

using namespace channelwidgets;

namespace {

bool isTab(QEvent* event)
{
    return event->type() == QEvent::KeyPress
           && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Tab;
}

bool isReturn(QEvent* event)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    const int key = static_cast<QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

} // namespace

ModuleVek72GuiHandler::ModuleVek72GuiHandler(QWidget* settingsHost, QWidget* controlsHost,
                                             QWidget* reportHost, bool customSignalsEnabled)
    : controlsHost(controlsHost), settingsHost(settingsHost),
      customSignalsEnabled(customSignalsEnabled)
{
    Q_UNUSED(reportHost)
    waitBox = new QMessageBox(controlsHost);
    waitBox->setWindowModality(Qt::WindowModal);
    waitBox->setWindowFlags(waitBox->windowFlags() & ~Qt::WindowCloseButtonHint
                            & ~Qt::WindowContextHelpButtonHint);
    waitBox->setStandardButtons(QMessageBox::NoButton);
    waitBox->setIcon(QMessageBox::Warning);
    waitBox->setText(QStringLiteral("Выполняется настройка\nПожалуйста, подождите"));
}

ModuleVek72GuiHandler::~ModuleVek72GuiHandler()
{
    delete waitBox.data();
}

void ModuleVek72GuiHandler::channelFocusedSlot(int channel)
{
    currentChannel = channel;
}

void ModuleVek72GuiHandler::lockControls(bool yes)
{
    if (!waitBox)
        return;
    if (yes)
        waitBox->show();
    else
        waitBox->hide();
}

void ModuleVek72GuiHandler::showApplyHints(bool outputOn)
{
    const QString now = applyNowHint();
    const QString atStart = applyAtStartHint();
    for (QWidget* host : { settingsHost.data(), controlsHost.data() }) {
        if (!host)
            continue;
        for (QWidget* field : host->findChildren<QWidget*>()) {
            // A field's own hint is kept apart from what else its tool tip tells (the frequency a
            // channel was asked for, before it).
            const QVariant kept = field->property("formTip");
            const QString base = kept.isValid() ? kept.toString() : field->toolTip();
            if (base != now && base != atStart)
                continue;
            field->setProperty("formTip", outputOn ? now : atStart);
            composeFieldTip(field);
        }
    }
}

void ModuleVek72GuiHandler::composeFieldTip(QWidget* field)
{
    if (!field->property("formTip").isValid())
        field->setProperty("formTip", field->toolTip());
    const QString hint = field->property("formTip").toString();
    const QString asked = field->property("frequencyRequest").toString();
    field->setToolTip(asked.isEmpty() ? hint : hint.isEmpty() ? asked : asked + QLatin1Char('\n') + hint);
}

// Tab moves along the cycle (from the last field back to the first), Return/Enter asks for a
// restart; both are consumed. Answers whether `watched` is one of the fields.
bool ModuleVek72GuiHandler::handleFieldCycle(QObject* watched, QEvent* event,
                                             std::initializer_list<QWidget*> cycle, bool* consumed)
{
    if (!watched)
        return false;
    QWidget* const* fields = cycle.begin();
    const int count = int(cycle.size());
    int at = -1;
    for (int i = 0; i < count && at < 0; ++i) {
        if (fields[i] == watched)
            at = i;
    }
    if (at < 0)
        return false;
    QWidget* next = fields[(at + 1) % count];

    *consumed = false;
    if (isTab(event)) {
        if (next)
            next->setFocus(Qt::OtherFocusReason);
        *consumed = true;
    } else if (isReturn(event)) {
        emit restart();
        *consumed = true;
    }
    return true;
}

bool ModuleVek72GuiHandler::eventFilter(QObject* watched, QEvent* event)
{
    // The widgets are looked up on every event: nothing is cached across panel rebuilds.
    bool consumed = false;
    if (handleFieldCycle(watched, event,
                         { named<QWidget>(settingsHost, "spinBoxVoltage"),
                           named<QWidget>(settingsHost, "doubleSpinBoxFrequency"),
                           named<QWidget>(settingsHost, "doubleSpinBoxOffset") },
                         &consumed))
        return consumed || QObject::eventFilter(watched, event);

    if (customSignalsEnabled) {
        if (handleFieldCycle(watched, event,
                             { named<QWidget>(settingsHost, "spinBoxCustomAmplitude"),
                               named<QWidget>(settingsHost, "doubleSpinBoxCustomFrequency"),
                               named<QWidget>(settingsHost, "doubleSpinBoxCustomOffset"),
                               named<QWidget>(settingsHost, "doubleSpinBoxCustomPhase") },
                             &consumed))
            return consumed || QObject::eventFilter(watched, event);

        if (event->type() == QEvent::FocusIn || event->type() == QEvent::ShowToParent) {
            const QString groups = pattern("^groupBoxCh[1-%1]$", panelChannels);
            for (QGroupBox* group : all<QGroupBox>(controlsHost, groups)) {
                // The parent chain, not isAncestorOf: a combo box's popup is a window of its own.
                bool inside = false;
                for (QObject* o = watched; o && !inside; o = o->parent())
                    inside = o == group;
                if (inside && group->isChecked())
                    highlight(group);
            }
        }
    }

    // A channel's three numeric fields: Tab stays within the channel, Return/Enter asks for a restart.
    if (event->type() == QEvent::KeyPress && controlsHost
        && controlsHost->isAncestorOf(qobject_cast<QWidget*>(watched))) {
        const int channel = number(watched, "^(?:spinBoxVoltage|doubleSpinBoxFrequency|doubleSpinBoxOffset)Ch([1-8])$");
        if (channel
            && handleFieldCycle(watched, event,
                                { ofChannel<QWidget>(controlsHost, "^spinBoxVoltageCh%1$", channel),
                                  ofChannel<QWidget>(controlsHost, "^doubleSpinBoxFrequencyCh%1$", channel),
                                  ofChannel<QWidget>(controlsHost, "^doubleSpinBoxOffsetCh%1$", channel) },
                                &consumed))
            return consumed;
    }
    return QObject::eventFilter(watched, event);
}

void ModuleVek72GuiHandler::chooseWaveformFile()
{
    QWidget* parent = settingsHost ? settingsHost->window() : nullptr;
    // Qt's own dialog (in Russian with the program's Qt translations, as the setups' dialogs),
    // window-modal and not waited for, so that nothing here runs a local event loop.
    auto* dialog = new QFileDialog(parent, QStringLiteral("Загрузить произвольный сигнал"), waveformFolder,
                                   QStringLiteral("Таблицы и звук (*.csv *.txt *.wav);;Таблицы CSV (*.csv *.txt);;"
                                                  "Звук WAV (*.wav);;Все файлы (*)"));
    dialog->setObjectName(QStringLiteral("fileDialogWaveform"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& path) {
        if (path.isEmpty())
            return;
        waveformFolder = QFileInfo(path).absolutePath();
        emit waveformFileChosen(path);
    });
    dialog->open();
}

void ModuleVek72GuiHandler::highlight(QWidget* groupBox)
{
    const int channel = number(groupBox, "^groupBoxCh(\\d)$");
    groupBox->setStyleSheet(groupBold());
    if (channel == currentChannel)
        return;
    if (auto* previous = ofChannel<QGroupBox>(controlsHost, "^groupBoxCh%1$", currentChannel))
        previous->setStyleSheet(groupNormal());
    currentChannel = channel;

    auto* typeCombo = ofChannel<QComboBox>(controlsHost, "^comboBoxVoltageTypeCh%1$", channel);
    if (!typeCombo)
        return;
    const int specialIndex = typeCombo->findData(specialTypeText(), Qt::DisplayRole,
                                                 Qt::MatchCaseSensitive);
    const bool special = specialIndex >= 0 && typeCombo->currentIndex() == specialIndex;
    if (QWidget* custom = named<QWidget>(settingsHost, "groupBoxCustom")) {
        custom->setEnabled(special);
        emit channelFocused(channel, special);
    }
}
