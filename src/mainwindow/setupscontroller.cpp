#include "setupscontroller.h"

#include <QAction>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>

#include "appsettings.h"
#include "engine.h"
#include "module.h"
#include "panelsetup.h"
#include "setupfile.h"
#include "setupstore.h"

namespace {

const char* const keyRecent = "Setups/Recent";
const char* const keyFolder = "Setups/Folder";
const char* const keyRestore = "VEK72/RestoreLastSetup";
constexpr int recentCount = 5;
// How often the title checks whether the panels still match the setup it names, ms.
constexpr int comparePeriodMs = 300;

QString fileFilter()
{
    return QStringLiteral("Файлы настройки (*.%1)").arg(setupfile::suffix());
}

} // namespace

SetupsController::SetupsController(QMainWindow* window, Engine* engine, QSettings* settings, QMenu* menu,
                                   QAction* openAction, QAction* saveAction)
    : QObject(window), window(window), engine(engine), settings(settings), menu(menu),
      openAction(openAction), saveAction(saveAction),
      setupStore(new SetupStore(engine->moduleObject(), QDir::current().filePath(QStringLiteral("setups")), this)),
      baseTitle(window->windowTitle())
{
    // Announcements may come from a remote command's thread: they are handled here, queued.
    connect(setupStore, &SetupStore::saved, this, &SetupsController::announced);
    connect(setupStore, &SetupStore::opened, this, &SetupsController::announced);
    clock.start();
    lastSetupTimer.setInterval(lastSetupDelayMs / 2);
    connect(&lastSetupTimer, &QTimer::timeout, this, &SetupsController::keepLastSetup);
    lastSetupTimer.start();
    // Once the window can show it.
    QTimer::singleShot(0, this, &SetupsController::checkFolder);
    connect(openAction, &QAction::triggered, this, &SetupsController::openWithDialog);
    connect(saveAction, &QAction::triggered, this, &SetupsController::saveWithDialog);
    // The shortcuts are live while the window has focus.
    window->addAction(openAction);
    window->addAction(saveAction);
    connect(menu, &QMenu::aboutToShow, this, &SetupsController::fillMenu);
    fillMenu();
    compareTimer.setInterval(comparePeriodMs);
    connect(&compareTimer, &QTimer::timeout, this, &SetupsController::comparePanels);
}

bool SetupsController::restoreEnabled() const
{
    return settingsBool(settings->value(QLatin1String(keyRestore), true));
}

// --- The last setup of each module -------------------------------------------------------------

bool SetupsController::moduleOf(int crateIndex, int moduleIndex, QString* key, QString* crate, int* slot) const
{
    const QList<Engine::Crate>& crates = engine->crateList();
    if (engine->isEmulator() || crateIndex < 0 || crateIndex >= crates.size() || moduleIndex < 0
        || moduleIndex >= crates.at(crateIndex).modules.size())
        return false;
    const Engine::CrateModule& entry = crates.at(crateIndex).modules.at(moduleIndex);
    *crate = crates.at(crateIndex).crateSerial;
    *slot = entry.slotNumber;
    *key = QStringLiteral("%1/%2/%3").arg(*crate).arg(*slot).arg(entry.moduleName);
    return true;
}

void SetupsController::aboutToUseModule(int crateIndex, int moduleIndex)
{
    QString key;
    QString crate;
    int slot = 0;
    if (!moduleOf(crateIndex, moduleIndex, &key, &crate, &slot) || key == panelsKey)
        return;
    rememberPanels();
    switching = true;
    // The panels are about to take another module's last setup: nothing may play on that module
    // meanwhile, so the output stops first (as "Обновить" stops it).
    if (restoreEnabled() && QFileInfo::exists(setupStore->lastSetupPath(crate, slot)))
        engine->requestOutput(false);
}

void SetupsController::moduleUsed(int crateIndex, int moduleIndex, bool used)
{
    QString key;
    QString crate;
    int slot = 0;
    switching = false;
    // The same module again keeps what its panels hold.
    if (!used || !moduleOf(crateIndex, moduleIndex, &key, &crate, &slot) || key == panelsKey)
        return;
    panelsKey = key;
    panelsCrate = crate;
    panelsSlot = slot;
    lastSetupBlocked = false;
    lastSetupFailing = false;
    changedSinceMs = -1;
    forgetSetup();
    const QString path = setupStore->lastSetupPath(panelsCrate, panelsSlot);
    if (restoreEnabled() && QFileInfo::exists(path)) {
        QStringList notes;
        QString error;
        if (setupStore->restoreLast(panelsCrate, panelsSlot, &notes, &error)) {
            emit status(notes.isEmpty() ? QStringLiteral("Восстановлена последняя настройка модуля")
                                        : QStringLiteral("Восстановлена последняя настройка модуля, с поправками (см. журнал)"));
        } else {
            // The operator's setup is kept: moved aside, or left where it is and never overwritten.
            QString why;
            const QString aside = SetupStore::keepAside(path, &why);
            if (!aside.isEmpty()) {
                qWarning().noquote() << QStringLiteral("%1; файл сохранён как %2").arg(error, QDir::toNativeSeparators(aside));
                emit status(QStringLiteral("Последняя настройка модуля не восстановлена, файл сохранён как %1 (см. журнал)")
                                .arg(QFileInfo(aside).fileName()));
            } else {
                lastSetupBlocked = true;
                qWarning().noquote() << QStringLiteral("%1; файл не удалось переименовать (%2) — он остаётся на месте, и "
                                                       "последняя настройка модуля не записывается")
                                            .arg(error, why);
                emit status(QStringLiteral("Последняя настройка модуля не восстановлена и не записывается (см. журнал)"));
            }
        }
    }
    // Only changes from here on are written.
    lastWritten = engine->moduleObject()->panelSetup();
}

void SetupsController::windowClosing()
{
    rememberPanels();
}

void SetupsController::rememberPanels()
{
    if (panelsKey.isEmpty() || !restoreEnabled() || lastSetupBlocked || switching)
        return;
    // Said each time: this is the save the operator relies on when leaving.
    lastSetupFailing = false;
    writeLastSetup(engine->moduleObject()->panelSetup());
}

bool SetupsController::writeLastSetup(const QVariantMap& setup)
{
    // Only the panels of the module they are kept for (they may already show another one's).
    const QVariantMap module = setup.value(QStringLiteral("module")).toMap();
    if (setup.isEmpty() || module.value(QStringLiteral("crate")).toString() != panelsCrate
        || module.value(QStringLiteral("slot")).toInt() != panelsSlot)
        return false;
    QString error;
    if (!setupStore->writeLast(panelsCrate, panelsSlot, setup, &error)) {
        if (!lastSetupFailing) {
            lastSetupFailing = true;
            qWarning().noquote() << error;
            emit status(QStringLiteral("Последняя настройка модуля не сохраняется (см. журнал)"));
        }
        return false;
    }
    if (lastSetupFailing)
        emit status(QStringLiteral("Последняя настройка модуля сохранена"));
    lastSetupFailing = false;
    lastWritten = setup;
    changedSinceMs = -1;
    return true;
}

void SetupsController::keepLastSetup()
{
    if (panelsKey.isEmpty() || switching || lastSetupBlocked || !restoreEnabled())
        return;
    const QVariantMap now = engine->moduleObject()->panelSetup();
    if (now.isEmpty() || setups::sameSetup(now, lastWritten)) {
        changedSinceMs = -1;
        return;
    }
    // Written once the change is this old: a burst of edits makes one write.
    if (changedSinceMs < 0)
        changedSinceMs = clock.elapsed();
    if (clock.elapsed() - changedSinceMs >= lastSetupDelayMs)
        writeLastSetup(now);
}

void SetupsController::checkFolder()
{
    const QString problem = setupStore->folderProblem();
    if (problem.isEmpty())
        return;
    const QString text = QStringLiteral("Папка настроек %1 недоступна для записи (%2): настройки модулей не сохраняются")
                             .arg(QDir::toNativeSeparators(setupStore->folder()), problem);
    qWarning().noquote() << text;
    emit status(text);
}

// --- Files the operator opens and saves --------------------------------------------------------

bool SetupsController::openFile(const QString& path, QString* message)
{
    QStringList notes;
    QString error;
    if (!setupStore->open(path, &notes, &error)) {
        *message = error;
        return false;
    }
    *message = notes.isEmpty() ? QString() : SetupStore::notesText(path, notes);
    return true;
}

bool SetupsController::saveFile(const QString& path, QString* message)
{
    message->clear();
    return setupStore->save(path, message);
}

QString SetupsController::dialogFolder() const
{
    const QString chosen = settings->value(QLatin1String(keyFolder)).toString();
    if (!chosen.isEmpty() && QFileInfo(chosen).isDir())
        return chosen;
    QDir().mkpath(setupStore->folder());
    return setupStore->folder();
}

void SetupsController::openWithDialog()
{
    QFileDialog dialog(window, QStringLiteral("Открыть настройку"), dialogFolder(), fileFilter());
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    // A name typed without its suffix means the setup file, as when saving.
    dialog.setDefaultSuffix(setupfile::suffix());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString path = dialog.selectedFiles().first();
    settings->setValue(QLatin1String(keyFolder), QFileInfo(path).absolutePath());
    QString message;
    const bool opened = openFile(path, &message);
    if (opened)
        emit status(QStringLiteral("Открыта настройка %1").arg(QFileInfo(path).fileName()));
    if (!message.isEmpty())
        QMessageBox::warning(window, QStringLiteral("Внимание"), message, QMessageBox::Ok);
}

void SetupsController::saveWithDialog()
{
    QFileDialog dialog(window, QStringLiteral("Сохранить настройку"), dialogFolder(), fileFilter());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(setupfile::suffix());
    if (!current.isEmpty())
        dialog.selectFile(current);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString path = dialog.selectedFiles().first();
    settings->setValue(QLatin1String(keyFolder), QFileInfo(path).absolutePath());
    QString message;
    if (saveFile(path, &message))
        emit status(QStringLiteral("Настройка сохранена: %1").arg(QFileInfo(SetupStore::withSuffix(path)).fileName()));
    else
        QMessageBox::warning(window, QStringLiteral("Внимание"), message, QMessageBox::Ok);
}

void SetupsController::fillMenu()
{
    menu->clear();
    menu->addAction(openAction);
    menu->addAction(saveAction);
    const QStringList recent = recentFiles();
    if (!recent.isEmpty())
        menu->addSeparator();
    for (int i = 0; i < recent.size(); ++i) {
        const QString path = recent.at(i);
        QAction* entry = menu->addAction(QStringLiteral("&%1 %2").arg(i + 1).arg(QFileInfo(path).fileName()));
        entry->setToolTip(QDir::toNativeSeparators(path));
        entry->setStatusTip(QDir::toNativeSeparators(path));
        connect(entry, &QAction::triggered, this, [this, path] {
            QString message;
            if (openFile(path, &message))
                emit status(QStringLiteral("Открыта настройка %1").arg(QFileInfo(path).fileName()));
            if (!message.isEmpty())
                QMessageBox::warning(window, QStringLiteral("Внимание"), message, QMessageBox::Ok);
        });
    }
    if (lastAction) {
        menu->addSeparator();
        menu->addAction(lastAction);
    }
}

void SetupsController::setLastMenuAction(QAction* action)
{
    lastAction = action;
    fillMenu();
}

QStringList SetupsController::recentFiles() const
{
    return settings->value(QLatin1String(keyRecent)).toStringList().mid(0, recentCount);
}

void SetupsController::addRecent(const QString& path)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QStringList recent = recentFiles();
    recent.removeAll(absolute);
    recent.prepend(absolute);
    settings->setValue(QLatin1String(keyRecent), QVariant(recent.mid(0, recentCount)));
    settings->sync();
}

// --- The title ---------------------------------------------------------------------------------

void SetupsController::announced(const QString& path, const QVariantMap& setup, SetupStore::Origin origin)
{
    // The recent list lives in the settings file, which remote control never writes.
    if (origin == SetupStore::Origin::Operator)
        addRecent(path);
    showSetup(path, setup);
}

void SetupsController::showSetup(const QString& path, const QVariantMap& setup)
{
    current = QFileInfo(path).absoluteFilePath();
    reference = setup;
    differs = false;
    updateTitle();
    compareTimer.start();
}

void SetupsController::forgetSetup()
{
    current.clear();
    reference.clear();
    differs = false;
    compareTimer.stop();
    updateTitle();
}

void SetupsController::updateTitle()
{
    if (current.isEmpty())
        window->setWindowTitle(baseTitle);
    else
        window->setWindowTitle(QStringLiteral("%1[*] - %2").arg(QFileInfo(current).fileName(), baseTitle));
    window->setWindowModified(differs);
}

void SetupsController::comparePanels()
{
    if (current.isEmpty())
        return;
    const bool now = !setups::sameSetup(engine->moduleObject()->panelSetup(), reference);
    if (now != differs) {
        differs = now;
        window->setWindowModified(differs);
    }
}
