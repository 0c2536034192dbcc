#ifndef CHANNELWIDGETS_H
#define CHANNELWIDGETS_H

#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QWidget>

// Finding the widgets of the panels by object name. Channel widgets are named after their role with
// the channel number as the last digit ("doubleSpinBoxFrequencyCh3"); every search is recursive, and
// a search in a null host finds nothing.
namespace channelwidgets {

// The forms always hold eight channels, whatever the module's channel count.
constexpr int panelChannels = 8;

// The highest frequency field value with one channel on, and the frequency fields' start value.
constexpr int frequencyCeiling = 249999;
constexpr double defaultFrequency = 1000.0;

// Style sheets of a channel group box: bold marks the channel the operator works in.
inline QLatin1String groupNormal() { return QLatin1String("QGroupBox { font-weight: normal; } "); }
inline QLatin1String groupBold() { return QLatin1String("QGroupBox { font-weight: bold; } "); }

// What a common value field shows at the value one below its range: the channels disagree.
inline QLatin1String disagreementText() { return QLatin1String("-"); }

// `pattern` with %1 replaced by `value`: a channel count in "^groupBoxCh[1-%1]$", a channel number
// in "^groupBoxCh%1$".
inline QString pattern(const char* text, int value)
{
    return QString::fromLatin1(text).arg(value);
}

// Every widget of class T under `host` whose name matches `regex`, in the order of the search.
template <typename T>
QList<T*> all(QWidget* host, const QString& regex)
{
    if (!host)
        return {};
    return host->findChildren<T*>(QRegularExpression(regex), Qt::FindChildrenRecursively);
}

// The first widget of class T whose name matches `text` with %1 replaced by `channel`.
template <typename T>
T* ofChannel(QWidget* host, const char* text, int channel)
{
    const QList<T*> found = all<T>(host, pattern(text, channel));
    return found.isEmpty() ? nullptr : found.first();
}

// The widget of class T called exactly `name`.
template <typename T>
T* named(QWidget* host, const char* name)
{
    return host ? host->findChild<T*>(QLatin1String(name), Qt::FindChildrenRecursively) : nullptr;
}

// The index of the item whose display text is exactly `text` (case-sensitive); -1 when there is none.
// Items are recognised by their text, never by position.
template <typename Combo>
int itemIndex(const Combo* combo, const QString& text)
{
    return combo ? combo->findData(text, Qt::DisplayRole, Qt::MatchCaseSensitive) : -1;
}

// The channel number that `regex` captures first from the object's name; 0 when it does not match.
inline int number(const QObject* object, const char* regex)
{
    const QRegularExpressionMatch match =
        QRegularExpression(QLatin1String(regex)).match(object->objectName());
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

} // namespace channelwidgets

#endif
