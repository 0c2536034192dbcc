#include "setupstore.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

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
}

QString SetupStore::pathFor(const QString& name) const
{
    if (QFileInfo(name).isAbsolute() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return name;
    return QDir(setupFolder).filePath(name);
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

bool SetupStore::save(const QString& path, QString* error)
{
    QVariantMap setup;
    if (!saveTo(path, error, &setup)) {
        qWarning().noquote() << (error ? *error : QString());
        return false;
    }
    qInfo().noquote() << QStringLiteral("Настройка сохранена: %1").arg(shownPath(path));
    emit saved(path, setup);
    return true;
}

bool SetupStore::open(const QString& path, QStringList* notes, QString* error)
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
    emit opened(path, setup);
    return true;
}

bool SetupStore::saveNumbered(int number, QString* error)
{
    const QString path = numberedPath(number);
    if (path.isEmpty()) {
        if (error)
            *error = QStringLiteral("Нет настройки с номером %1: номера от %2 до %3").arg(number).arg(firstNumber).arg(lastNumber);
        return false;
    }
    return save(path, error);
}

bool SetupStore::recallNumbered(int number, QStringList* notes, QString* error)
{
    const QString path = numberedPath(number);
    if (path.isEmpty()) {
        if (error)
            *error = QStringLiteral("Нет настройки с номером %1: номера от %2 до %3").arg(number).arg(firstNumber).arg(lastNumber);
        return false;
    }
    return open(path, notes, error);
}

bool SetupStore::saveLast(const QString& crateSerial, int slot, QString* error)
{
    QVariantMap setup;
    return saveTo(lastSetupPath(crateSerial, slot), error, &setup);
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
