// Outputs at rest, read back. After every stop (the operator's, the last channel switched off,
// remote control, closing, a fault) and whenever a module is opened, the module is asked what it
// does and what its outputs hold, and brought to rest until it says so. A stop the service could not
// take (it did not answer, or refused) is shown as what it is: the start button says "Стоп" while
// the module may still play, the module light is red while the outputs may hold a level, and the
// rest is asked again, without waiting, until the module confirms it.
#include "modulevek72.h"

#include <QDebug>
#include <QMutexLocker>
#include <QPushButton>
#include <QSignalBlocker>

#include <cmath>

#include "modulevek72guihandler.h"
#include "serviceaddress.h"
#include "ui_vek72settings.h"
#include "vek72error.h"
#include "widgetsync.h"

namespace {

// Steps of a rest: stopping or zeroing is asked again this often while the service answers.
constexpr int restTries = 3;
// One reading of the module's state: short, so that a service that hangs costs little (closing has
// to end within its bound); one that has come back answers at once (with the answer it still owed
// first).
constexpr quint32 statusBoundMs = 100;
// An output that holds more than this (in volts, either way) holds a level: more than a few codes
// of the finest scale, less than anything an operator sets.
constexpr double restVolts = 0.001;

QString libraryText(const QString& what, int code)
{
    return QStringLiteral("%1. Ошибка %2 (%3)").arg(what).arg(code).arg(vek72ErrorText(code));
}

QString silentText()
{
    return QStringLiteral("служба крейтов %1 не отвечает").arg(serviceAddressText());
}

const char* const hazardText = "Выходы модуля могут оставаться под напряжением: ";

} // namespace

ModuleVek72::RestReport ModuleVek72::bringToRest(bool zero)
{
    RestReport report;
    const int channels = qBound(0, int(handle.info.dacChannelCount), VEK72_MAX_CHANNELS);
    for (int attempt = 0;; ++attempt) {
        TVEK72_STATUS status;
        const int read = VEK72_GetStatus(&handle, &status, statusBoundMs);
        if (sender)
            sender->noteResult(read);
        if (read == VEK72_E_TIMEOUT || read == VEK72_E_NOT_OPENED || read == VEK72_E_CONNECTION) {
            report.result = read == VEK72_E_TIMEOUT ? Rest::Silent : Rest::Refused;
            report.mayPlay = true;
            report.why = read == VEK72_E_TIMEOUT ? silentText() : libraryText(QStringLiteral("нет связи с модулем"), read);
            return report;
        }
        const bool known = read == VEK72_OK;
        bool holds = false;
        for (int ch = 0; known && ch < channels; ++ch)
            holds = holds || std::abs(status.outputVolts[ch]) > restVolts;
        const bool plays = !known || status.running;
        // At rest: the zeroing configuration in force, or no configuration at all with no level held.
        const bool configured = known && status.configured && status.enabledChannels > 0;
        const bool live = zero && (!known || holds || configured);
        if (!plays && !live) {
            report.result = Rest::Done;
            return report;
        }
        report.acted = report.acted || (known && (status.running || holds));
        report.mayPlay = plays;
        if (!known)
            report.why = libraryText(QStringLiteral("состояние модуля не прочитано"), read);
        if (attempt == restTries) {
            report.result = Rest::Refused;
            return report;
        }
        if (plays) {
            const int stopped = VEK72_Stop(&handle, 0);
            if (sender)
                sender->noteResult(stopped);
            if (stopped == VEK72_E_TIMEOUT) {
                report.result = Rest::Silent;
                report.why = silentText();
                return report;
            }
            if (stopped != VEK72_OK && stopped != VEK72_E_NOT_RUNNING) {
                report.why = libraryText(QStringLiteral("генерация не остановлена"), stopped);
                report.refusals << libraryText(QStringLiteral("Генерация остановлена с ошибкой"), stopped);
                continue;
            }
        }
        if (live) {
            const int zeroed = zeroOutputs();
            if (zeroed == VEK72_E_TIMEOUT) {
                report.result = Rest::Silent;
                report.mayPlay = false;
                report.why = silentText();
                return report;
            }
            if (zeroed != VEK72_OK) {
                report.why = libraryText(QStringLiteral("нули на выходах не выставлены"), zeroed);
                report.refusals << libraryText(QStringLiteral("Не удалось установить настройки ЦАП"), zeroed);
            }
        }
    }
}

void ModuleVek72::setSafety(OutputSafety state)
{
    const OutputSafety before = safety.exchange(state);
    if ((before == OutputSafety::Safe) != (state == OutputSafety::Safe))
        emit outputsConfirmed(state == OutputSafety::Safe);
}

void ModuleVek72::showStartButton(bool pressed)
{
    if (!settingsHost)
        return;
    QPushButton* button = settingsUi->pushButtonStartStop;
    ModuleVek72GuiHandler* handler = guiHandler;
    widgetsync::runOn(button, [button, handler, pressed] {
        button->setText(pressed ? QStringLiteral("Стоп") : QStringLiteral("Старт"));
        if (button->isChecked() == pressed)
            return;
        // What the module does, not an operator's request: the button's slot does not act on it.
        const QSignalBlocker quiet(button);
        button->setChecked(pressed);
        if (handler)
            handler->showApplyHints(pressed);
    });
}

void ModuleVek72::restOutcome(const RestReport& report, bool zero, const QString& done)
{
    for (const QString& refusal : report.refusals)
        qWarning().noquote() << refusal;
    if (report.result == Rest::Done) {
        // A stop that took leaves the zeroing still to confirm when that was asked for before.
        const bool zeroLeft = !zero && restZeroes.load() && safety.load() != OutputSafety::Safe;
        restZeroes = zeroLeft;
        setSafety(zeroLeft ? OutputSafety::MayHold : OutputSafety::Safe);
        if (!done.isEmpty()) {
            qInfo().noquote() << done;
            emit statusMessage(done);
        }
    } else {
        restZeroes = zero || restZeroes.load();
        setSafety(report.mayPlay ? OutputSafety::MayPlay : OutputSafety::MayHold);
        const QString text = QString::fromUtf8(hazardText) + report.why;
        qCritical().noquote() << text;
        emit statusMessage(text);
    }
    showStartButton(isRunning());
    syncBusyAnimation();
}

bool ModuleVek72::stopConfirmed(bool report)
{
    // A stop already on its way (the operator's, on the module thread) is waited for, not asked
    // again: the caller (closing, a discovery) goes on from a stopped module.
    if (!waitForStopInProgress() && sender && sender->isRunning())
        sender->stopOutput();
    syncBusyAnimation();
    if (!isOpened())
        return !isRunning();
    // A service that did not answer the stop is not asked again here: whoever stops without
    // reporting (closing, a discovery, another module) reads the module back when it closes it.
    if (!report && sender && sender->serviceSilent()) {
        setSafety(OutputSafety::MayPlay);
        return false;
    }
    RestReport rest;
    {
        QMutexLocker lock(&handleMutex);
        rest = bringToRest(false);
    }
    if (rest.result == Rest::Done) {
        if (safety.load() == OutputSafety::MayPlay)
            setSafety(restZeroes.load() ? OutputSafety::MayHold : OutputSafety::Safe);
        return true;
    }
    if (report)
        restOutcome(rest, false, QString());
    else
        setSafety(rest.mayPlay ? OutputSafety::MayPlay : OutputSafety::MayHold);
    return false;
}

void ModuleVek72::stopAndRest()
{
    const bool wasRunning = isRunning();
    if (!waitForStopInProgress() && sender && sender->isRunning())
        sender->stopOutput();
    syncBusyAnimation();
    if (!isOpened()) {
        // The connection is gone (its loss is reported): nothing can reach the module.
        setSafety(OutputSafety::Safe);
        showStartButton(false);
        return;
    }
    RestReport rest;
    {
        QMutexLocker lock(&handleMutex);
        rest = bringToRest(true);
    }
    restOutcome(rest, true, wasRunning ? QStringLiteral("Генерация остановлена") : QString());
}

void ModuleVek72::retryRest()
{
    if (safety.load() == OutputSafety::Safe)
        return;
    // Never waits for the handle: whoever uses it now reads the module back by itself.
    if (!handleMutex.tryLock())
        return;
    const OutputSafety was = safety.load();
    if (was == OutputSafety::Safe || VEK72_IsOpened(&handle) != VEK72_OK) {
        handleMutex.unlock();
        return;
    }
    const bool zero = restZeroes.load();
    RestReport rest = bringToRest(zero);
    handleMutex.unlock();
    // Said once when it did not take; now only its completion is.
    if (rest.result != Rest::Done)
        return;
    rest.refusals.clear();
    restOutcome(rest, zero,
                was == OutputSafety::MayPlay ? QStringLiteral("Генерация остановлена")
                                             : QStringLiteral("Нули выставлены на всех выходах модуля"));
}

void ModuleVek72::restFound(quint16 slot)
{
    const RestReport rest = bringToRest(true);
    restZeroes = false;
    if (rest.result == Rest::Done) {
        setSafety(OutputSafety::Safe);
        if (!rest.acted)
            return;
        const QString text = QStringLiteral("Модуль в слоте %1 был запущен или оставлен под напряжением: "
                                            "генерация остановлена, выходы 0 В").arg(slot);
        qWarning().noquote() << text;
        emit statusMessage(text);
        return;
    }
    for (const QString& refusal : rest.refusals)
        qWarning().noquote() << refusal;
    restZeroes = true;
    setSafety(rest.mayPlay ? OutputSafety::MayPlay : OutputSafety::MayHold);
    const QString text = (rest.acted ? QStringLiteral("Модуль в слоте %1 был запущен или оставлен под напряжением. ").arg(slot)
                                     : QString())
                         + QString::fromUtf8(hazardText) + rest.why;
    qCritical().noquote() << text;
    emit statusMessage(text);
}

void ModuleVek72::senderStarved()
{
    qCritical().noquote() << QStringLiteral("Модуль не принимает данные: выведено всё переданное, генерация остановлена");
    // The operator's way: the button shows "Старт", the output is stopped and the outputs go to 0 V.
    requestOutput(false);
}
