// Output: start configures the module from the panels and starts the sender; stop stops it.
#include "modulevek72.h"

#include <QComboBox>
#include <QDebug>
#include <QMovie>
#include <QPushButton>

#include "ui_vek72settings.h"
#include "widgetsync.h"

namespace {

const char* const cyclicModeText = "Циклический автогенератор";

} // namespace

bool ModuleVek72::start(bool suppress)
{
    if (suppress)
        return false;
    if (!startStopPressed())
        return true;
    const bool cyclic = modeText() == QString::fromUtf8(cyclicModeText);
    if (!applyConfiguration(cyclic)) {
        // The button goes back to "Старт"; its slot stops whatever still runs.
        if (settingsHost)
            widgetsync::setChecked(settingsUi->pushButtonStartStop, false);
        return true;
    }
    if (!sender || !sender->startOutput())
        return true;
    if (busyMovie)
        widgetsync::set(busyMovie, "setPaused", "bool", false);
    return true;
}

bool ModuleVek72::isRunning() const
{
    return sender && sender->isRunning();
}

bool ModuleVek72::stop()
{
    if (busyMovie)
        widgetsync::set(busyMovie, "setPaused", "bool", true);
    return sender ? sender->stopOutput() : false;
}

// Building the library configuration and the channel signals from the panels comes with the
// configuration of the output; until then a start is refused and the button goes back.
bool ModuleVek72::applyConfiguration(bool cyclic)
{
    Q_UNUSED(cyclic)
    qCritical().noquote() << QStringLiteral("Настройка вывода ЦАП ещё не реализована");
    return false;
}
