#ifndef PARAMETERTABLE_H
#define PARAMETERTABLE_H

#include <QString>
#include <QStringList>
#include <QVector>

// A named module parameter. An entry without alternatives is numeric and is addressed by its own
// name; an entry with alternatives is a choice and is addressed only by one of its alternatives.
struct ParameterEntry
{
    QString name;
    QString unit;
    QStringList alternatives;
    QString currentChoice;   // the alternative named last; empty at first
};

// The VEK72's parameters, built once before the application object exists. Each module object
// works on its own copy.
const QVector<ParameterEntry>& vek72ParameterTable();

// Looks `name` up in `entries` in table order (exact, case-sensitive). A numeric entry matches its
// own name; a choice entry matches one of its alternatives and makes it the current choice. True
// when an entry matched; otherwise nothing changes.
bool selectParameter(QVector<ParameterEntry>& entries, const QString& name);

#endif
