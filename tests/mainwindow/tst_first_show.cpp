// The first window, as an operator meets it: started ten times over, each time a process of its own,
// on a 1366x768 screen with a window manager (a title bar) and 40 pixels kept for a taskbar, it
// opens within the free area at the size its panels ask for, every channel in view, no scroll bar.
// With a multimeter in the settings the panels ask for more height than that screen has: the window
// still stays within the free area and the page scrolls up and down only.
//
// The screen is a virtual X server with openbox of the test's own (the offscreen platform has no
// window manager, and a window manager's frame coming late is part of what is tested); without
// Xvfb or openbox the test is skipped.
#include <QtTest>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <memory>

#include "journal.h"
#include "mainwindow.h"
#include "qttranslations.h"
#include "resources.h"
#include "vekdrunner.h"

namespace {

constexpr int starts = 10;
constexpr int taskbarHeight = 40;

// The window's state once it has settled, as one line of JSON for the parent.
QJsonObject windowState(const MainWindow& window)
{
    auto* page = window.findChild<QScrollArea*>(QStringLiteral("scrollAreaManual"));
    auto* contents = window.findChild<QWidget*>(QStringLiteral("scrollAreaManualContents"));
    const QRect free = window.screen()->availableGeometry();
    const QRect frame = window.frameGeometry();
    return QJsonObject{
        { "size", QStringLiteral("%1x%2").arg(window.width()).arg(window.height()) },
        { "frame", QStringLiteral("%1,%2 %3x%4").arg(frame.x()).arg(frame.y()).arg(frame.width()).arg(frame.height()) },
        { "free", QStringLiteral("%1,%2 %3x%4").arg(free.x()).arg(free.y()).arg(free.width()).arg(free.height()) },
        { "framed", frame.height() > window.height() },
        { "withinFree", free.contains(frame) },
        { "contents", QStringLiteral("%1x%2").arg(contents->sizeHint().width()).arg(contents->sizeHint().height()) },
        { "viewport", QStringLiteral("%1x%2").arg(page->viewport()->width()).arg(page->viewport()->height()) },
        { "horizontal", page->horizontalScrollBar()->isVisible() },
        { "vertical", page->verticalScrollBar()->isVisible() },
        { "exactAcross", contents->sizeHint().width() == page->viewport()->width() },
        { "exactUpDown", contents->sizeHint().height() == page->viewport()->height() },
    };
}

// One start, in this process: the program's window in the working directory `folder`, shown; once
// it has made its module current and its window manager has framed it, its state is printed as soon
// as it is what the operator should see (or after 20 s when it does not become so).
int firstShow(const QString& folder, bool wantScrolling)
{
    QDir::setCurrent(folder);
    int result = 1;
    {
        MainWindow window;
        window.show();
        setPopupTarget(&window);
        auto* page = window.findChild<QScrollArea*>(QStringLiteral("scrollAreaManual"));
        auto* contents = window.findChild<QWidget*>(QStringLiteral("scrollAreaManualContents"));
        // What the operator should see: the page just as large as the panels ask for, or, where the
        // screen is too small, as wide and scrolled up and down.
        const auto asWanted = [page, contents, wantScrolling] {
            const QSize asked = contents->sizeHint();
            const QSize shown = page->viewport()->size();
            return !page->horizontalScrollBar()->isVisible() && page->verticalScrollBar()->isVisible() == wantScrolling
                   && asked.width() == shown.width() && (wantScrolling || asked.height() == shown.height());
        };
        const bool ready = QTest::qWaitFor([&] {
            return window.selectionAllowed() && window.engineObject()->selectedCrateIndex() >= 0
                   && window.frameGeometry().height() > window.height();
        }, 20000);
        // Layouts and the window manager settle through the event loop: the state is read once it
        // is what is wanted, or when it has had every chance to become so.
        const bool settled = QTest::qWaitFor(asWanted, ready ? 20000 : 0);
        QJsonObject state = windowState(window);
        state.insert("settled", settled);
        state.insert("ready", ready);
        std::printf("%s\n", QJsonDocument(state).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
        result = 0;
        window.close();
    }
    finishJournal();
    return result;
}

// A virtual X server of 1366x768 with openbox, 40 pixels at the bottom kept free as a taskbar keeps them.
class Screen
{
public:
    ~Screen()
    {
        for (QProcess* p : { &wm, &server }) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(5000))
                    p->kill();
                p->waitForFinished(5000);
            }
        }
    }

    // Empty when it runs; otherwise why not.
    QString start()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        const QString openbox = QStandardPaths::findExecutable(QStringLiteral("openbox"));
        if (xvfb.isEmpty() || openbox.isEmpty())
            return QStringLiteral("Xvfb and openbox are needed");
        // The server picks a free display and names it on the descriptor it is given (its output).
        server.setProcessChannelMode(QProcess::SeparateChannels);
        server.start(xvfb, { QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                             QStringLiteral("1366x768x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp") });
        if (!server.waitForStarted(10000))
            return QStringLiteral("Xvfb does not start");
        QByteArray number;
        const bool named = QTest::qWaitFor([&] {
            number += server.readAllStandardOutput();
            return number.contains('\n') || server.state() == QProcess::NotRunning;
        }, 20000);
        if (!named)
            return QStringLiteral("Xvfb names no display");
        display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());

        QFile rc(config.filePath(QStringLiteral("rc.xml")));
        if (!rc.open(QIODevice::WriteOnly))
            return QStringLiteral("no openbox configuration");
        rc.write(QStringLiteral("<?xml version=\"1.0\"?>\n<openbox_config xmlns=\"http://openbox.org/3.4/rc\">\n"
                                "<margins><top>0</top><bottom>%1</bottom><left>0</left><right>0</right></margins>\n"
                                "<desktops><number>1</number></desktops>\n</openbox_config>\n")
                     .arg(taskbarHeight)
                     .toUtf8());
        rc.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        wm.setProcessEnvironment(env);
        wm.setProcessChannelMode(QProcess::MergedChannels);
        wm.start(openbox, { QStringLiteral("--config-file"), rc.fileName() });
        if (!wm.waitForStarted(10000))
            return QStringLiteral("openbox does not start");
        // openbox has taken the screen once it announces the free area.
        QProcess xprop;
        const bool managed = QTest::qWaitFor([&] {
            xprop.setProcessEnvironment(env);
            xprop.start(QStringLiteral("xprop"), { QStringLiteral("-root"), QStringLiteral("_NET_WORKAREA") });
            xprop.waitForFinished(5000);
            return xprop.readAll().contains(QByteArray("1366, 728"));
        }, 20000);
        return managed ? QString() : QStringLiteral("openbox does not take the screen (is xprop there?)");
    }

    QString display;

private:
    QTemporaryDir config;
    QProcess server;
    QProcess wm;
};

} // namespace

class TestFirstShow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fitsEveryStart_data();
    void fitsEveryStart();

private:
    std::unique_ptr<Screen> screen;
    std::unique_ptr<VekdRunner> vekd;
};

void TestFirstShow::initTestCase()
{
    screen.reset(new Screen);
    const QString why = screen->start();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    vekd.reset(new VekdRunner);
    QVERIFY(vekd->start());
}

void TestFirstShow::fitsEveryStart_data()
{
    QTest::addColumn<QString>("multimeter");
    QTest::newRow("the module alone") << QString();
    // Nothing needs to answer there: the page is laid out for the meter's group all the same.
    QTest::newRow("with a multimeter") << QStringLiteral("127.0.0.1:1");
}

void TestFirstShow::fitsEveryStart()
{
    QFETCH(QString, multimeter);
    const bool meter = !multimeter.isEmpty();
    // One working directory, as an operator's: from the second start on the panels of the last one
    // come back.
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    {
        QSettings ini(folder.filePath(QStringLiteral("stendix.ini")), QSettings::IniFormat);
        // Remote control as it comes (its status bar label included), on any free port.
        ini.setValue(QStringLiteral("Remote/Port"), 0);
        if (meter)
            ini.setValue(QStringLiteral("Multimeter/Address"), multimeter);
    }
    for (int start = 1; start <= starts; ++start) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), screen->display);
        env.insert(QStringLiteral("VEK_SERVICE"), vekd->address());
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::SeparateChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    { QStringLiteral("--first-show"), folder.path(), meter ? QStringLiteral("scrolling") : QString() });
        QVERIFY(child.waitForStarted(10000));
        QVERIFY2(QTest::qWaitFor([&] { return child.state() == QProcess::NotRunning; }, 120000), "the window never closed");
        const QByteArray out = child.readAllStandardOutput();
        const QJsonObject state = QJsonDocument::fromJson(out.trimmed().split('\n').last()).object();
        const QString seen = QStringLiteral("start %1: %2").arg(start).arg(QString::fromUtf8(out.trimmed()));
        QVERIFY2(state.value("ready").toBool(), qPrintable(seen));
        QVERIFY2(state.value("framed").toBool(), qPrintable(seen));
        QVERIFY2(state.value("withinFree").toBool(), qPrintable(seen));
        QVERIFY2(!state.value("horizontal").toBool(), qPrintable(seen));
        QVERIFY2(state.value("vertical").toBool() == meter, qPrintable(seen));
        // The window is as large as its panels ask for: every channel in view, no room wasted.
        QVERIFY2(state.value("exactAcross").toBool(), qPrintable(seen));
        QVERIFY2(state.value("exactUpDown").toBool() != meter, qPrintable(seen));
        if (start == 1)
            qInfo("%s", qPrintable(seen));
    }
}

int main(int argc, char* argv[])
{
    if (argc >= 3 && qstrcmp(argv[1], "--first-show") == 0) {
        // As the program starts.
        QApplication application(argc, argv);
        installJournal();
        initStendixResources();
        installQtTranslations();
        return firstShow(QString::fromLocal8Bit(argv[2]), argc >= 4 && qstrcmp(argv[3], "scrolling") == 0);
    }
    QApplication application(argc, argv);
    TestFirstShow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_first_show.moc"
