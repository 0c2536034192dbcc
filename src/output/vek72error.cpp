#include "vek72error.h"

#include <QTextCodec>
#include <QtGlobal>

#include "vek72api.h"

QString vek72ErrorText(int code)
{
    const char* text = VEK72_GetErrorString(code);
    if (!text)
        return QString();
    QTextCodec* codec = QTextCodec::codecForName("Windows-1251");
    return codec ? codec->toUnicode(text) : QString::fromLatin1(text);
}

void logVek72Error(const QString& format, int code)
{
    qCritical("%s", qUtf8Printable(format.arg(code).arg(vek72ErrorText(code))));
}
