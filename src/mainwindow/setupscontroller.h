#ifndef SETUPSCONTROLLER_H
#define SETUPSCONTROLLER_H

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include "setupstore.h"

class Engine;
class QAction;
class QMainWindow;
class QMenu;
class QSettings;

// The window's side of setups: the menu "Файл" ("Открыть настройку…", "Сохранить настройку…" and
// the last five setups opened or saved), the setup's file name in the
// title with a "*" once the panels differ from it, and the last setup of each module, kept when
// the module is left or the program closes and put back when that module is opened again (setting
// "RestoreLastSetup" of group "VEK72"). Lives on the GUI thread.
//
// The last setup is also written within about a second of every change of the panels, so that a
// crash loses no more. One that cannot be used when its module is opened is moved aside
// ("….vek72.bad") and said once; it is never overwritten. A setups folder that cannot be written
// is said at start and whenever a save fails.
class SetupsController : public QObject
{
    Q_OBJECT

public:
    // The setups folder is "setups" in the working directory.
    SetupsController(QMainWindow* window, Engine* engine, QSettings* settings, QMenu* menu,
                     QAction* openAction, QAction* saveAction);

    // Thread-safe: for remote commands (*SAV, *RCL, MMEMory) as much as for the window.
    SetupStore* store() const { return setupStore; }

    // The window's hooks: a module is about to be made current (the panels still hold the one
    // before), a module was made current, the window closes.
    void aboutToUseModule(int crateIndex, int moduleIndex);
    void moduleUsed(int crateIndex, int moduleIndex, bool used);
    void windowClosing();

    // What the menu does, without its dialogs and message boxes. False with the error in `message`;
    // true with what had to change to fit the module in `message` (empty when nothing did).
    bool openFile(const QString& path, QString* message);
    bool saveFile(const QString& path, QString* message);

    QStringList recentFiles() const;
    // An action the menu ends with, after a separator (the window's "Выход").
    void setLastMenuAction(QAction* action);
    // How long a change of the panels waits before the last setup is written, ms.
    static constexpr int lastSetupDelayMs = 500;
    QString currentFile() const { return current; }   // empty when the title names no setup
    bool panelsDiffer() const { return differs; }

signals:
    // A line for the status bar.
    void status(const QString& text);

public slots:
    void openWithDialog();
    void saveWithDialog();
    // Compares the panels with the current setup and shows the result in the title.
    void comparePanels();

private slots:
    void announced(const QString& path, const QVariantMap& setup, SetupStore::Origin origin);
    // Writes the last setup when the panels have changed since it was last written.
    void keepLastSetup();

private:
    bool restoreEnabled() const;
    // The module of the crate list's entry: "serial/slot/name", its crate serial and slot; false
    // for no such entry (or in emulator mode, where nothing is opened).
    bool moduleOf(int crateIndex, int moduleIndex, QString* key, QString* crate, int* slot) const;
    void rememberPanels();
    // Writes the panels of the current module as its last setup; false (said once per run of
    // failures) when the file cannot be written.
    bool writeLastSetup(const QVariantMap& setup);
    void checkFolder();
    void showSetup(const QString& path, const QVariantMap& setup);
    void forgetSetup();
    void updateTitle();
    void addRecent(const QString& path);
    void fillMenu();
    QString dialogFolder() const;

    QMainWindow* window;
    Engine* engine;
    QSettings* settings;
    QMenu* menu;
    QAction* openAction;
    QAction* saveAction;
    QAction* lastAction = nullptr;
    SetupStore* setupStore;
    QString baseTitle;
    // The setup the title names, and the panels as it left them.
    QString current;
    QVariantMap reference;
    bool differs = false;
    QTimer compareTimer;
    // The module whose panels the window shows ("serial/slot/name"), for its last setup.
    QString panelsKey;
    QString panelsCrate;
    int panelsSlot = 0;
    // While another module is being made current the panels belong to neither.
    bool switching = false;
    // The module's last setup could not be used nor moved aside: it must not be overwritten.
    bool lastSetupBlocked = false;
    // What was last written as the last setup; when the panels first differed from it.
    QVariantMap lastWritten;
    qint64 changedSinceMs = -1;
    bool lastSetupFailing = false;
    QTimer lastSetupTimer;
    QElapsedTimer clock;
};

#endif
