#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QList>
#include <QMainWindow>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QSemaphore>
#include <QThread>

#include "engine.h"
#include "remotehost.h"

class QLabel;
class QSettings;
class MultimeterPage;
class VerificationPage;
class Options;
class SetupStore;
class SetupsController;
class RemoteServer;

namespace Ui {
class MainWindow;
}

// The program's only window: crate and slot selectors with their status lights, the discovery and
// options buttons, and the hosts into which the module builds its panels. It owns the settings file,
// the options dialog, the engine and the engine's thread, and shuts them down in order on closing.
//
// Remote control (mainwindowremote.cpp): the window starts the remote-control server and answers
// its questions about the modules the selectors list (RemoteHost).
class MainWindow : public QMainWindow, public RemoteHost
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // For inspection by tests and diagnostics.
    Engine* engineObject() const { return engine; }
    Options* optionsDialog() const { return options; }
    int displayPeriod() const { return displayUpdateMs; }
    // True while crate and slot selections are handled (no discovery is out).
    bool selectionAllowed() const { return busy.available() > 0; }
    // Setups of the panels: the menu, the title and the last setup of each module; and the store of
    // setup files, whose operations any thread may call (remote *SAV, *RCL, MMEMory).
    SetupsController* setupsController() const { return setups; }
    SetupStore* setupStore() const;
    // Where remote control listens ("127.0.0.1:5025"); empty when it does not.
    QString remoteControlAddress() const { return remoteAddress; }
    // The bench's multimeter on the manual page (group "Multimeter" of the settings).
    MultimeterPage* multimeterPage() const { return multimeter; }
    // The page "Поверка": scenarios, runs and their protocols (with a multimeter only).
    VerificationPage* verificationPage() const { return verification; }

    // RemoteHost: called on the remote-control server's thread, done on this window's.
    QList<CatalogEntry> moduleCatalog() override;
    Selection selectModule(const QString& crate, int slot) override;
    bool currentModule(QString* crate, int* slot) override;
    void identity(QString* name, QString* serial) override;
    SetupResult saveSetup(const QString& file, int number) override;
    SetupResult recallSetup(const QString& file, int number) override;
    QList<StoredFile> setupFiles(qint64* freeBytes) override;

public slots:
    void readyCrate(QList<Engine::Crate>& listCrate);
    void postMessage(QString message);
    void postInfo(QString message);
    void popupMessage(QString message, bool success);
    // At most one error box is open; the critical messages that come while it is open (the journal
    // has them all) are counted in it. None is shown once closing has begun.
    void popupError(QString message);
    // The current module's connection went away by itself.
    void moduleLost();
    // The module light: red while the current module's outputs are not confirmed where the window
    // shows them (a stop or zeroing the module did not take), green again once they are.
    void moduleOutputsConfirmed(bool confirmed);
    // The journal's own troubles (it cannot be written or archived, or writes again), queued by the
    // journal: shown in the status bar.
    void journalProblem(QString message);

private slots:
    void on_pushButtonUpdate_clicked();
    void on_comboBoxCrate_currentIndexChanged(int index);
    void on_comboBoxSlot_currentIndexChanged(int index);
    void on_pushButtonOptions_clicked();
    // Queued back from the engine's thread after each discovery request has been served, whether
    // or not it produced a crate list.
    void discoveryServed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    enum class Lifecycle { Running, Closing, Closed };

    void readSettings();
    // Sizes the window to what the manual page's contents ask for at the first show, and grows it
    // whenever they ask for more, within the free area of the screen; made smaller than its
    // contents, the page scrolls.
    void fitToContents();
    // The free area of the window's screen less the frame the window manager puts around it.
    QSize screenRoom() const;
    void setModuleWidgetsEnabled(bool enabled);
    // The status bar's second label, hidden while empty.
    void showInfo(const QString& message);
    // Shows crate index in the crate selector and only that crate's modules in the slot selector.
    void showCrate(int index, const Engine::Crate& crate);
    void fillSlots(const Engine::Crate& crate);
    // Makes the module current and shows the result in the module light and the module widgets.
    bool useModuleAndShow(int crateIndex, int moduleIndex);
    // Sends one discovery request (counted in pendingDiscoveries by the caller) to the engine.
    void sendDiscoveryRequest();
    // Gives the selection guard its one permit back, never more than one.
    void releaseSelectionGuard();
    // Stops the engine and its thread and syncs the settings; once.
    void shutDown();
    // Remote control: group "Remote" of the settings, the server on a thread of its own; stopped
    // (and its thread ended) before the engine.
    void startRemoteControl();
    void stopRemoteControl();
    Selection selectModuleHere(const QString& crate, int slot);
    // While a verification runs, nothing else may change the module or the meter: the selectors,
    // "Обновить", the options, the setups and the panels wait for its end.
    void verificationRunning(bool running);

    Ui::MainWindow* ui;
    QSettings* settings;
    Options* options;
    QLabel* statusLabel;
    QLabel* infoLabel;
    bool firstShow;
    QThread engineThread;
    Engine* engine;
    QSemaphore busy;
    QPixmap grayPixmap;
    QPixmap greenPixmap;
    QPixmap redPixmap;
    int displayUpdateMs;
    // Discovery requests made (pressed or at first show) whose engine call has not been served yet.
    int pendingDiscoveries;
    Lifecycle lifecycle;
    // The status bar says that the module's connection was lost, until a module is made current.
    bool moduleWasLost = false;
    // What the manual page's contents asked for when the window was last fitted to them.
    QSize fittedContentsHint;
    // The one open error box, and the critical messages that came after the one it shows.
    QPointer<QMessageBox> errorBox;
    int moreErrors;
    SetupsController* setups = nullptr;
    // The crates and modules of the last list handled, as the selectors list them.
    QList<Engine::Crate> listedCrates;
    QThread* remoteThread = nullptr;
    RemoteServer* remoteServer = nullptr;
    QString remoteAddress;
    MultimeterPage* multimeter = nullptr;
    VerificationPage* verification = nullptr;
    // What setModuleWidgetsEnabled was told last.
    bool moduleWidgetsOn = false;
};

#endif
