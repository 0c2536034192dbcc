#ifndef WINDOWTESTUTIL_H
#define WINDOWTESTUTIL_H

// Helpers shared by the main window tests: a window in a working directory of its own, its objects by
// name, what its lights and module panels show, and the options dialog run from the window's button.

#include <QAbstractButton>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QApplication>
#include <QEventLoop>
#include <QFont>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QVariantMap>

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

// A main window started in a fresh working directory whose group "Global" holds `global` (a key
// with a group of its own, "VEK72/AccuracyFreq", goes into that group).
struct WindowInDirectory
{
    apptest::WorkingDirectory cwd;
    std::unique_ptr<MainWindow> window;

    explicit WindowInDirectory(const QVariantMap& global = {})
    {
        for (auto it = global.begin(); it != global.end(); ++it) {
            if (it.key().contains(QLatin1Char('/')))
                cwd.writeKey(it.key(), it.value());
            else
                cwd.writeGlobal(it.key(), it.value());
        }
        // Remote control is not what these windows are about: off, unless a test says otherwise (and
        // then on any free port, so that tests running side by side do not contend for 5025).
        QSettings ini(cwd.iniPath(), QSettings::IniFormat);
        if (!ini.contains(QStringLiteral("Remote/Enabled")))
            ini.setValue(QStringLiteral("Remote/Enabled"), false);
        ini.setValue(QStringLiteral("Remote/Port"), 0);
        window.reset(new MainWindow);
    }
};

// While it lives, the application font is what a Linux desktop gives by default (the offscreen
// platform has a larger one of its own): the font the window's size is promised at.
struct DesktopFont
{
    const QFont before = QApplication::font();
    DesktopFont() { QApplication::setFont(QFont(QStringLiteral("Sans Serif"), 9)); }
    ~DesktopFont() { QApplication::setFont(before); }
};

// Waits until the window handles crate and slot selections again: its discovery requests have all
// been served (the first one is made at the first show).
inline bool settled(MainWindow& window)
{
    return QTest::qWaitFor([&]() { return window.selectionAllowed(); }, 30000);
}

inline QString lightOf(const QLabel* label)
{
    const QImage shown = label->pixmap(Qt::ReturnByValue).toImage();
    for (const char* colour : {"gray", "green", "red"}) {
        if (shown == QPixmap(QStringLiteral(":/icons/bullet_%1.png").arg(QLatin1String(colour))).toImage())
            return QLatin1String(colour);
    }
    return QStringLiteral("none");
}

// What the operator sees of the current module: the crate light, the module light and whether the
// four widgets that follow the module are enabled, e.g. "green green on" ("mixed" when they differ).
inline QString shown(const MainWindow& window)
{
    const QList<bool> enabled{
        child<QWidget>(&window, "widgetModuleSettings")->isEnabled(),
        child<QWidget>(&window, "widgetModuleControls")->isEnabled(),
        window.optionsDialog()->moduleOptionsWidget()->isEnabled(),
        child<QWidget>(child<QWidget>(&window, "tabAutotest"), "pushButtonStartStop")->isEnabled()};
    const QString panels = !enabled.contains(false) ? QStringLiteral("on")
                           : !enabled.contains(true) ? QStringLiteral("off") : QStringLiteral("mixed");
    return lightOf(child<QLabel>(&window, "labelCrateLed")) + QLatin1Char(' ')
           + lightOf(child<QLabel>(&window, "labelModuleLed")) + QLatin1Char(' ') + panels;
}

// What the labels of the window's status bar say.
inline QStringList statusTexts(const MainWindow& window)
{
    QStringList texts;
    for (QLabel* label : window.statusBar()->findChildren<QLabel*>())
        texts << label->text();
    return texts;
}

inline QStringList items(const QComboBox* box)
{
    QStringList result;
    for (int i = 0; i < box->count(); ++i)
        result.append(box->itemText(i));
    return result;
}

inline QPoint selection(const MainWindow& window)
{
    return {window.engineObject()->selectedCrateIndex(), window.engineObject()->selectedModuleIndex()};
}

inline QAbstractButton* dialogButton(QDialog* dialog, QDialogButtonBox::StandardButton which)
{
    return child<QDialogButtonBox>(dialog, "buttonBox")->button(which);
}

// Runs the options dialog from the window's button; `act` runs while the dialog is shown (the dialog
// is rejected afterwards if `act` left it open). False when the dialog never appeared.
inline bool runOptionsDialog(MainWindow& window, const std::function<void(QDialog*)>& act)
{
    bool appeared = false;
    QDialog* dialog = window.optionsDialog();
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        if (!appeared && dialog->isVisible()) {
            appeared = true;
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
    return appeared;
}

} // namespace windowtest

#endif
