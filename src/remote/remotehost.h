// What remote control asks of the window: the modules the selectors list, selecting one as the
// selectors do, and the identity of the current one. Called on the remote-control server's thread;
// an implementation does its work on its own thread, bounded.
#ifndef REMOTEHOST_H
#define REMOTEHOST_H

#include <QList>
#include <QString>

class RemoteHost
{
public:
    virtual ~RemoteHost() = default;

    struct CatalogEntry
    {
        QString crate;   // the crate's serial text
        int slot = 0;    // 1..16
        QString name;    // the module's name with its modification, as the slot selector shows it
    };
    // Every module the selectors list, crate by crate in slot order.
    virtual QList<CatalogEntry> moduleCatalog() = 0;

    enum class Selection {
        Done,
        NotListed,   // no such crate and slot in the list
        Busy,        // a discovery is out, or the window is closing
        Failed,      // listed, but the module could not be made current
    };
    virtual Selection selectModule(const QString& crate, int slot) = 0;

    // The current module's crate and slot; false when no module is current.
    virtual bool currentModule(QString* crate, int* slot) = 0;

    // The current module's name with its modification and its serial text ("VEK72" and "?" when
    // no module is current).
    virtual void identity(QString* name, QString* serial) = 0;

    // Setups of the current module's panels: a plain file name in the setups folder (".vek72"
    // added when it has none), or slot n 1..9 of *SAV/*RCL ("setup-<n>.vek72"); no other file is
    // read or written. Recalling stops a running output first and starts nothing. The outcome, and
    // why a failure failed (logged as a warning).
    enum class SetupResult { Done, NotFound, BadName, Failed, NoModule };
    virtual SetupResult saveSetup(const QString& file, int number) = 0;
    virtual SetupResult recallSetup(const QString& file, int number) = 0;

    // The setups folder's own setup files (links and folders left out), by name, and the bytes
    // free on its disk (-1 when unknown).
    struct StoredFile
    {
        QString name;
        qint64 size = 0;
    };
    virtual QList<StoredFile> setupFiles(qint64* freeBytes) = 0;
};

#endif
