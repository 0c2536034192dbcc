#include "terminationsignals.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QtGlobal>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

const int terminationSignals[] = { SIGINT, SIGTERM, SIGHUP };

// Written by the handler, read by the event loop.
int signalPipe[2] = { -1, -1 };

void setAction(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : terminationSignals)
        sigaction(number, &action, nullptr);
}

extern "C" void onTerminationSignal(int number)
{
    // A second signal is not caught: its default action ends the process at once.
    setAction(SIG_DFL);
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

void closeOnTerminationSignals(QObject* window)
{
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, window);
    QPointer<QObject> target(window);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier, target] {
        unsigned char number = 0;
        if (::read(signalPipe[0], &number, 1) != 1)
            return;
        notifier->setEnabled(false);
        const char* name = number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "SIGHUP";
        qInfo("Получен сигнал %s", name);
        if (target)
            QMetaObject::invokeMethod(target, "close", Qt::QueuedConnection);
    });
    setAction(onTerminationSignal);
}
