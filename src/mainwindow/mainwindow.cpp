#include "mainwindow.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QMessageBox>
#include <QSettings>

#include "appsettings.h"
#include "version.h"

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), settings(new QSettings(settingsFilePath(), QSettings::IniFormat))
{
    const QString startTime = QDateTime::currentDateTime().toString(QStringLiteral("yyyy.MM.dd hh:mm:ss"));
    qInfo("Запуск программы (версия %s) %s", STENDIX_VERSION, qUtf8Printable(startTime));
    qDebug("Сборка от %s %s", __DATE__, __TIME__);
    readSettings();
    setWindowTitle(QStringLiteral("VEK72_dovi - ") + QStringLiteral(STENDIX_VERSION).remove(QLatin1Char('v')));
}

MainWindow::~MainWindow()
{
    delete settings;
}

void MainWindow::readSettings()
{
    const GlobalSettings values = readGlobalSettings(settings);
    displayUpdateMs = values.displayUpdateMs;
    emulator = values.emulator();
    settings->sync();
}

void MainWindow::popupError(QString message)
{
    QMessageBox::critical(this, QStringLiteral("Ошибка"), message, QMessageBox::Ok);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    qInfo("Завершение работы");
    settings->sync();
    QMainWindow::closeEvent(event);
}
