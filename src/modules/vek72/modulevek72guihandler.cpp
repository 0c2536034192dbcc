#include "modulevek72guihandler.h"

#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QMessageBox>
#include <QRegularExpression>
#include <QWidget>

namespace {

const char* const boldGroup = "QGroupBox { font-weight: bold; } ";
const char* const normalGroup = "QGroupBox { font-weight: normal; } ";
constexpr int channelCount = 8;

template <typename T>
QList<T*> findChannelWidgets(QWidget* host, const QString& pattern)
{
    if (!host)
        return {};
    return host->findChildren<T*>(QRegularExpression(pattern.arg(channelCount)),
                                  Qt::FindChildrenRecursively);
}

template <typename T>
T* findChannelWidget(QWidget* host, const QString& pattern, int channel)
{
    if (!host)
        return nullptr;
    const QList<T*> found = host->findChildren<T*>(QRegularExpression(pattern.arg(channel)),
                                                   Qt::FindChildrenRecursively);
    return found.isEmpty() ? nullptr : found.first();
}

template <typename T>
T* findNamed(QWidget* host, const char* name)
{
    return host ? host->findChild<T*>(QLatin1String(name), Qt::FindChildrenRecursively) : nullptr;
}

int channelFromName(const QObject* object, const char* pattern)
{
    const QRegularExpressionMatch match =
        QRegularExpression(QLatin1String(pattern)).match(object->objectName());
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

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
    QWidget* voltage = findNamed<QWidget>(settingsHost, "spinBoxVoltage");
    QWidget* frequency = findNamed<QWidget>(settingsHost, "doubleSpinBoxFrequency");
    QWidget* offset = findNamed<QWidget>(settingsHost, "doubleSpinBoxOffset");

    bool consumed = false;
    if (handleFieldCycle(watched, event, voltage, frequency, offset, &consumed))
        return consumed ? true : QObject::eventFilter(watched, event);

    if (customSignalsEnabled) {
        QWidget* amplitude = findNamed<QWidget>(settingsHost, "spinBoxCustomAmplitude");
        QWidget* customFrequency = findNamed<QWidget>(settingsHost, "doubleSpinBoxCustomFrequency");
        QWidget* customOffset = findNamed<QWidget>(settingsHost, "spinBoxCustomOffset");
        if (handleFieldCycle(watched, event, amplitude, customFrequency, customOffset, &consumed))
            return consumed ? true : QObject::eventFilter(watched, event);

        if (event->type() == QEvent::FocusIn || event->type() == QEvent::ShowToParent) {
            const auto groups = findChannelWidgets<QGroupBox>(controlsHost,
                                                              QStringLiteral("^groupBoxCh[1-%1]$"));
            for (QGroupBox* group : groups) {
                bool inside = false;
                for (QObject* o = watched; o; o = o->parent()) {
                    if (o == group) {
                        inside = true;
                        break;
                    }
                }
                if (inside && group->isChecked())
                    highlight(group);
            }
        }
    }

    if (event->type() == QEvent::KeyPress) {
        int channel = 0;
        if (watched->objectName().contains(QLatin1String("Ch"))) {
            channel = channelFromName(watched, "^spinBoxVoltageCh(\\d)$");
            if (!channel)
                channel = channelFromName(watched, "^doubleSpinBoxFrequencyCh(\\d)$");
            if (!channel)
                channel = channelFromName(watched, "^doubleSpinBoxOffsetCh(\\d)$");
        }
        const bool channelField = channel >= 1 && channel <= channelCount && controlsHost
                                  && controlsHost->isAncestorOf(qobject_cast<QWidget*>(watched));
        if (channelField) {
            if (isTab(event)) {
                const QString name = watched->objectName();
                QString target;
                if (name.startsWith(QLatin1String("spinBoxVoltageCh")))
                    target = QStringLiteral("^doubleSpinBoxFrequencyCh%1$");
                else if (name.startsWith(QLatin1String("doubleSpinBoxFrequencyCh")))
                    target = QStringLiteral("^doubleSpinBoxOffsetCh%1$");
                else
                    target = QStringLiteral("^spinBoxVoltageCh%1$");
                if (QWidget* next = findChannelWidget<QWidget>(controlsHost, target, channel))
                    next->setFocus(Qt::OtherFocusReason);
                return true;
            }
            if (isReturn(event)) {
                emit restart();
                return true;
            }
            return false;
        }
    }
    return QObject::eventFilter(watched, event);
}

void ModuleVek72GuiHandler::highlight(QWidget* groupBox)
{
    const int channel = channelFromName(groupBox, "^groupBoxCh(\\d)$");
    groupBox->setStyleSheet(QLatin1String(boldGroup));
    if (channel == currentChannel)
        return;
    if (auto* previous = findChannelWidget<QGroupBox>(controlsHost, QStringLiteral("^groupBoxCh%1$"),
                                                      currentChannel))
        previous->setStyleSheet(QLatin1String(normalGroup));
    currentChannel = channel;

    auto* typeCombo = findChannelWidget<QComboBox>(controlsHost,
                                                   QStringLiteral("^comboBoxVoltageTypeCh%1$"), channel);
    if (!typeCombo)
        return;
    const int specialIndex = typeCombo->findData(QStringLiteral("Особый"), Qt::DisplayRole,
                                                 Qt::MatchCaseSensitive);
    const bool special = specialIndex >= 0 && typeCombo->currentIndex() == specialIndex;
    if (QWidget* custom = findNamed<QWidget>(settingsHost, "groupBoxCustom")) {
        custom->setEnabled(special);
        emit channelFocused(channel, special);
    }
}
