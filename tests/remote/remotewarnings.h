// The journal's warnings of remote control, kept for the test to look at (and not printed); every
// other message goes on to the handler installed before.
#ifndef REMOTEWARNINGS_H
#define REMOTEWARNINGS_H

#include <QMutex>
#include <QStringList>
#include <QtGlobal>

namespace remotewarnings {

struct Kept
{
    QMutex mutex;
    QStringList lines;
    QtMessageHandler previous = nullptr;
};

inline Kept& kept()
{
    static Kept instance;
    return instance;
}

inline void handler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtWarningMsg && text.startsWith(QStringLiteral("Удалённое управление"))) {
        QMutexLocker lock(&kept().mutex);
        kept().lines << text;
        return;
    }
    if (kept().previous)
        kept().previous(type, context, text);
}

inline void install()
{
    const QtMessageHandler old = qInstallMessageHandler(handler);
    if (old != handler)
        kept().previous = old;
}

inline QStringList lines()
{
    QMutexLocker lock(&kept().mutex);
    return kept().lines;
}

inline void clear()
{
    QMutexLocker lock(&kept().mutex);
    kept().lines.clear();
}

} // namespace remotewarnings

#endif
