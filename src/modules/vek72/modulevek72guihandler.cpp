#include "modulevek72guihandler.h"

#include <QComboBox>
#include <QEvent>
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
            const QString hint = field->toolTip();
            if (hint == now || hint == atStart)
                field->setToolTip(outputOn ? now : atStart);
        }
    }
}

// Tab moves along first -> second -> third -> first, Return/Enter asks for a restart; both are
// consumed. Answers whether `watched` is one of the three fields.
bool ModuleVek72GuiHandler::handleFieldCycle(QObject* watched, QEvent* event, QWidget* first,
                                             QWidget* second, QWidget* third, bool* consumed)
{
    QWidget* next = nullptr;
    if (first && watched == first)
        next = second;
    else if (second && watched == second)
        next = third;
    else if (third && watched == third)
        next = first;
    else
        return false;

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
    if (handleFieldCycle(watched, event, named<QWidget>(settingsHost, "spinBoxVoltage"),
                         named<QWidget>(settingsHost, "doubleSpinBoxFrequency"),
                         named<QWidget>(settingsHost, "doubleSpinBoxOffset"), &consumed))
        return consumed || QObject::eventFilter(watched, event);

    if (customSignalsEnabled) {
        if (handleFieldCycle(watched, event, named<QWidget>(settingsHost, "spinBoxCustomAmplitude"),
                             named<QWidget>(settingsHost, "doubleSpinBoxCustomFrequency"),
                             named<QWidget>(settingsHost, "spinBoxCustomOffset"), &consumed))
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
            && handleFieldCycle(watched, event, ofChannel<QWidget>(controlsHost, "^spinBoxVoltageCh%1$", channel),
                                ofChannel<QWidget>(controlsHost, "^doubleSpinBoxFrequencyCh%1$", channel),
                                ofChannel<QWidget>(controlsHost, "^doubleSpinBoxOffsetCh%1$", channel),
                                &consumed))
            return consumed;
    }
    return QObject::eventFilter(watched, event);
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
