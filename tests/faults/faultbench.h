// The program's main window against a crate service simulator of the test's own, with the journal
// and its error boxes as the program has them: what the operator meets when things go wrong.
#ifndef FAULTBENCH_H
#define FAULTBENCH_H

#include <QtTest>

#include <QMessageBox>
#include <QMovie>
#include <QTextCodec>

#include <algorithm>
#include <csignal>
#include <functional>

#include "benchstatus.h"
#include "journal.h"
#include "modulevek72.h"
#include "resources.h"
#include "vekdrunner.h"
#include "windowtestutil.h"

using namespace windowtest;

namespace faultbench {

const QString crateA = QStringLiteral("4B210736");

// Every error box that appears while the test waits: the most open at once, and the text of each.
class BoxWatcher : public QObject
{
public:
    int mostOpen = 0;
    QStringList texts;
    QString informative;

    BoxWatcher()
    {
        connect(&timer, &QTimer::timeout, this, &BoxWatcher::look);
        timer.start(5);
    }
    void look()
    {
        int open = 0;
        for (QMessageBox* box : boxes()) {
            ++open;
            if (!box->property("seen").toBool()) {
                box->setProperty("seen", true);
                texts << box->text();
            }
            informative = box->informativeText();
        }
        mostOpen = qMax(mostOpen, open);
    }
    void closeAll()
    {
        look();
        for (QMessageBox* box : boxes())
            box->accept();
    }
    void reset()
    {
        closeAll();
        mostOpen = 0;
        texts.clear();
    }

private:
    static QList<QMessageBox*> boxes()
    {
        QList<QMessageBox*> found;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (box && box->isVisible() && box->windowTitle() == QStringLiteral("Ошибка"))
                found << box;
        }
        return found;
    }
    QTimer timer;
};

// The built-in bench and the program's window against it, with the journal and its error boxes as
// the program has them. Remote control stays off unless asked for (then on a free port): these
// windows are about the module's faults. `prepare` runs before the window is made, with the service
// up and the settings file written (`keys`: "Group/Key" -> value).
struct FaultBench
{
    apptest::WorkingDirectory cwd;
    VekdRunner vekd;
    const bool serviceUp = vekd.start();
    std::unique_ptr<MainWindow> window;
    BoxWatcher boxes;
    bool paused = false;

    explicit FaultBench(bool remote = false, const QVariantMap& keys = {},
                        const std::function<void(FaultBench&)>& prepare = {})
    {
        {
            QSettings ini(cwd.iniPath(), QSettings::IniFormat);
            ini.setValue(QStringLiteral("Remote/Enabled"), remote);
            ini.setValue(QStringLiteral("Remote/Port"), 0);
            for (auto it = keys.begin(); it != keys.end(); ++it)
                ini.setValue(it.key(), it.value());
        }
        if (prepare)
            prepare(*this);
        window.reset(new MainWindow);
        // The journal of this working directory, from its first line.
        resetJournal();
        setPopupTarget(window.get());
    }
    ~FaultBench()
    {
        resume();
        window.reset();
        setPopupTarget(nullptr);
    }

    ModuleVek72* module() const { return static_cast<ModuleVek72*>(window->engineObject()->moduleObject()); }
    template <typename T>
    T* find(const char* name) const
    {
        return child<QWidget>(window.get(), "widgetModuleSettings")->findChild<T*>(QLatin1String(name))
                   ?: child<QWidget>(window.get(), "widgetModuleControls")->findChild<T*>(QLatin1String(name));
    }
    QPushButton* startButton() const { return find<QPushButton>("pushButtonStartStop"); }
    QString lights() const
    {
        return lightOf(child<QLabel>(window.get(), "labelCrateLed")) + ' '
               + lightOf(child<QLabel>(window.get(), "labelModuleLed"));
    }
    bool animating() const { return module()->busyAnimation()->state() == QMovie::Running; }
    QJsonObject played() { return benchstatus::module(benchstatus::status(vekd), crateA, 3); }
    qint64 counter(const char* name) { return played().value("counters").toObject().value(name).toVariant().toLongLong(); }
    // The journal as it lies on disk, line by line (without what the offscreen platform of the test
    // says about itself).
    QStringList journal() const
    {
        const QByteArray bytes = apptest::readFile(QStringLiteral("stendix.log"));
        QStringList lines = QTextCodec::codecForName("Windows-1251")->toUnicode(bytes).split('\n', Qt::SkipEmptyParts);
        lines.erase(std::remove_if(lines.begin(), lines.end(),
                                   [](const QString& line) { return line.contains("This plugin does not support"); }),
                    lines.end());
        return lines;
    }
    bool journalHas(const QString& text) const
    {
        for (const QString& line : journal())
            if (line.endsWith(text))
                return true;
        return false;
    }
    QString lostText() const { return QStringLiteral("Потеряна связь со службой крейтов ") + vekd.address(); }

    bool showSettled()
    {
        window->show();
        return serviceUp && settled(*window) && lights() == QStringLiteral("green green");
    }
    // Channel 1 at `millivolts` (AC at 1 kHz, or DC), output started in the mode asked for; true once
    // the module plays.
    bool play(bool streaming, bool dc = false, int millivolts = 500)
    {
        if (streaming)
            find<QComboBox>("comboBoxMode")->setCurrentIndex(1);
        if (dc) {
            auto* type = find<QComboBox>("comboBoxVoltageTypeCh1");
            type->setCurrentIndex(type->findText("DC"));
            if (!apptest::runQueuedCalls(module()))
                return false;
            auto* range = find<QComboBox>("comboBoxRangeCh1");
            range->setCurrentIndex(range->findText("10 В"));
        }
        if (!apptest::runQueuedCalls(module()))
            return false;
        find<QSpinBox>("spinBoxVoltageCh1")->setValue(millivolts);
        startButton()->click();
        return QTest::qWaitFor([&] { return played().value("running").toBool(); }, 20000)
               && apptest::runQueuedCalls(module());
    }
    void pause()
    {
        paused = ::kill(pid_t(vekd.pid()), SIGSTOP) == 0;
    }
    void resume()
    {
        if (paused)
            ::kill(pid_t(vekd.pid()), SIGCONT);
        paused = false;
    }
    // What the operator sees of the output: the button's text, the animation and the lights.
    QString outputShown() const
    {
        return QStringLiteral("%1 %2 %3").arg(startButton()->text(), animating() ? "animated" : "still", lights());
    }
};

// The program's own journal, as the program starts it: every message to "stendix.log" and criticals
// to the window (from initTestCase; uninstalled by cleanupTestCase).
inline void startJournal()
{
    initStendixResources();
    ::installJournal();
}

} // namespace faultbench

#endif
