// The standard error codes of remote control and the error queue a client reads them from.
#ifndef SCPIERRORS_H
#define SCPIERRORS_H

#include <QList>
#include <QPair>
#include <QString>

namespace scpi {

enum ErrorCode {
    NoError = 0,
    SyntaxError = -102,
    DataTypeError = -104,
    ParameterNotAllowed = -108,
    MissingParameter = -109,
    UndefinedHeader = -113,
    SuffixOutOfRange = -114,
    InvalidSuffix = -131,
    InvalidBlockData = -161,
    ExecutionError = -200,
    SettingsConflict = -221,
    DataOutOfRange = -222,
    TooMuchData = -223,
    IllegalParameterValue = -224,
    HardwareError = -240,
    HardwareMissing = -241,
    MassStorageError = -250,
    FileNameNotFound = -256,
    FileNameError = -257,
    QueueOverflow = -350,
};

// The standard text of a code ("Undefined header"); "No error" for 0, "Unknown error" otherwise.
QString errorText(int code);

// An error as the queue answers it: -113,"Undefined header"; with a detail (the program's own
// text, quotes doubled) after the standard text: -221,"Settings conflict;Нет включенных каналов для генерации"
QString errorEntry(int code, const QString& detail = QString());

// Errors in the order they happened, oldest first, at most `capacity` of them. An error that finds
// the queue full replaces the newest one with -350 "Queue overflow" (once: later ones are lost).
class ErrorQueue
{
public:
    static constexpr int capacity = 32;

    void push(int code, const QString& detail = QString());
    // Takes the oldest error; 0,"No error" when there is none.
    QString next();
    int count() const { return entries.size(); }
    void clear() { entries.clear(); }

private:
    QList<QPair<int, QString>> entries;
};

} // namespace scpi

#endif
