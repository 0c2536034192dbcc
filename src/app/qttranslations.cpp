#include "qttranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace {

// Answers only the texts Qt's Russian catalogue leaves as they are; everything else falls through
// to the catalogue installed before it.
class CyrillicOkTranslator : public QTranslator
{
public:
    using QTranslator::QTranslator;

    QString translate(const char* context, const char* sourceText, const char* disambiguation, int n) const override
    {
        Q_UNUSED(disambiguation)
        Q_UNUSED(n)
        if (qstrcmp(context, "QPlatformTheme") == 0 && qstrcmp(sourceText, "OK") == 0)
            return QStringLiteral("ОК");
        return QString();
    }

    bool isEmpty() const override { return false; }
};

} // namespace

bool installQtTranslations()
{
    QCoreApplication* application = QCoreApplication::instance();
    auto* catalogue = new QTranslator(application);
    if (!catalogue->load(QStringLiteral("qtbase_ru"), QLibraryInfo::location(QLibraryInfo::TranslationsPath))) {
        delete catalogue;
        return false;
    }
    // The translator installed last is asked first.
    QCoreApplication::installTranslator(catalogue);
    QCoreApplication::installTranslator(new CyrillicOkTranslator(application));
    return true;
}
