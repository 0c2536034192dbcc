#include "parametertable.h"

namespace {

QVector<ParameterEntry> buildTable()
{
    return {
        { QStringLiteral("Режим"), QString(),
          { QStringLiteral("Режим DC"), QStringLiteral("Режим AC"), QStringLiteral("Режим Частота") },
          QString() },
        { QStringLiteral("Канал"), QString(),
          { QStringLiteral("Канал 1"), QStringLiteral("Канал 2"), QStringLiteral("Канал 3"),
            QStringLiteral("Канал 4"), QStringLiteral("Канал 5"), QStringLiteral("Канал 6"),
            QStringLiteral("Канал 7"), QStringLiteral("Канал 8") },
          QString() },
        { QStringLiteral("Выход"), QString(),
          { QStringLiteral("Выход 1:1"), QStringLiteral("Выход 1:10") }, QString() },
        { QStringLiteral("Частота ЦАП"), QString(),
          { QStringLiteral("Частота ЦАП 192 кГц"), QStringLiteral("Частота ЦАП 96 кГц"),
            QStringLiteral("Частота ЦАП 48 кГц") },
          QString() },
        { QStringLiteral("Частота"), QStringLiteral("Гц"), {}, QString() },
        { QStringLiteral("Допустимая γ"), QStringLiteral("%"), {}, QString() },
        { QStringLiteral("Значение"), QStringLiteral("мВ"), {}, QString() },
    };
}

// Static initialisation: the table exists before main() creates the application object.
const QVector<ParameterEntry> parameterTable = buildTable();

} // namespace

const QVector<ParameterEntry>& vek72ParameterTable()
{
    return parameterTable;
}

bool selectParameter(QVector<ParameterEntry>& entries, const QString& name)
{
    for (int i = 0; i < entries.size(); ++i) {
        const ParameterEntry& entry = entries.at(i);
        if (entry.alternatives.isEmpty()) {
            if (entry.name == name)
                return true;
            continue;
        }
        for (const QString& alternative : entry.alternatives) {
            if (alternative == name) {
                entries[i].currentChoice = name;   // detaches this copy from the shared table
                return true;
            }
        }
    }
    return false;
}
