#ifndef WINDOWTESTUTIL_H
#define WINDOWTESTUTIL_H

// Helpers shared by the main window tests: the window's objects by name, its status lights, the
// options dialog run from the window's button, and the wait for a handled crate list.

#include <QAbstractButton>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QSpinBox>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>

#include "apptestutil.h"
#include "enginetestutil.h"
#include "mainwindow.h"
#include "options.h"

namespace windowtest {

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

// Waits until the window handles crate and slot selections again: its discovery requests have all
// been served (the first one is made at the first show).
inline bool settled(MainWindow& window)
{
    return QTest::qWaitFor([&]() { return window.selectionAllowed(); }, 30000);
}

inline QAbstractButton* dialogButton(QDialog* dialog, QDialogButtonBox::StandardButton which)
{
    return child<QDialogButtonBox>(dialog, "buttonBox")->button(which);
}

} // namespace windowtest

#endif
