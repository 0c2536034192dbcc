#ifndef SETUPSCONTROLLER_H
#define SETUPSCONTROLLER_H

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

class Engine;
class QAction;
class QMainWindow;
class QMenu;
class QSettings;
class SetupStore;

// The window's side of setups: the menu "Файл" ("Открыть настройку…", "Сохранить настройку…" and
// the last five setups opened or saved), the setup's file name in the
// title with a "*" once the panels differ from it, and the last setup of each module, kept when
// the module is left or the program closes and put back when that module is opened again (setting
// "RestoreLastSetup" of group "VEK72"). Lives on the GUI thread.
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
    void announced(const QString& path, const QVariantMap& setup);

private:
    bool restoreEnabled() const;
    // The module of the crate list's entry: "serial/slot/name", its crate serial and slot; false
    // for no such entry (or in emulator mode, where nothing is opened).
    bool moduleOf(int crateIndex, int moduleIndex, QString* key, QString* crate, int* slot) const;
    void rememberPanels();
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
};

#endif
