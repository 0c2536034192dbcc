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

    // Who asks: the operator's saves and opens go into the window's list of recent setups, remote
    // control's do not (it never writes the settings file).
    enum class Origin { Operator, Remote };

    QString folder() const { return setupFolder; }
    // A file name without a folder is taken in the setups folder; any other path as it is.
    QString pathFor(const QString& name) const;
    // A name given by remote control: a plain file name in the setups folder, ".vek72" added when
    // it has no suffix. False for anything else (a folder or separator in it, "..", an absolute
    // path, control characters, a name of more than 255 bytes) and for a name whose file in the
    // folder is a link, which would lead out of it.
    bool remotePath(const QString& name, QString* path) const;
    // The path with ".vek72" added when its file name has no suffix.
    static QString withSuffix(const QString& path);
    // False when `path` (in the setups folder) is a link: remote control reads and writes only the
    // folder's own files.
    static bool isOwnFile(const QString& path);
    // Why setups cannot be written into the folder now (it is a file, read-only, cannot be made);
    // empty when they can. Tries it: creates and removes a file there.
    QString folderProblem() const;
    // Moves an unusable file aside as "<name>.bad" (or "<name>.bad.2" ... when taken), so that
    // it is kept and nothing overwrites it. The new path, or empty with `error`.
    static QString keepAside(const QString& path, QString* error);
    // "setup-<n>.vek72" in the folder for n in 1..9; empty for any other n.
    QString numberedPath(int number) const;
    QString lastSetupPath(const QString& crateSerial, int slot) const;

    // The panels into a file (".vek72" added to a name without a suffix). False with `error` (naming the file) when there is no module whose
    // panels could be saved or the file could not be written.
    bool save(const QString& path, QString* error, Origin origin = Origin::Operator);
    // A file into the panels. False with `error` (naming the file and its first bad entry) when the
    // file cannot be used; the panels are then as they were. `notes`: what had to be changed to fit
    // the module (values clamped, channels dropped or left off), one line each.
    bool open(const QString& path, QStringList* notes, QString* error, Origin origin = Origin::Operator);

    // *SAV n / *RCL n.
    bool saveNumbered(int number, QString* error, Origin origin = Origin::Remote);
    bool recallNumbered(int number, QStringList* notes, QString* error, Origin origin = Origin::Remote);

    // The last setup of a crate slot: the panels as read (`setup`), written when they change, when
    // the module changes and when the program closes, and put back when that module is opened
    // again. Neither announces itself (saved / opened).
    bool writeLast(const QString& crateSerial, int slot, const QVariantMap& setup, QString* error);
    bool restoreLast(const QString& crateSerial, int slot, QStringList* notes, QString* error);

    // The one warning that lists the notes of an opened file.
    static QString notesText(const QString& path, const QStringList& notes);
    // The longest name remote control may give, in bytes of UTF-8.
    static constexpr int maxNameBytes = 255;

signals:
    // A file was written from the panels, or opened into them: `setup` is what the panels hold now.
    void saved(const QString& path, const QVariantMap& setup, SetupStore::Origin origin);
    void opened(const QString& path, const QVariantMap& setup, SetupStore::Origin origin);

private:
    bool saveTo(const QString& path, QString* error, QVariantMap* setup);
    bool openFrom(const QString& path, QStringList* notes, QString* error, QVariantMap* setup);

    Module* module;
    QString setupFolder;
};

Q_DECLARE_METATYPE(SetupStore::Origin)

#endif
