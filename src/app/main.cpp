#include <QApplication>

#include <csignal>

#include "journal.h"
#include "mainwindow.h"
#include "qttranslations.h"
#include "resources.h"

int main(int argc, char* argv[])
{
#ifdef SIGXFSZ
    // A file-size limit makes a write fail (EFBIG), which the journal and the setups report, instead
    // of ending the process with the outputs as they were.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QApplication application(argc, argv);
    // The local 8-bit encoding stays the platform's own (UTF-8 here): Qt converts file names, paths,
    // arguments and the environment with it, so Cyrillic folder and file names reach the disk and the
    // window as they are. The journal and its copy on standard error are Windows-1251 by themselves
    // (journal::encode).
    qInstallMessageHandler(journalHandler);
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
        exitCode = application.exec();
    }
    // The window's last messages may have closed no run of repeats yet.
    finishJournal();
    return exitCode;
}
