// A fault that lasts an hour, raising the same critical message ten times a second, run through the
// real journal into a real main window (emulator mode, offscreen) as fast as it goes: the window's
// event loop runs after each simulated second. Every simulated ten minutes it prints the error boxes
// on screen, the count the open box shows, the journal's size and lines, and the process's RSS.
//
//   bench_error_flood [seconds=3600] [per-second=10] [distinct]
//
// "distinct" gives every message a text of its own (nothing is folded; the journal grows with them).
// Runs in a temporary directory; standard error is sent to /dev/null while it runs.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "journal.h"
#include "mainwindow.h"
#include "resources.h"

namespace {

long rssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

QList<QMessageBox*> errorBoxes()
{
    QList<QMessageBox*> boxes;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box && box->isVisible() && box->icon() == QMessageBox::Critical)
            boxes << box;
    }
    return boxes;
}

void report(int second, int maxBoxes)
{
    const QList<QMessageBox*> boxes = errorBoxes();
    const QByteArray journal = [] {
        QFile file(QStringLiteral("stendix.log"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    std::printf("%6d s  boxes %d (most %d)  box says \"%s\"  journal %lld bytes, %d lines  RSS %ld KiB\n", second,
                boxes.size(), maxBoxes, boxes.isEmpty() ? "" : boxes.first()->informativeText().toUtf8().constData(),
                static_cast<long long>(journal.size()), int(journal.count('\n')), rssKiB());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int seconds = args.size() > 1 ? args.at(1).toInt() : 3600;
    const int perSecond = args.size() > 2 ? args.at(2).toInt() : 10;
    const bool distinct = args.contains(QStringLiteral("distinct"));

    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    QSettings(QStringLiteral("stendix.ini"), QSettings::IniFormat).setValue(QStringLiteral("Global/ModuleMode"),
                                                                          QStringLiteral("Emulator"));
    initStendixResources();
    const int savedStderr = dup(2);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 2);
    installJournal();

    int exitCode = 0;
    {
        MainWindow window;
        window.show();
        QElapsedTimer wait;
        wait.start();
        while (!window.selectionAllowed() && wait.elapsed() < 30000)
            app.processEvents(QEventLoop::AllEvents, 50);
        setPopupTarget(&window);
        report(0, 0);

        QElapsedTimer clock;
        clock.start();
        int maxBoxes = 0;
        for (int second = 1; second <= seconds; ++second) {
            for (int n = 0; n < perSecond; ++n) {
                if (distinct)
                    qCritical("Ошибка отправки блока %d.%d (Модуль не отвечает)", second, n);
                else
                    qCritical("Ошибка -105 (Модуль не открыт)");
            }
            app.processEvents();
            maxBoxes = qMax(maxBoxes, errorBoxes().size());
            if (second % 600 == 0 || second == seconds)
                report(second, maxBoxes);
        }
        std::printf("%d messages in %.1f s of real time\n", seconds * perSecond, clock.elapsed() / 1000.0);
        exitCode = maxBoxes == 1 ? 0 : 1;
        window.close();
    }
    finishJournal();
    qInstallMessageHandler(nullptr);
    dup2(savedStderr, 2);
    return exitCode;
}
