#include "setupstore.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>

#include "module.h"
#include "setupfile.h"

namespace {

QString shownPath(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace

SetupStore::SetupStore(Module* module, const QString& folder, QObject* parent)
    : QObject(parent), module(module), setupFolder(folder)
{
    // Announcements may cross threads (a remote command saves on the server's thread).
    qRegisterMetaType<SetupStore::Origin>("SetupStore::Origin");
}

QString SetupStore::pathFor(const QString& name) const
{
    if (QFileInfo(name).isAbsolute() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return name;
    return QDir(setupFolder).filePath(name);
}

bool SetupStore::remotePath(const QString& name, QString* path) const
{
    // A plain name: no folder (no separator of any platform, no drive), nothing that reads as one
    // ("..", a name of dots), nothing unprintable.
    if (name.isEmpty() || name.toUtf8().size() > maxNameBytes || name.contains(QLatin1String(".."))
        || name.endsWith(QLatin1Char('.')))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':') || c.category() == QChar::Other_Control)
            return false;
    }
    *path = withSuffix(QDir(setupFolder).filePath(name));
    return isOwnFile(*path);
}

bool SetupStore::isOwnFile(const QString& path)
{
    return !QFileInfo(path).isSymLink();
}

QString SetupStore::folderProblem() const
{
    const QFileInfo info(setupFolder);
    if (info.exists() && !info.isDir())
        return QStringLiteral("на месте папки находится файл");
    if (info.isSymLink() && !info.exists())
        return QStringLiteral("ссылка на несуществующую папку");
    // The folder is made by the first save; until then its parent must take it.
    const QString where = info.isDir() ? setupFolder : info.absolutePath();
    if (!QFileInfo(where).isDir())
        return QStringLiteral("папку нельзя создать");
    QTemporaryFile probe(QDir(where).filePath(QStringLiteral(".stendix-probe-XXXXXX")));
    if (!probe.open())
        return info.isDir() ? QStringLiteral("нет доступа на запись (%1)").arg(probe.errorString())
                            : QStringLiteral("папку нельзя создать (%1)").arg(probe.errorString());
    return QString();
}

QString SetupStore::keepAside(const QString& path, QString* error)
{
    QString aside = path + QStringLiteral(".bad");
    for (int n = 2; QFileInfo::exists(aside) || QFileInfo(aside).isSymLink(); ++n)
        aside = path + QStringLiteral(".bad.%1").arg(n);
    QFile file(path);
    if (!file.rename(aside)) {
        if (error)
            *error = file.errorString();
        return QString();
    }
    return aside;
}

QString SetupStore::numberedPath(int number) const
{
    if (number < firstNumber || number > lastNumber)
        return QString();
    return QDir(setupFolder).filePath(QStringLiteral("setup-%1.%2").arg(number).arg(setupfile::suffix()));
}

QString SetupStore::lastSetupPath(const QString& crateSerial, int slot) const
{
    // The serial as a file name: anything but letters, digits, "-" and "_" becomes "_".
    QString serial = crateSerial;
    serial.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_-]")), QStringLiteral("_"));
    return QDir(setupFolder).filePath(QStringLiteral("last-%1-%2.%3").arg(serial).arg(slot).arg(setupfile::suffix()));
}

bool SetupStore::saveTo(const QString& path, QString* error, QVariantMap* setup)
{
    QString reason;
    *setup = module ? module->panelSetup() : QVariantMap();
    if (setup->isEmpty())
        reason = QStringLiteral("нет открытого модуля, панели которого можно сохранить");
    else if (setupfile::write(path, *setup, &reason))
        return true;
    if (error)
        *error = QStringLiteral("Настройка \"%1\" не сохранена: %2").arg(shownPath(path), reason);
    return false;
}

bool SetupStore::openFrom(const QString& path, QStringList* notes, QString* error, QVariantMap* setup)
{
    QString reason;
    QStringList fitted;
    const setupfile::Result file = setupfile::read(path);
    if (!file.ok())
        reason = file.error;
    else if (!module)
        reason = QStringLiteral("нет модуля");
    else if (module->applyPanelSetup(file.setup, fitted, reason))
        reason.clear();
    else if (reason.isEmpty())
        reason = QStringLiteral("панели не ответили");
    if (!reason.isEmpty()) {
        if (error)
            *error = QStringLiteral("Настройка \"%1\" не открыта: %2").arg(shownPath(path), reason);
        return false;
    }
    if (notes)
        *notes = fitted;
    *setup = module->panelSetup();
    return true;
}

QString SetupStore::withSuffix(const QString& path)
{
    // The suffix of the name alone: a dot in a folder's name is no suffix.
    if (!QFileInfo(path).fileName().isEmpty() && QFileInfo(path).suffix().isEmpty())
        return path + QLatin1Char('.') + setupfile::suffix();
    return path;
}

bool SetupStore::save(const QString& given, QString* error, Origin origin)
{
    // A name without a suffix would be hidden from the dialogs, which list setup files by theirs.
    const QString path = withSuffix(given);
    QVariantMap setup;
    if (!saveTo(path, error, &setup)) {
        qWarning().noquote() << (error ? *error : QString());
        return false;
    }
    qInfo().noquote() << QStringLiteral("Настройка сохранена: %1").arg(shownPath(path));
    emit saved(path, setup, origin);
    return true;
}

bool SetupStore::open(const QString& path, QStringList* notes, QString* error, Origin origin)
{
    QVariantMap setup;
    QStringList fitted;
    if (!openFrom(path, &fitted, error, &setup)) {
        qWarning().noquote() << (error ? *error : QString());
        return false;
    }
    qInfo().noquote() << QStringLiteral("Настройка открыта: %1").arg(shownPath(path));
    if (!fitted.isEmpty())
        qWarning().noquote() << notesText(path, fitted);
    if (notes)
        *notes = fitted;
    emit opened(path, setup, origin);
    return true;
}

bool SetupStore::saveNumbered(int number, QString* error, Origin origin)
{
    const QString path = numberedPath(number);
    if (path.isEmpty()) {
        if (error)
            *error = QStringLiteral("Нет настройки с номером %1: номера от %2 до %3").arg(number).arg(firstNumber).arg(lastNumber);
        return false;
    }
    return save(path, error, origin);
}

bool SetupStore::recallNumbered(int number, QStringList* notes, QString* error, Origin origin)
{
    const QString path = numberedPath(number);
    if (path.isEmpty()) {
        if (error)
            *error = QStringLiteral("Нет настройки с номером %1: номера от %2 до %3").arg(number).arg(firstNumber).arg(lastNumber);
        return false;
    }
    return open(path, notes, error, origin);
}

bool SetupStore::writeLast(const QString& crateSerial, int slot, const QVariantMap& setup, QString* error)
{
    const QString path = lastSetupPath(crateSerial, slot);
    QString reason;
    if (setupfile::write(path, setup, &reason))
        return true;
    if (error)
        *error = QStringLiteral("Настройка \"%1\" не сохранена: %2").arg(shownPath(path), reason);
    return false;
}

bool SetupStore::restoreLast(const QString& crateSerial, int slot, QStringList* notes, QString* error)
{
    QVariantMap setup;
    const QString path = lastSetupPath(crateSerial, slot);
    QStringList fitted;
    if (!openFrom(path, &fitted, error, &setup))
        return false;
    qInfo().noquote() << QStringLiteral("Восстановлена последняя настройка модуля: %1").arg(shownPath(path));
    if (!fitted.isEmpty())
        qWarning().noquote() << notesText(path, fitted);
    if (notes)
        *notes = fitted;
    return true;
}

QString SetupStore::notesText(const QString& path, const QStringList& notes)
{
    return QStringLiteral("Настройка \"%1\" открыта с поправками:\n%2")
        .arg(shownPath(path), notes.join(QLatin1Char('\n')));
}
