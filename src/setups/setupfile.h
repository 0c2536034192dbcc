#ifndef SETUPFILE_H
#define SETUPFILE_H

#include <QByteArray>
#include <QString>
#include <QVariantMap>

// A setup file (".vek72"): the setup of panelsetup.h as indented JSON (UTF-8) that an engineer can
// read, diff and keep under version control, with the format version and the program's version:
//   { "format": 1, "program": "1.4.27", "module": {...}, "mode": ..., "dacRate": ...,
//     "channels": [...] }
// An arbitrary waveform is kept in the file itself, as { "file": name, "points": [...] } with the
// values of the period as they were loaded (the list on one line), so that the setup does not
// depend on the file it was loaded from; reading it back checks them as a loaded file is checked.
namespace setupfile {

constexpr int formatVersion = 1;
// Larger files are not read (a setup with the largest waveform on eight channels stays well below).
constexpr qint64 maxFileBytes = 256 * 1024 * 1024;

// "vek72", the suffix of setup files.
QString suffix();

struct Result
{
    QVariantMap setup;   // the checked setup (Module::panelSetup form) when ok
    QString error;       // why the file cannot be used: the first bad entry; empty when ok
    bool ok() const { return error.isEmpty(); }
};

// Reads a setup file and checks everything in it. Nothing else is done: the setup still has to be
// brought into the limits of a module (setups::fitToModule, which applying does).
Result read(const QString& path);
Result parse(const QByteArray& bytes);

// The file text of a setup; empty with `error` when the map is not a setup.
QByteArray serialise(const QVariantMap& setup, QString* error);
// Writes the file whole or not at all (through a temporary file), making its folder if needed.
bool write(const QString& path, const QVariantMap& setup, QString* error);

} // namespace setupfile

#endif
