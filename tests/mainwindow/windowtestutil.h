#ifndef WINDOWTESTUTIL_H
#define WINDOWTESTUTIL_H

// Helpers shared by the main window tests: a temporary working directory (the settings file and the
// journal live in the working directory), captured messages, and the window's objects by name.

#include <QAbstractButton>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMutex>
#include <QPixmap>
#include <QSettings>
#include <QSpinBox>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <functional>

#include "mainwindow.h"
#include "options.h"

namespace windowtest {

// Messages of the levels the journal keeps, captured instead of written.
struct Messages
{
    QMutex mutex;
    QStringList criticals;
    QStringList infos;
};

inline Messages& messages()
{
    static Messages instance;
    return instance;
}

inline void captureHandler(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    Messages& m = messages();
    QMutexLocker lock(&m.mutex);
    if (type == QtCriticalMsg)
        m.criticals.append(text);
    else if (type == QtInfoMsg)
        m.infos.append(text);
    else if (type == QtFatalMsg)
        abort();
}

inline QStringList criticals()
{
    QMutexLocker lock(&messages().mutex);
    return messages().criticals;
}

inline QStringList infos()
{
    QMutexLocker lock(&messages().mutex);
    return messages().infos;
}

inline void clearMessages()
{
    QMutexLocker lock(&messages().mutex);
    messages().criticals.clear();
    messages().infos.clear();
}

// Makes a fresh temporary directory the working directory for as long as it lives.
class WorkingDirectory
{
public:
    WorkingDirectory() : previous(QDir::currentPath()) { QDir::setCurrent(dir.path()); }
    ~WorkingDirectory() { QDir::setCurrent(previous); }
    bool isValid() const { return dir.isValid(); }
    QString iniPath() const { return dir.path() + QStringLiteral("/stendix.ini"); }
    QByteArray iniBytes() const
    {
        QFile file(iniPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    void writeGlobal(const QString& key, const QVariant& value) const
    {
        QSettings settings(iniPath(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Global/") + key, value);
    }

private:
    QTemporaryDir dir;
    QString previous;
};

// A loopback port on which nothing listens.
inline quint16 deadPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

template <typename T>
T* child(const QObject* parent, const char* name)
{
    return parent->findChild<T*>(QLatin1String(name));
}

enum class Light { Gray, Green, Red, Other };

inline Light lightOf(const QLabel* label)
{
    const QPixmap shown = label ? label->pixmap(Qt::ReturnByValue) : QPixmap();
    if (shown.isNull())
        return Light::Other;
    const QImage image = shown.toImage();
    if (image == QPixmap(QStringLiteral(":/icons/bullet_gray.png")).toImage())
        return Light::Gray;
    if (image == QPixmap(QStringLiteral(":/icons/bullet_green.png")).toImage())
        return Light::Green;
    if (image == QPixmap(QStringLiteral(":/icons/bullet_red.png")).toImage())
        return Light::Red;
    return Light::Other;
}

inline Light crateLight(const MainWindow& window)
{
    return lightOf(child<QLabel>(&window, "labelCrateLed"));
}

inline Light moduleLight(const MainWindow& window)
{
    return lightOf(child<QLabel>(&window, "labelModuleLed"));
}

inline QStringList items(const QComboBox* box)
{
    QStringList result;
    for (int i = 0; i < box->count(); ++i)
        result.append(box->itemText(i));
    return result;
}

// The four widgets that follow the current module.
inline QList<bool> moduleWidgetsEnabled(const MainWindow& window)
{
    return {child<QWidget>(&window, "widgetModuleSettings")->isEnabled(),
            child<QWidget>(&window, "widgetModuleControls")->isEnabled(),
            window.optionsDialog()->moduleOptionsWidget()->isEnabled(),
            child<QWidget>(child<QWidget>(&window, "tabAutotest"), "pushButtonStartStop")->isEnabled()};
}

// Runs the options dialog from the window's button; `act` runs while the dialog is shown and
// must close it. Returns false when the dialog never appeared.
inline bool runOptionsDialog(MainWindow& window, const std::function<void(QDialog*)>& act)
{
    bool shown = false;
    QDialog* dialog = window.optionsDialog();
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        if (!shown && dialog->isVisible()) {
            shown = true;
            poll.stop();
            act(dialog);
            if (dialog->isVisible())
                dialog->reject();
        }
    });
    poll.start();
    QTimer::singleShot(0, child<QAbstractButton>(&window, "pushButtonOptions"), &QAbstractButton::click);
    QTimer guard;
    QEventLoop loop;
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(dialog, &QDialog::finished, &loop, &QEventLoop::quit);
    guard.start(10000);
    loop.exec();
    return shown;
}

inline QAbstractButton* dialogButton(QDialog* dialog, QDialogButtonBox::StandardButton which)
{
    return child<QDialogButtonBox>(dialog, "buttonBox")->button(which);
}

} // namespace windowtest

#endif
