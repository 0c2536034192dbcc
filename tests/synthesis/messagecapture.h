// Collects the messages a test provokes (the journal handler is not installed in tests).
#ifndef MESSAGECAPTURE_H
#define MESSAGECAPTURE_H

#include <QPair>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class MessageCapture
{
public:
    MessageCapture() { previous = qInstallMessageHandler(&MessageCapture::handler); current() = this; }
    ~MessageCapture()
    {
        qInstallMessageHandler(previous);
        current() = nullptr;
    }

    QStringList criticals() const { return texts(QtCriticalMsg); }
    QStringList texts(QtMsgType type) const
    {
        QStringList out;
        for (const auto& m : messages) {
            if (m.first == type)
                out << m.second;
        }
        return out;
    }
    void clear() { messages.clear(); }

private:
    static MessageCapture*& current()
    {
        static MessageCapture* instance = nullptr;
        return instance;
    }
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        if (current())
            current()->messages.append(qMakePair(type, text));
    }

    QtMessageHandler previous = nullptr;
    QList<QPair<QtMsgType, QString>> messages;
};

#endif
