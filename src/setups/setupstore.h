#ifndef SETUPSTORE_H
#define SETUPSTORE_H

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class Module;

// Setups of one module object on disk: save what the panels hold into a setup file, open a setup
// file into the panels; the numbered setups 1..9 ("setup-<n>.vek72") and the last setup of each
// crate slot ("last-<crate>-<slot>.vek72"), all in one folder (normally "setups" in the working
// directory).
//
// Every operation may be called from any thread but the module object's own: the module reads and
// sets its panels on the GUI thread with a bounded wait. Opening never starts an output: a running
// output is stopped the operator's way first. Nothing changes when the file cannot be used.
class SetupStore : public QObject
{
    Q_OBJECT

public:
    static constexpr int firstNumber = 1;
    static constexpr int lastNumber = 9;

    SetupStore(Module* module, const QString& folder, QObject* parent = nullptr);

    QString folder() const { return setupFolder; }
    // A file name without a folder is taken in the setups folder; any other path as it is.
    QString pathFor(const QString& name) const;
    // "setup-<n>.vek72" in the folder for n in 1..9; empty for any other n.
    QString numberedPath(int number) const;
    QString lastSetupPath(const QString& crateSerial, int slot) const;

    // The panels into a file. False with `error` (naming the file) when there is no module whose
    // panels could be saved or the file could not be written.
    bool save(const QString& path, QString* error);
    // A file into the panels. False with `error` (naming the file and its first bad entry) when the
    // file cannot be used; the panels are then as they were. `notes`: what had to be changed to fit
    // the module (values clamped, channels dropped or left off), one line each.
    bool open(const QString& path, QStringList* notes, QString* error);

    // *SAV n / *RCL n.
    bool saveNumbered(int number, QString* error);
    bool recallNumbered(int number, QStringList* notes, QString* error);

    // The last setup of a crate slot, kept when the program closes or the module changes, and put
    // back when that module is opened again. Neither announces itself (saved / opened).
    bool saveLast(const QString& crateSerial, int slot, QString* error);
    bool restoreLast(const QString& crateSerial, int slot, QStringList* notes, QString* error);

    // The one warning that lists the notes of an opened file.
    static QString notesText(const QString& path, const QStringList& notes);

signals:
    // A file was written from the panels, or opened into them: `setup` is what the panels hold now.
    void saved(const QString& path, const QVariantMap& setup);
    void opened(const QString& path, const QVariantMap& setup);

private:
    bool saveTo(const QString& path, QString* error, QVariantMap* setup);
    bool openFrom(const QString& path, QStringList* notes, QString* error, QVariantMap* setup);

    Module* module;
    QString setupFolder;
};

#endif
