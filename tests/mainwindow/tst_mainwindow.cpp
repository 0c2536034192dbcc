// The main window and the options dialog without the crate simulator: the start state, the selection
// guard when the service cannot be reached, emulator mode from the first show to closing, the options
// dialog, and the window's size against the screen.
#include <QtTest>

#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QMessageBox>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QMenu>
#include <QTextCodec>
#include <QWheelEvent>

#include <thread>
#include <vector>

#include "journal.h"
#include "qttranslations.h"
#include "resources.h"
#include "windowtestutil.h"

using namespace apptest;
using namespace windowtest;

namespace {

const QVariantMap emulator{{QStringLiteral("ModuleMode"), QStringLiteral("Emulator")}};

// Routes every message into the journal of the working directory, with `window` as the journal's
// pop-up target, while it lives; then back to the test's capture.
class JournalScope
{
public:
    explicit JournalScope(QObject* window)
    {
        resetJournal();
        previous = qInstallMessageHandler(journalHandler);
        setPopupTarget(window);
    }
    ~JournalScope()
    {
        setPopupTarget(nullptr);
        qInstallMessageHandler(previous);
    }

private:
    QtMessageHandler previous;
};

// The critical message boxes on screen.
QList<QMessageBox*> errorBoxes()
{
    QList<QMessageBox*> boxes;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box && box->isVisible() && box->icon() == QMessageBox::Critical)
            boxes << box;
    }
    return boxes;
}

// Watches the error boxes from the event loop (also from inside a box's own loop): the most on screen
// at once. Boxes still open after `giveUpMs` are closed, so that a window that opens box after box
// cannot hold the test.
class BoxWatch
{
public:
    explicit BoxWatch(int giveUpMs = 8000)
    {
        clock.start();
        QObject::connect(&timer, &QTimer::timeout, [this, giveUpMs] {
            const QList<QMessageBox*> boxes = errorBoxes();
            most = qMax(most, boxes.size());
            for (QMessageBox* box : boxes) {
                if (clock.elapsed() > giveUpMs)
                    box->reject();
            }
        });
        timer.start(5);
    }
    int most = 0;

private:
    QTimer timer;
    QElapsedTimer clock;
};

QStringList journalLines(const WindowInDirectory& w)
{
    return QTextCodec::codecForName("Windows-1251")->toUnicode(readFile(w.cwd.path() + QStringLiteral("/stendix.log")))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { qunsetenv("VEK_SERVICE"); }

    void startStateAndServiceDown();
    void emulatorModeFromShowToClose();
    void repeatedUpdateNeverBlocks();
    void optionsDisplayPeriod_data();
    void optionsDisplayPeriod();
    void optionsCancelChangesNothing();
    void optionsDialogSpeaksRussian();
    void windowFitsTheScreenAndThePageScrolls();
    void settingsBroughtIntoRange_data();
    void settingsBroughtIntoRange();
    void unreadableVoltageLimitKeptUntilEntered();
    void closeWithErrorBoxOpen();
    void fileMenuEndsWithExit();
    void criticalMessageBoxes();
    void journalTroubleInStatusBar();
    void unsavedSettingsSaySo();
};

void TestMainWindow::initTestCase()
{
    initStendixResources();
    installMessageCapture();
}

void TestMainWindow::init()
{
    clearMessages();
    // Nothing listens there: a discovery in normal mode cannot reach a service.
    qputenv("VEK_SERVICE", QByteArray("127.0.0.1:") + QByteArray::number(deadPort()));
}

void TestMainWindow::startStateAndServiceDown()
{
    WindowInDirectory w;
    MainWindow& window = *w.window;
    QCOMPARE(window.windowTitle(), QStringLiteral("VEK72_dovi - 1.4.27"));
    QVERIFY(!window.windowIcon().isNull());
    QCOMPARE(shown(window), QStringLiteral("gray gray off"));
    // Only the manual page is left, without a tab bar; the verification bench is hidden.
    auto* tabs = child<QTabWidget>(&window, "tabWidget");
    QCOMPARE(tabs->count(), 1);
    QCOMPARE(tabs->currentWidget()->objectName(), QStringLiteral("tabManual"));
    QVERIFY(tabs->tabBar()->isHidden());
    for (const char* name : {"widgetMultimeterConnection", "widgetGeneratorConnection", "groupBoxMultimeter",
                             "groupBoxGenerator"})
        QVERIFY2(child<QWidget>(&window, name)->isHidden(), name);

    window.show();
    // No list comes; the guard is given back once the discovery has been served.
    QVERIFY(settled(window));
    QCOMPARE(criticals(), QStringList{"Нет связи со службой " + qEnvironmentVariable("VEK_SERVICE")});
    QCOMPARE(child<QComboBox>(&window, "comboBoxCrate")->count(), 0);
    QCOMPARE(shown(window), QStringLiteral("gray gray off"));

    // A press after a discovery without a list must not wait for a permit that never comes.
    for (int press = 0; press < 2; ++press)
        child<QAbstractButton>(&window, "pushButtonUpdate")->click();
    QVERIFY(!window.selectionAllowed());
    QVERIFY(settled(window));
    QCOMPARE(criticals().size(), 3);
}

void TestMainWindow::emulatorModeFromShowToClose()
{
    WindowInDirectory w(emulator);
    MainWindow& window = *w.window;
    Engine* engine = window.engineObject();
    SignalCounter lists(engine, &Engine::readyCrate);
    QVERIFY(!window.selectionAllowed());
    QCoreApplication::processEvents();
    QCOMPARE(lists.count(), 0); // no discovery before the window is shown
    window.show();
    QVERIFY(settled(window));
    // Exactly one discovery at the first show; a later show asks for none.
    window.hide();
    window.show();
    QCoreApplication::processEvents(); // a discovery request would now be queued to the engine
    QVERIFY(runQueuedCalls(engine, 10000));
    QCOMPARE(lists.count(), 1);

    auto* crates = child<QComboBox>(&window, "comboBoxCrate");
    auto* slotBox = child<QComboBox>(&window, "comboBoxSlot");
    QCOMPARE(items(crates), QStringList{"2D355915"});
    QCOMPARE(items(slotBox), QStringList{"Слот 1 - VEK72"});
    QCOMPARE(shown(window), QStringLiteral("green green on"));
    QCOMPARE(selection(window), QPoint(0, 0));
    QVERIFY(criticals().isEmpty());

    // Update: the module light goes gray and the panels off until the list has been handled; a
    // selection made meanwhile is ignored.
    child<QAbstractButton>(&window, "pushButtonUpdate")->click();
    QCOMPARE(shown(window), QStringLiteral("green gray off"));
    engine->useModule(3, 3);
    slotBox->setCurrentIndex(-1);
    slotBox->setCurrentIndex(0);
    QCOMPARE(selection(window), QPoint(3, 3));
    QVERIFY(settled(window));
    QCOMPARE(shown(window), QStringLiteral("green green on"));
    QCOMPARE(selection(window), QPoint(0, 0));

    // Closing with a discovery still out: the engine and both threads stop, once.
    SignalCounter stopped(engine, &Engine::stopped);
    child<QAbstractButton>(&window, "pushButtonUpdate")->click();
    QVERIFY(window.close());
    QCOMPARE(stopped.count(), 1);
    QVERIFY(!window.isEnabled());
    QVERIFY(engine->moduleWorkerThread()->isFinished());
    QVERIFY(engine->thread()->isFinished());
    QVERIFY(infos().contains(QStringLiteral("Завершение работы")));
    QStringList statusTexts;
    for (QLabel* label : window.statusBar()->findChildren<QLabel*>())
        statusTexts.append(label->text());
    QVERIFY2(statusTexts.contains(QStringLiteral("Завершение работы")), qPrintable(statusTexts.join(QLatin1Char('|'))));
    window.close();
    QCoreApplication::processEvents();
    QCOMPARE(stopped.count(), 1);
}

void TestMainWindow::repeatedUpdateNeverBlocks()
{
    WindowInDirectory w(emulator);
    MainWindow& window = *w.window;
    // The current module as each list has just been handled (queued behind the window's own slot).
    QList<int> selectedAfterList;
    QObject observer;
    QObject::connect(window.engineObject(), &Engine::readyCrate, &observer, [&](QList<Engine::Crate>&) {
        selectedAfterList.append(window.engineObject()->selectedCrateIndex());
    });
    window.show();
    // Presses before the first list has arrived, and several in a row: each returns at once.
    for (int press = 0; press < 5; ++press)
        child<QAbstractButton>(&window, "pushButtonUpdate")->click();
    QVERIFY(!window.selectionAllowed());
    QVERIFY(settled(window));
    // A list with later requests still out makes no module current: the engine's thread may be
    // discovering with the module object meanwhile. The last list does.
    QCOMPARE(selectedAfterList, (QList<int>{-1, -1, -1, -1, -1, 0}));
    QCOMPARE(shown(window), QStringLiteral("green green on"));
    // Once every request has been served the guard holds exactly one permit.
    QCoreApplication::processEvents();
    child<QAbstractButton>(&window, "pushButtonUpdate")->click();
    QVERIFY(!window.selectionAllowed());
    QVERIFY(settled(window));
}

void TestMainWindow::optionsDisplayPeriod_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("edited");   // 0: left as shown
    QTest::addColumn<int>("shownValue");
    QTest::addColumn<int>("written");
    QTest::newRow("above the range") << 5000 << 0 << 2000 << 2000;
    QTest::newRow("below the range") << 50 << 0 << 100 << 100;
    QTest::newRow("edited") << 700 << 1234 << 700 << 1234;
}

// A stored period is brought into the dialog's range at start, shown, and written back on OK with the
// module's options.
void TestMainWindow::optionsDisplayPeriod()
{
    QFETCH(int, stored);
    QFETCH(int, edited);
    QFETCH(int, shownValue);
    QFETCH(int, written);
    WindowInDirectory w({{QStringLiteral("DisplayUpdateMs"), stored}});
    QCOMPARE(w.window->displayPeriod(), shownValue);
    int seen = 0;
    QVERIFY(runOptionsDialog(*w.window, [&](QDialog* dialog) {
        auto* period = child<QSpinBox>(dialog, "spinBoxDisplayPeriod");
        seen = period->value();
        if (edited != 0) {
            period->setValue(edited);
            child<QSpinBox>(dialog, "spinBoxAccuracyDC")->setValue(5);
        }
        dialogButton(dialog, QDialogButtonBox::Ok)->click();
    }));
    QCOMPARE(seen, shownValue);
    QCOMPARE(w.window->displayPeriod(), written);
    QSettings saved(w.cwd.iniPath(), QSettings::IniFormat);
    QCOMPARE(saved.value(QStringLiteral("Global/DisplayUpdateMs")).toInt(), written);
    QCOMPARE(saved.value(QStringLiteral("VEK72/AccuracyDC")).toInt(), edited != 0 ? 5 : 3);
}

void TestMainWindow::optionsCancelChangesNothing()
{
    WindowInDirectory w({{QStringLiteral("DisplayUpdateMs"), 700}});
    const QByteArray before = w.cwd.iniBytes();
    int accuracy = 0;
    QVERIFY(runOptionsDialog(*w.window, [&](QDialog* dialog) {
        child<QSpinBox>(dialog, "spinBoxDisplayPeriod")->setValue(1500);
        auto* box = child<QSpinBox>(dialog, "spinBoxAccuracyFreq");
        accuracy = box->value();
        box->setValue(accuracy == 5 ? 4 : 5);
        dialogButton(dialog, QDialogButtonBox::Cancel)->click();
    }));
    QCOMPARE(w.window->displayPeriod(), 700);
    QCOMPARE(w.cwd.iniBytes(), before);

    // Escape is a cancel too; reopening shows the saved values, not the cancelled edits.
    QPair<int, int> reopened;
    QVERIFY(runOptionsDialog(*w.window, [&](QDialog* dialog) {
        reopened = {child<QSpinBox>(dialog, "spinBoxDisplayPeriod")->value(),
                    child<QSpinBox>(dialog, "spinBoxAccuracyFreq")->value()};
        QTest::keyClick(dialog, Qt::Key_Escape);
    }));
    QCOMPARE(reopened, qMakePair(700, accuracy));
    QCOMPARE(w.cwd.iniBytes(), before);
}

void TestMainWindow::optionsDialogSpeaksRussian()
{
    QVERIFY(installQtTranslations());
    WindowInDirectory w;
    Options* options = w.window->optionsDialog();
    QCOMPARE(dialogButton(options, QDialogButtonBox::Ok)->text(), QStringLiteral("ОК"));
    QCOMPARE(dialogButton(options, QDialogButtonBox::Cancel)->text(), QStringLiteral("Отмена"));
}

// On a screen smaller than the panels (the offscreen one, 800x600) the window stays on the screen
// and the page scrolls; that a laptop's screen shows everything without scrolling is held by the
// bench test laptopScreenShowsEveryField.
void TestMainWindow::windowFitsTheScreenAndThePageScrolls()
{
    DesktopFont font;
    WindowInDirectory w(emulator);
    MainWindow& window = *w.window;
    window.show();
    QVERIFY(settled(window));
    auto* page = child<QScrollArea>(&window, "scrollAreaManual");
    auto* contents = child<QWidget>(&window, "scrollAreaManualContents");

    // The panels ask for more than this screen has: the window stays within its free area.
    const QSize screen = QGuiApplication::primaryScreen()->availableGeometry().size();
    QVERIFY(contents->sizeHint().width() > screen.width() || contents->sizeHint().height() > screen.height());
    QVERIFY(window.width() <= screen.width());
    QVERIFY(window.height() <= screen.height());

    // As small as it goes, less high than its contents alone: the status bar stays in the window
    // and every channel can be scrolled into view.
    const QSize smallest = window.minimumSizeHint();
    QVERIFY(smallest.height() < contents->sizeHint().height());
    window.resize(smallest);
    QTRY_COMPARE(window.size(), smallest);
    QTRY_VERIFY(page->verticalScrollBar()->isVisible());
    QVERIFY(page->horizontalScrollBar()->isVisible());
    QVERIFY(window.statusBar()->isVisible());
    QVERIFY(window.rect().contains(window.statusBar()->geometry()));
    const QList<QGroupBox*> channels =
        window.findChildren<QGroupBox*>(QRegularExpression(QStringLiteral("^groupBoxCh[1-8]$")));
    QVERIFY(!channels.isEmpty());
    for (QGroupBox* box : channels) {
        page->ensureWidgetVisible(box, 0, 0);
        // As much of the box as the page can show at once is in view.
        const QRect seen = page->viewport()->rect() & QRect(box->mapTo(page->viewport(), QPoint(0, 0)), box->size());
        QVERIFY2(seen.size() == box->size().boundedTo(page->viewport()->size()), qPrintable(box->objectName()));
    }

    // The wheel over a field that is not being edited scrolls the page and leaves the value alone.
    page->verticalScrollBar()->setValue(0);
    auto* field = contents->findChild<QAbstractSpinBox*>();
    QVERIFY(field->isEnabled());
    QVERIFY(!field->hasFocus());
    const QString before = field->text();
    const QPoint at = field->rect().center();
    QWheelEvent wheel(at, field->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(field, &wheel);
    QVERIFY(page->verticalScrollBar()->value() > 0);
    QCOMPARE(field->text(), before);
}

void TestMainWindow::settingsBroughtIntoRange_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("stored");   // the text in "stendix.ini", which the file keeps
    QTest::addColumn<int>("used");         // what the program works with; -1: a limit it cannot read
    QTest::addColumn<QString>("range");    // the key's range, named when a whole number lies outside it
    const QString period = QStringLiteral("Global/DisplayUpdateMs");
    QTest::newRow("period 5000") << period << "5000" << 2000 << "100..2000";
    QTest::newRow("period 50") << period << "50" << 100 << "100..2000";
    QTest::newRow("period abc") << period << "abc" << 500 << "";
    QTest::newRow("period 700") << period << "700" << 700 << "";
    QTest::newRow("frequency beyond any number") << QStringLiteral("VEK72/AccuracyFreq") << "99999999999999999999" << 6 << "0..6";
    QTest::newRow("DC 2.5") << QStringLiteral("VEK72/AccuracyDC") << "2.5" << 3 << "";
    QTest::newRow("AC empty") << QStringLiteral("VEK72/AccuracyAC") << "" << 3 << "";
    // A voltage limit that cannot be read is not "no limit": nothing is put out until it is fixed.
    const QString limit = QStringLiteral("VEK72/VoltageLimit");
    QTest::newRow("limit with its unit") << limit << "2000mV" << -1 << "";
    QTest::newRow("limit with a blank between thousands") << limit << "2 000" << -1 << "";
    QTest::newRow("limit with decimals") << limit << "2000.5" << -1 << "";
    QTest::newRow("limit negative") << limit << "-5" << -1 << "";
    QTest::newRow("limit empty") << limit << "" << -1 << "";
    QTest::newRow("limit beyond any output") << limit << "50000" << 30000 << "0..30000";
    QTest::newRow("limit 1500") << limit << "1500" << 1500 << "";
}

// Each key of the settings file is brought into its range at start, with one warning naming the key
// and the value used; the file keeps what the operator wrote (only accepting the options dialog
// writes the values it shows). The options page shows the limit the program works with.
void TestMainWindow::settingsBroughtIntoRange()
{
    QFETCH(QString, key);
    QFETCH(QString, stored);
    QFETCH(int, used);
    QFETCH(QString, range);
    WindowInDirectory w({{key, stored}});
    MainWindow& window = *w.window;
    int seen = -1;
    if (key == QLatin1String("Global/DisplayUpdateMs")) {
        seen = window.displayPeriod();
    } else if (key == QLatin1String("VEK72/AccuracyFreq")) {
        seen = child<QDoubleSpinBox>(&window, "doubleSpinBoxFrequencyCh1")->decimals();
        QCOMPARE(child<QDoubleSpinBox>(&window, "doubleSpinBoxFrequency")->decimals(), seen);
    } else if (key == QLatin1String("VEK72/AccuracyDC")) {
        seen = child<QDoubleSpinBox>(&window, "doubleSpinBoxOffsetCh1")->decimals();
    } else {
        // No field shows the AC accuracy nor the limit: the options page does.
        window.engineObject()->resetOptions();
        const auto* box = child<QSpinBox>(window.optionsDialog(), key.endsWith("AC") ? "spinBoxAccuracyAC" : "spinBoxVoltageLimit");
        seen = box->text() == QStringLiteral("не читается") ? -1 : box->value();
    }
    QCOMPARE(seen, used);
    QSettings saved(w.cwd.iniPath(), QSettings::IniFormat);
    QCOMPARE(saved.value(key).toString(), stored);
    const QString warning =
        used < 0 ? QStringLiteral("Настройка %1=«%2» не читается как предел напряжения (целое число милливольт от 0 до 30000); "
                                  "выходы не включаются, пока она не исправлена или не удалена из stendix.ini").arg(key, stored)
        : !range.isEmpty() ? QStringLiteral("Настройка %1=%2 вне диапазона %3; используется %4").arg(key, stored, range).arg(used)
        : QStringLiteral("Настройка %1=«%2» не является целым числом; используется значение по умолчанию %3").arg(key, stored).arg(used);
    QCOMPARE(warnings().filter(QStringLiteral("Настройка")), stored == QString::number(used) ? QStringList() : QStringList{warning});
}

// A limit the file has unreadable stays so when the options are accepted without one being entered
// (the file keeps the operator's text); a limit entered there is written and used.
void TestMainWindow::unreadableVoltageLimitKeptUntilEntered()
{
    WindowInDirectory w({{QStringLiteral("VEK72/VoltageLimit"), QStringLiteral("2000mV")}});
    MainWindow& window = *w.window;
    const auto limitBox = [&] { return child<QSpinBox>(window.optionsDialog(), "spinBoxVoltageLimit"); };
    QString shown;
    QVERIFY(runOptionsDialog(window, [&](QDialog* dialog) {
        shown = limitBox()->text();
        child<QSpinBox>(dialog, "spinBoxDisplayPeriod")->setValue(900);
        dialogButton(dialog, QDialogButtonBox::Ok)->click();
    }));
    QCOMPARE(shown, QStringLiteral("не читается"));
    QVERIFY(limitBox()->toolTip().contains(QStringLiteral("«2000mV»")));
    QSettings saved(w.cwd.iniPath(), QSettings::IniFormat);
    QCOMPARE(saved.value(QStringLiteral("Global/DisplayUpdateMs")).toInt(), 900);
    QCOMPARE(saved.value(QStringLiteral("VEK72/VoltageLimit")).toString(), QStringLiteral("2000mV"));

    QVERIFY(runOptionsDialog(window, [&](QDialog* dialog) {
        shown = limitBox()->text();
        limitBox()->setValue(2000);
        dialogButton(dialog, QDialogButtonBox::Ok)->click();
    }));
    QCOMPARE(shown, QStringLiteral("не читается"));
    saved.sync();
    QCOMPARE(saved.value(QStringLiteral("VEK72/VoltageLimit")).toString(), QStringLiteral("2000"));
    window.engineObject()->resetOptions();
    QCOMPARE(limitBox()->text(), QStringLiteral("2000"));
}

// The window system's request to close (the title bar's button, Alt+F4) while an error box is open:
// the box goes with the window, which closes in its bounded way.
void TestMainWindow::closeWithErrorBoxOpen()
{
    WindowInDirectory w(emulator);
    MainWindow& window = *w.window;
    window.show();
    QVERIFY(settled(window));
    {
        JournalScope journal(&window);
        qCritical("Потеряна связь со службой крейтов");
        QTRY_COMPARE(errorBoxes().size(), 1);
        QVERIFY(window.windowHandle());
        // As the window system asks; a window that a modal box blocks never gets the request.
        QVERIFY(window.windowHandle()->close());
        QVERIFY(!window.isVisible());
        QTRY_VERIFY(errorBoxes().isEmpty());
    }
    QCOMPARE(journalLines(w).filter(QStringLiteral(" I] Завершение работы")).size(), 1);
}

// "Файл" ends with "Выход" (Ctrl+Q), which closes the window the way its title bar's button does.
void TestMainWindow::fileMenuEndsWithExit()
{
    WindowInDirectory w(emulator);
    MainWindow& window = *w.window;
    window.show();
    QVERIFY(settled(window));
    auto* menu = child<QMenu>(&window, "menuSetups");
    emit menu->aboutToShow();
    const QList<QAction*> actions = menu->actions();
    QVERIFY(actions.size() >= 4);
    QCOMPARE(actions.last()->text(), QStringLiteral("Выход"));
    QCOMPARE(actions.last()->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    QVERIFY(actions.at(actions.size() - 2)->isSeparator());
    QApplication::setActiveWindow(&window);
    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    QTRY_VERIFY(!window.isVisible());
    QVERIFY(infos().contains(QStringLiteral("Завершение работы")));
}

// Critical messages from several threads, many alike, while the window runs: one box, which counts
// the rest as they come; the journal has every one. After OK the next message gets a box of its own.
// Messages raised once closing has begun reach the journal but raise no box.
void TestMainWindow::criticalMessageBoxes()
{
    WindowInDirectory w(emulator);
    MainWindow& window = *w.window;
    window.show();
    QVERIFY(settled(window));
    BoxWatch watch;
    {
        JournalScope journal(&window);
        std::vector<std::thread> senders;
        for (int t = 0; t < 2; ++t) {
            senders.emplace_back([t] {
                for (int n = 0; n < 20; ++n)
                    qCritical("Ошибка отправки %d.%d", t, n);
            });
        }
        for (int n = 0; n < 10; ++n) {
            qCritical("Потеряна связь");
            QCoreApplication::processEvents();
        }
        for (auto& sender : senders)
            sender.join();
        QVERIFY(QTest::qWaitFor([] {
            const QList<QMessageBox*> boxes = errorBoxes();
            return !boxes.isEmpty() && boxes.first()->informativeText() == QStringLiteral("Ещё сообщений: 49");
        }, 10000));
        QCOMPARE(watch.most, 1);
        QCOMPARE(journalLines(w).filter(QStringLiteral(" E] Ошибка отправки ")).size(), 40);

        QTest::mouseClick(errorBoxes().first()->button(QMessageBox::Ok), Qt::LeftButton);
        QTRY_VERIFY(errorBoxes().isEmpty());
        qCritical("Следующая ошибка");
        QTRY_COMPARE(errorBoxes().size(), 1);
        QCOMPARE(errorBoxes().first()->text(), QStringLiteral("Следующая ошибка"));
        QCOMPARE(errorBoxes().first()->informativeText(), QString());
        errorBoxes().first()->accept();
        QTRY_VERIFY(errorBoxes().isEmpty());

        // Queued now, served while the window closes.
        watch.most = 0;
        qCritical("Ошибка при остановке");
        std::thread([] { qCritical("Ошибка потока при остановке"); }).join();
        QVERIFY(window.close());
        QCoreApplication::processEvents();
    }
    QCOMPARE(watch.most, 0);
    const QStringList lines = journalLines(w);
    QCOMPARE(lines.filter(QStringLiteral(" E] Ошибка при остановке")).size(), 1);
    QCOMPARE(lines.filter(QStringLiteral(" E] Ошибка потока при остановке")).size(), 1);
}

// A journal that cannot be written says so in the status bar, once, and again when it writes again.
void TestMainWindow::journalTroubleInStatusBar()
{
    WindowInDirectory w;
    MainWindow& window = *w.window;
    const QString journalPath = w.cwd.path() + QStringLiteral("/stendix.log");
    QVERIFY(QDir().mkdir(journalPath));
    const QString failing = QStringLiteral("Журнал stendix.log не записывается (на месте файла находится папка); "
                                           "сообщения выводятся только в стандартный поток ошибок");
    {
        JournalScope journal(&window);
        qInfo("Первое сообщение");
        QTRY_VERIFY(statusTexts(window).contains(failing));
        QVERIFY(QDir().rmdir(journalPath));
        qInfo("Второе сообщение");
        QTRY_VERIFY(statusTexts(window).contains(
            QStringLiteral("Запись журнала stendix.log возобновлена; не записано сообщений: 1")));
    }
    QCOMPARE(journalLines(w).size(), 2);
}

// Settings that cannot be written say so once when the options are accepted; once they can, nothing
// is said.
void TestMainWindow::unsavedSettingsSaySo()
{
    WindowInDirectory w;
    MainWindow& window = *w.window;
    // A folder where the file should be: the settings cannot be written.
    QVERIFY(QFile::remove(w.cwd.iniPath()));
    QVERIFY(QDir().mkdir(w.cwd.iniPath()));
    clearMessages();
    const QString unsaved = QStringLiteral("Настройки не сохранены в файл stendix.ini (нет доступа на запись)");
    QVERIFY(runOptionsDialog(window, [](QDialog* dialog) { dialogButton(dialog, QDialogButtonBox::Ok)->click(); }));
    // (The offscreen platform has warnings of its own.)
    QCOMPARE(warnings().filter(QStringLiteral("Настройки")), QStringList{unsaved});
    QVERIFY(statusTexts(window).contains(unsaved));

    QVERIFY(QDir().rmdir(w.cwd.iniPath()));
    clearMessages();
    QVERIFY(runOptionsDialog(window, [](QDialog* dialog) {
        child<QSpinBox>(dialog, "spinBoxDisplayPeriod")->setValue(900);
        dialogButton(dialog, QDialogButtonBox::Ok)->click();
    }));
    QCOMPARE(warnings().filter(QStringLiteral("Настройки")), QStringList());
    QCOMPARE(QSettings(w.cwd.iniPath(), QSettings::IniFormat).value(QStringLiteral("Global/DisplayUpdateMs")).toInt(), 900);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
