#include "scpierrors.h"

namespace scpi {

QString errorText(int code)
{
    switch (code) {
    case NoError: return QStringLiteral("No error");
    case SyntaxError: return QStringLiteral("Syntax error");
    case DataTypeError: return QStringLiteral("Data type error");
    case ParameterNotAllowed: return QStringLiteral("Parameter not allowed");
    case MissingParameter: return QStringLiteral("Missing parameter");
    case UndefinedHeader: return QStringLiteral("Undefined header");
    case SuffixOutOfRange: return QStringLiteral("Header suffix out of range");
    case InvalidSuffix: return QStringLiteral("Invalid suffix");
    case ExecutionError: return QStringLiteral("Execution error");
    case SettingsConflict: return QStringLiteral("Settings conflict");
    case DataOutOfRange: return QStringLiteral("Data out of range");
    case TooMuchData: return QStringLiteral("Too much data");
    case IllegalParameterValue: return QStringLiteral("Illegal parameter value");
    case HardwareMissing: return QStringLiteral("Hardware missing");
    case MassStorageError: return QStringLiteral("Mass storage error");
    case FileNameNotFound: return QStringLiteral("File name not found");
    case FileNameError: return QStringLiteral("File name error");
    case QueueOverflow: return QStringLiteral("Queue overflow");
    default: return QStringLiteral("Unknown error");
    }
}

QString errorEntry(int code)
{
    return QStringLiteral("%1,\"%2\"").arg(code).arg(errorText(code));
}

void ErrorQueue::push(int code)
{
    if (code == NoError)
        return;
    if (entries.size() < capacity) {
        entries.append(code);
        return;
    }
    entries.last() = QueueOverflow;
}

QString ErrorQueue::next()
{
    return errorEntry(entries.isEmpty() ? int(NoError) : entries.takeFirst());
}

} // namespace scpi
