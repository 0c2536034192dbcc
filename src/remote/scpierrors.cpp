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
    case InvalidBlockData: return QStringLiteral("Invalid block data");
    case ExecutionError: return QStringLiteral("Execution error");
    case SettingsConflict: return QStringLiteral("Settings conflict");
    case DataOutOfRange: return QStringLiteral("Data out of range");
    case TooMuchData: return QStringLiteral("Too much data");
    case IllegalParameterValue: return QStringLiteral("Illegal parameter value");
    case HardwareError: return QStringLiteral("Hardware error");
    case HardwareMissing: return QStringLiteral("Hardware missing");
    case MassStorageError: return QStringLiteral("Mass storage error");
    case FileNameNotFound: return QStringLiteral("File name not found");
    case FileNameError: return QStringLiteral("File name error");
    case QueueOverflow: return QStringLiteral("Queue overflow");
    default: return QStringLiteral("Unknown error");
    }
}

QString errorEntry(int code, const QString& detail)
{
    QString text = errorText(code);
    if (!detail.isEmpty())
        text += QLatin1Char(';') + detail;
    text.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QStringLiteral("%1,\"%2\"").arg(code).arg(text);
}

void ErrorQueue::push(int code, const QString& detail)
{
    if (code == NoError)
        return;
    if (entries.size() < capacity) {
        entries.append({ code, detail });
        return;
    }
    entries.last() = { QueueOverflow, QString() };
}

QString ErrorQueue::next()
{
    if (entries.isEmpty())
        return errorEntry(NoError);
    const QPair<int, QString> entry = entries.takeFirst();
    return errorEntry(entry.first, entry.second);
}

} // namespace scpi
