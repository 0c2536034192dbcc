#include <QApplication>

#include <csignal>

#include "journal.h"
#include "mainwindow.h"
#include "qttranslations.h"
#include "resources.h"
#include "terminationsignals.h"

int main(int argc, char* argv[])
{
#ifdef SIGXFSZ
    // A file-size limit makes a write fail (EFBIG), which the journal and the setups report, instead
    // of ending the process with the outputs as they were.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QApplication application(argc, argv);
    installJournal();
    QApplication::setOrganizationName(QStringLiteral("ZELMAR"));
    QApplication::setOrganizationDomain(QStringLiteral("zelmar.local"));
    QApplication::setApplicationName(QStringLiteral("VEK72"));
    initStendixResources();
    installQtTranslations();

    int exitCode = 0;
    {
        MainWindow window;
        window.show();
        setPopupTarget(&window);
        closeOnTerminationSignals(&window);
        exitCode = application.exec();
    }
    // The window's last messages may have closed no run of repeats yet.
    finishJournal();
    return exitCode;
}
