// The page "Поверка" in the window, against a vekd of the test's own whose simulated multimeter
// reaches the module's outputs through its scanner: the page comes with a multimeter and holds the
// module's default scenario; a scenario of six steps built with the buttons and the step's
// settings, saved, opened and run, its rows showing each result in colour as it comes, the
// protocol in the report folder, the window locked while it runs; a run stopped by the button or
// ended by a lost meter (one message), both leaving 0 V; and the editing buttons against a plain
// model of their rules after random actions.
#include <QtTest>

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTreeView>

#include "benchstatus.h"
#include "resources.h"
#include "stepeditor.h"
#include "verificationpage.h"
#include "vekdrunner.h"
#include "windowtestutil.h"

using namespace apptest;
using namespace windowtest;
using verify::SignalType;

Q_DECLARE_METATYPE(verify::Step)

namespace {

const QString kCrate = QStringLiteral("4B210736");

// A window whose settings name the simulated multimeter of its own vekd, its scanner on slot 3.
struct PageBench
{
    VekdRunner vekd;
    const bool up;
    WindowInDirectory in;
    MainWindow& window = *in.window;

    explicit PageBench(const QString& meter = QString())
        : up(vekd.startWithMultimeter(50)),
          in(QVariantMap{ { "Multimeter/Address", meter.isEmpty() ? vekd.dmmAddress() : meter }, { "Multimeter/Scanner", true } })
    {
    }
    // Shown on the page "Поверка".
    bool showSettled()
    {
        if (!up || vekd.vekctl({ "probe", "--crate", kCrate, "--slot", "3", "--scanner" }) != 0)
            return false;
        window.show();
        widget<QTabWidget>("tabWidget")->setCurrentWidget(widget<QWidget>("tabAutotest"));
        return settled(window);
    }
    VerificationPage* page() { return window.verificationPage(); }
    template <typename T>
    T* widget(const char* name) { return child<T>(window.centralWidget(), name); }
    // The page's buttons (the module's panel has a "pushButtonStartStop" of its own).
    QPushButton* button(const char* name)
    {
        QPushButton* onPage = child<QPushButton>(widget<QWidget>("tabAutotest"), name);
        return onPage ? onPage : widget<QPushButton>(name);
    }
    QTreeView* steps() { return widget<QTreeView>("treeViewMain"); }
    QTreeView* settings() { return widget<QTreeView>("treeViewInner"); }
    QString startText() { return button("pushButtonStartStop")->text(); }
    bool runEnded(int timeoutMs = 90000)
    {
        return QTest::qWaitFor([&] { return !page()->isRunning() && startText() == QStringLiteral("Начать испытания"); }, timeoutMs);
    }
    QJsonObject played() { return benchstatus::module(benchstatus::status(vekd), kCrate, 3); }
};

// The tree as the operator reads it: a line per row, indented by depth, "title | result" for a step.
void linesOf(const QAbstractItemModel* model, const QModelIndex& parent, int depth, QStringList* lines, bool results)
{
    for (int r = 0; r < model->rowCount(parent); ++r) {
        const QModelIndex index = model->index(r, 0, parent);
        QString line = QString(depth * 2, QLatin1Char(' ')) + index.data().toString();
        if (results && model->rowCount(index) == 0)
            line += QStringLiteral(" | ") + index.siblingAtColumn(VerificationPage::VerdictColumn).data().toString();
        *lines << line;
        linesOf(model, index, depth + 1, lines, results);
    }
}

QStringList treeOf(VerificationPage* page, bool results = false)
{
    QStringList lines;
    linesOf(page->stepsModel(), QModelIndex(), 0, &lines, results);
    return lines;
}

// Answers the next question box, whenever it comes.
struct AnswerYes
{
    QTimer poll;
    AnswerYes()
    {
        QObject::connect(&poll, &QTimer::timeout, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->button(QMessageBox::Yes) ? box->button(QMessageBox::Yes)->click() : box->accept();
        });
        poll.start(10);
    }
};

// Edits one setting of the step shown as the operator does: the row's editor opened, the value
// chosen or typed, Return.
bool edit(QTreeView* view, StepEditor* editor, StepEditor::Field field, const QVariant& value)
{
    QStandardItem* item = editor->valueItem(field);
    if (!item)
        return false;
    const QModelIndex index = item->index();
    view->setCurrentIndex(index);
    view->edit(index);
    QWidget* open = nullptr;
    for (QWidget* w : view->viewport()->findChildren<QWidget*>()) {
        if (w->isVisible() && (qobject_cast<QComboBox*>(w) || qobject_cast<QAbstractSpinBox*>(w) || qobject_cast<QLineEdit*>(w))
            && !qobject_cast<QAbstractSpinBox*>(w->parentWidget()))
            open = w;
    }
    if (auto* combo = qobject_cast<QComboBox*>(open)) {
        const int i = combo->findText(value.toString());
        if (i < 0)
            return false;
        combo->setCurrentIndex(i);
        emit combo->activated(i);
    } else if (auto* spin = qobject_cast<QSpinBox*>(open)) {
        spin->setValue(value.toInt());
        QTest::keyClick(spin, Qt::Key_Return);
    } else if (auto* number = qobject_cast<QDoubleSpinBox*>(open)) {
        number->setValue(value.toDouble());
        QTest::keyClick(number, Qt::Key_Return);
    } else if (auto* line = qobject_cast<QLineEdit*>(open)) {
        line->setText(value.toString());
        QTest::keyClick(line, Qt::Key_Return);
    } else {
        return false;
    }
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    return true;
}

// The scenario's tree as a plain model: what the editing buttons must do to it.
struct PlainNode
{
    bool step = false;
    QString title;
    QVector<PlainNode> children;
};

struct PlainModel
{
    QVector<PlainNode> top;
    QVector<int> selected;   // empty: nothing selected

    PlainNode* at(const QVector<int>& path)
    {
        QVector<PlainNode>* level = &top;
        PlainNode* node = nullptr;
        for (int row : path) {
            if (row < 0 || row >= level->size())
                return nullptr;
            node = &(*level)[row];
            level = &node->children;
        }
        return node;
    }
    QVector<PlainNode>* siblings(const QVector<int>& path) { return path.size() <= 1 ? &top : &at(path.mid(0, path.size() - 1))->children; }
    // A new node: in a selected category at its end, after a selected step, else at the end.
    void add(const PlainNode& node)
    {
        PlainNode* s = at(selected);
        if (!s) {
            top.append(node);
            selected = { top.size() - 1 };
        } else if (!s->step) {
            s->children.append(node);
            selected.append(s->children.size() - 1);
        } else {
            siblings(selected)->insert(selected.last() + 1, node);
            selected.last() += 1;
        }
    }
    void remove()
    {
        QVector<PlainNode>* level = siblings(selected);
        level->remove(selected.last());
        if (selected.last() >= level->size())
            selected.last() -= 1;
        if (selected.last() < 0)
            selected.removeLast();
    }
    void duplicate()
    {
        siblings(selected)->insert(selected.last() + 1, *at(selected));
        selected.last() += 1;
    }
    QStringList lines() const
    {
        QStringList out;
        int number = 0;
        std::function<void(const QVector<PlainNode>&, int)> walk = [&](const QVector<PlainNode>& nodes, int depth) {
            for (const PlainNode& n : nodes) {
                out << QString(depth * 2, QLatin1Char(' ')) + (n.step ? QStringLiteral("%1. %2").arg(++number).arg(n.title) : n.title);
                walk(n.children, depth + 1);
            }
        };
        walk(top, 0);
        return out;
    }
    QList<QVector<int>> paths() const
    {
        QList<QVector<int>> all;
        std::function<void(const QVector<PlainNode>&, QVector<int>)> walk = [&](const QVector<PlainNode>& nodes, QVector<int> path) {
            for (int i = 0; i < nodes.size(); ++i) {
                all << path + QVector<int>{ i };
                walk(nodes[i].children, path + QVector<int>{ i });
            }
        };
        walk(top, {});
        return all;
    }
};

QVector<int> currentPath(QTreeView* view)
{
    QVector<int> path;
    for (QModelIndex i = view->currentIndex().siblingAtColumn(0); i.isValid(); i = i.parent())
        path.prepend(i.row());
    return path;
}

} // namespace

class TestVerificationPage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { clearMessages(); }
    void defaultScenarioOfTheModule();
    void sixStepsBuiltSavedOpenedAndRun();
    void stoppedByTheButton();
    void meterLostMidRun();
    void serviceLostMidRun();
    void editingAgainstAModel();
    void settingsThatFollowAnEdit_data();
    void settingsThatFollowAnEdit();
    void numbersTypedEitherWay_data();
    void numbersTypedEitherWay();
};

void TestVerificationPage::initTestCase()
{
    initStendixResources();
    installMessageCapture();
}

void TestVerificationPage::defaultScenarioOfTheModule()
{
    PageBench b;
    QVERIFY(b.showSettled());
    auto* tabs = b.widget<QTabWidget>("tabWidget");
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(1), QStringLiteral("Поверка"));
    QVERIFY(!tabs->tabBar()->isHidden());
    QVERIFY(QTest::qWaitFor([&] { return verify::stepCount(b.page()->scenario().items) == 240; }, 10000));
    const QStringList tree = treeOf(b.page());
    QCOMPARE(tree.mid(0, 4), (QStringList{ "Канал 1", "  Диапазон полный", "    1. DC -10 В", "    2. DC -5 В" }));
    QVERIFY(tree.contains(QStringLiteral("    240. частота: AC 0,35 В 1000 Гц")));
    QCOMPARE(b.page()->stepsModel()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Поверка VEK72-1-8"));
    // Before a run each step shows what it expects and its limit on this module.
    const QModelIndex first = b.page()->stepsModel()->index(0, 0, b.page()->stepsModel()->index(0, 0, b.page()->stepsModel()->index(0, 0)));
    QCOMPARE(first.siblingAtColumn(VerificationPage::ExpectedColumn).data().toString(), QStringLiteral("-10"));
    QCOMPARE(first.siblingAtColumn(VerificationPage::LimitColumn).data().toString(), QStringLiteral("0,006"));
    QCOMPARE(b.widget<QProgressBar>("progressBar")->text(), QStringLiteral("0 из 240"));
    QVERIFY(b.button("pushButtonStartStop")->isEnabled());

    // The options show where the protocols go; another folder is kept.
    const QString other = b.in.cwd.path() + QStringLiteral("/протоколы");
    QString shown;
    QVERIFY(runOptionsDialog(b.window, [&](QDialog* dialog) {
        QVERIFY(child<QWidget>(dialog, "groupBoxAutotest")->isVisible());
        auto* path = child<QLineEdit>(dialog, "lineEditReportSavePath");
        shown = path->text();
        path->setText(other);
        dialogButton(dialog, QDialogButtonBox::Ok)->click();
    }));
    QCOMPARE(shown, QDir::toNativeSeparators(b.in.cwd.path() + QStringLiteral("/reports")));
    QCOMPARE(b.page()->settingsShown().reportDirectory(), other);
    QSettings ini(b.in.cwd.iniPath(), QSettings::IniFormat);
    QCOMPARE(ini.value(QStringLiteral("Verification/ReportPath")).toString(), other);
}

void TestVerificationPage::sixStepsBuiltSavedOpenedAndRun()
{
    PageBench b;
    QVERIFY(b.showSettled());
    VerificationPage* page = b.page();
    StepEditor* editor = page->editor();
    QTreeView* settings = b.settings();
    using F = StepEditor;
    {
        AnswerYes yes;
        b.button("pushButtonListClear")->click();
    }
    QVERIFY(treeOf(page).isEmpty());
    // A category and six steps, named and set as a metrologist does it.
    b.button("pushButtonListAddSubStep")->click();
    QVERIFY(edit(settings, editor, F::Title, QStringLiteral("Канал 2")));
    b.button("pushButtonListAddStep")->click();
    QVERIFY(edit(settings, editor, F::Channel, 2));
    QVERIFY(edit(settings, editor, F::Voltage, 5.0));
    b.button("pushButtonListAddStep")->click();   // after it: channel 2 again
    QVERIFY(edit(settings, editor, F::Range, QStringLiteral("1/10")));
    QVERIFY(edit(settings, editor, F::Voltage, -0.5));
    b.button("pushButtonListAddStep")->click();
    QVERIFY(edit(settings, editor, F::Range, QStringLiteral("полный")));
    QVERIFY(edit(settings, editor, F::Type, QStringLiteral("AC")));
    QVERIFY(edit(settings, editor, F::Voltage, 3.5));
    QVERIFY(edit(settings, editor, F::Measure, QStringLiteral("AC")));
    QVERIFY(edit(settings, editor, F::AcFilter, QStringLiteral("> 200 Гц")));
    b.button("pushButtonListAddStep")->click();
    QVERIFY(edit(settings, editor, F::Type, QStringLiteral("AC")));
    QVERIFY(edit(settings, editor, F::Voltage, 1.0));
    QVERIFY(edit(settings, editor, F::Frequency, 2500.0));
    QVERIFY(edit(settings, editor, F::Measure, QStringLiteral("частота")));
    b.button("pushButtonListAddStep")->click();
    QVERIFY(edit(settings, editor, F::Channel, 3));
    QVERIFY(edit(settings, editor, F::Voltage, 1.0));
    QVERIFY(edit(settings, editor, F::ToleranceKind, QStringLiteral("± абсолютный")));
    QVERIFY(edit(settings, editor, F::Limit, 0.001));
    b.button("pushButtonListCopy")->click();
    QVERIFY(edit(settings, editor, F::Voltage, -1.0));
    const QStringList built{ "Канал 2", "  1. DC 5 В", "  2. DC -0,5 В", "  3. AC 3,5 В 1000 Гц", "  4. частота: AC 1 В 2500 Гц",
                             "  5. DC 1 В", "  6. DC -1 В" };
    QCOMPARE(treeOf(page), built);
    QVERIFY(page->isModified());
    QVERIFY(page->stepsModel()->headerData(0, Qt::Horizontal).toString().endsWith(QStringLiteral(" *")));

    // Saved, emptied, opened again: the same scenario.
    const QString path = b.in.cwd.path() + QStringLiteral("/шесть шагов.json");
    QString error;
    QVERIFY2(page->saveFile(path, &error), qPrintable(error));
    const verify::Scenario saved = page->scenario();
    {
        AnswerYes yes;
        b.button("pushButtonListClear")->click();
    }
    QVERIFY(page->openFile(path, &error));
    QCOMPARE(treeOf(page), built);
    QCOMPARE(page->scenario(), saved);
    QCOMPARE(page->stepsModel()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Сценарий — шесть шагов.json"));

    // Run: the window is locked meanwhile, the rows fill in as the steps come.
    b.widget<QLineEdit>("lineEditOperator")->setText(QStringLiteral("Петров П. П."));
    b.button("pushButtonStartStop")->click();
    QVERIFY(page->isRunning());
    QCOMPARE(b.startText(), QStringLiteral("Остановить испытания"));
    for (const char* locked : { "pushButtonUpdate", "pushButtonOptions", "pushButtonListOpen", "pushButtonListAddStep" })
        QVERIFY2(!b.button(locked)->isEnabled(), locked);
    QVERIFY(!b.widget<QWidget>("widgetModuleControls")->isEnabled());
    QVERIFY(!b.widget<QComboBox>("comboBoxCrate")->isEnabled());
    QVERIFY(b.runEnded());
    QCOMPARE(treeOf(page, true), (QStringList{ "Канал 2", "  1. DC 5 В | годен", "  2. DC -0,5 В | годен",
                                               "  3. AC 3,5 В 1000 Гц | годен", "  4. частота: AC 1 В 2500 Гц | годен",
                                               "  5. DC 1 В | годен", "  6. DC -1 В | годен" }));
    const QModelIndex step3 = page->stepsModel()->index(2, 0, page->stepsModel()->index(0, 0));
    QCOMPARE(step3.siblingAtColumn(VerificationPage::VerdictColumn).data(Qt::ForegroundRole).value<QBrush>().color(),
             QColor(0x1b, 0x7f, 0x2a));
    QVERIFY(std::abs(QLocale(QLocale::Russian).toDouble(step3.siblingAtColumn(VerificationPage::MeasuredColumn).data().toString()) - 3.5) < 0.005);
    QCOMPARE(b.widget<QProgressBar>("progressBar")->text(), QStringLiteral("6 из 6"));
    // Unlocked, nothing plays, every output at 0 V; the protocol in the report folder.
    QVERIFY(b.button("pushButtonUpdate")->isEnabled());
    QVERIFY(b.widget<QWidget>("widgetModuleControls")->isEnabled());
    QVERIFY(benchstatus::outputsAtZero(b.played()));
    const QDir reports(b.in.cwd.path() + QStringLiteral("/reports"));
    QCOMPARE(reports.entryList(QDir::Files).size(), 3);
    QFile html(reports.filePath(reports.entryList({ "*.html" }).value(0)));
    QVERIFY(html.open(QIODevice::ReadOnly));
    const QString protocol = QString::fromUtf8(html.readAll());
    for (const QString& text : { QStringLiteral("Итог: 6 годен / 0 не годен."), QStringLiteral("Петров П. П."),
                                 QStringLiteral("Сценарий</td><td><b>файл шесть шагов.json") })
        QVERIFY2(protocol.contains(text), qPrintable(text));
    QVERIFY(criticals().isEmpty());
    // The operator's name is kept for the next run.
    QVERIFY(b.in.cwd.iniBytes().contains("Operator="));
}

void TestVerificationPage::stoppedByTheButton()
{
    PageBench b;
    QVERIFY(b.showSettled());
    QVERIFY(QTest::qWaitFor([&] { return verify::stepCount(b.page()->scenario().items) == 240; }, 10000));
    b.window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&b.window));
    b.button("pushButtonStartStop")->click();
    QVERIFY(QTest::qWaitFor([&] { return b.widget<QProgressBar>("progressBar")->value() >= 3; }, 30000));
    QTest::mouseClick(b.button("pushButtonStartStop"), Qt::LeftButton);
    QVERIFY(!b.button("pushButtonStartStop")->isEnabled());   // stopping
    QVERIFY(b.runEnded());
    // The next run is a key press away.
    QCOMPARE(b.window.focusWidget(), static_cast<QWidget*>(b.button("pushButtonStartStop")));
    const verify::RunRecord record = b.page()->lastRecord();
    QVERIFY(record.steps.size() >= 3 && record.steps.size() < 240);
    QCOMPARE(record.end.reason, QStringLiteral("Остановлено оператором"));
    const QStringList rows = treeOf(b.page(), true);
    QCOMPARE(rows.filter(QStringLiteral(" | годен")).size() + rows.filter(QStringLiteral(" | прерван")).size(), record.steps.size());
    QCOMPARE(rows.filter(QRegularExpression(QStringLiteral("\\d\\. .* \\| $"))).size(), 240 - record.steps.size());
    QVERIFY(benchstatus::outputsAtZero(b.played()));
    QVERIFY(!b.played().value("running").toBool());
    QCOMPARE(QDir(b.in.cwd.path() + QStringLiteral("/reports")).entryList(QDir::Files).size(), 3);
    QVERIFY(criticals().isEmpty());
}

void TestVerificationPage::meterLostMidRun()
{
    PageBench b;
    QVERIFY(b.showSettled());
    QVERIFY(QTest::qWaitFor([&] { return verify::stepCount(b.page()->scenario().items) == 240; }, 10000));
    b.button("pushButtonStartStop")->click();
    QVERIFY(QTest::qWaitFor([&] { return b.widget<QProgressBar>("progressBar")->value() >= 2; }, 30000));
    QCOMPARE(b.vekd.vekctl({ "fault", "drop", "--target", "dmm" }), 0);
    QVERIFY(b.runEnded());
    // One message says why the run ended; the steps done stay, the outputs are at 0 V.
    QCOMPARE(criticals().size(), 1);
    QVERIFY2(criticals().first().startsWith(QStringLiteral("Поверка прервана: потеряна связь с мультиметром: мультиметр ")),
             qPrintable(criticals().first()));
    QVERIFY(b.page()->lastRecord().count(verify::Verdict::Pass) >= 2);
    QVERIFY(benchstatus::outputsAtZero(b.played()));
    QVERIFY(b.button("pushButtonStartStop")->isEnabled());
    QCOMPARE(b.widget<QProgressBar>("progressBar")->text(), QStringLiteral("%1 из 240").arg(b.page()->lastRecord().steps.size()));
}

void TestVerificationPage::serviceLostMidRun()
{
    PageBench b;
    QVERIFY(b.showSettled());
    QVERIFY(QTest::qWaitFor([&] { return verify::stepCount(b.page()->scenario().items) == 240; }, 10000));
    b.button("pushButtonStartStop")->click();
    QVERIFY(QTest::qWaitFor([&] { return b.widget<QProgressBar>("progressBar")->value() >= 2; }, 30000));
    b.vekd.stop();   // the crate service and its meter gone at once
    QVERIFY(b.runEnded());
    // The steps done stay in the rows, the bar and the protocol; the reason is said; no new run
    // can begin on a module that is not there.
    const verify::RunRecord record = b.page()->lastRecord();
    QVERIFY(record.count(verify::Verdict::Pass) >= 2);
    QVERIFY(!record.end.reason.isEmpty());
    QVERIFY(QTest::qWaitFor([&] { return !criticals().isEmpty(); }, 10000));   // the lost service, said by the window
    QVERIFY(QTest::qWaitFor([&] { return !b.button("pushButtonStartStop")->isEnabled(); }, 10000));
    QCOMPARE(b.widget<QProgressBar>("progressBar")->text(), QStringLiteral("%1 из 240").arg(record.steps.size()));
    QCOMPARE(treeOf(b.page(), true).filter(QStringLiteral(" | годен")).size(), record.count(verify::Verdict::Pass));
    QCOMPARE(QDir(b.in.cwd.path() + QStringLiteral("/reports")).entryList(QDir::Files).size(), 3);
}

void TestVerificationPage::editingAgainstAModel()
{
    // No service and no meter there: the editing needs neither.
    qputenv("VEK_SERVICE", QByteArray("127.0.0.1:") + QByteArray::number(deadPort()));
    WindowInDirectory in(QVariantMap{ { "Multimeter/Address", QStringLiteral("127.0.0.1:%1").arg(deadPort()) } });
    in.window->show();
    child<QTabWidget>(in.window->centralWidget(), "tabWidget")->setCurrentIndex(1);
    QVERIFY(settled(*in.window));
    VerificationPage* page = in.window->verificationPage();
    QTreeView* steps = child<QTreeView>(in.window->centralWidget(), "treeViewMain");
    QTreeView* settings = child<QTreeView>(in.window->centralWidget(), "treeViewInner");
    const auto button = [&](const char* name) { return child<QPushButton>(child<QWidget>(in.window->centralWidget(), "tabAutotest"), name); };
    AnswerYes yes;
    PlainModel model;
    QRandomGenerator random(2912);
    int named = 0;
    for (int action = 0; action < 200; ++action) {
        // Something selected (or nothing), as a click would.
        const QList<QVector<int>> paths = model.paths();
        const int pick = random.bounded(paths.size() + 1);
        model.selected = pick < paths.size() ? paths.at(pick) : QVector<int>();
        page->select(model.selected);
        QCOMPARE(currentPath(steps), model.selected);
        const bool any = model.at(model.selected) != nullptr;
        QCOMPARE(button("pushButtonListDeleteStep")->isEnabled(), any);
        QCOMPARE(button("pushButtonListCopy")->isEnabled(), any);

        const int what = random.bounded(100);
        if (what < 25) {
            button("pushButtonListAddSubStep")->click();
            model.add(PlainNode{ false, QStringLiteral("Новая категория"), {} });
        } else if (what < 55) {
            button("pushButtonListAddStep")->click();
            model.add(PlainNode{ true, QStringLiteral("DC 0 В"), {} });
        } else if (what < 70 && any) {
            button("pushButtonListDeleteStep")->click();
            model.remove();
        } else if (what < 80 && any) {
            button("pushButtonListCopy")->click();
            model.duplicate();
        } else if (what < 82) {
            button("pushButtonListClear")->click();
            model.top.clear();
            model.selected.clear();
        } else if (any) {
            // Named through the step's settings.
            const QString name = QStringLiteral("n%1").arg(++named);
            QVERIFY(edit(settings, page->editor(), StepEditor::Title, name));
            model.at(model.selected)->title = name;
        }
        QCOMPARE(treeOf(page), model.lines());
        QCOMPARE(currentPath(steps), model.selected);
    }
    QVERIFY(page->isModified());
}

void TestVerificationPage::settingsThatFollowAnEdit_data()
{
    QTest::addColumn<verify::Step>("step");
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("value");
    // What the rows then show: the function, the AC filter ("" when there is no such row), the
    // settle time and the tolerance ("% значения", or the absolute limit).
    QTest::addColumn<QStringList>("shown");
    const auto step = [](SignalType type, double frequency, verify::Measure measure, int filter, int settle, verify::Tolerance tolerance) {
        verify::Step s;
        s.type = type;
        s.voltage = 1;
        s.frequency = frequency;
        s.measure = measure;
        s.acFilterHz = filter;
        s.settleMs = settle;
        s.tolerance = tolerance;
        return s;
    };
    using M = verify::Measure;
    const verify::Tolerance dc{ false, 0.05, 0.01, 0 }, ac{ false, 0.1, 0.02, 0 }, frequency{ false, 0.02, 0, 0 };
    const verify::Tolerance absolute{ true, 0, 0, 0.002 };
    QTest::newRow("DC to AC at 1 kHz: its RMS through the 200 Hz filter")
        << step(SignalType::Dc, 1000, M::DcVoltage, 20, 250, dc) << int(StepEditor::Type) << "AC"
        << QStringList{ "AC", "> 200 Гц", "150", "0,1" };
    QTest::newRow("DC to AC at 50 Hz: the 20 Hz filter")
        << step(SignalType::Dc, 50, M::DcVoltage, 200, 250, dc) << int(StepEditor::Type) << "AC"
        << QStringList{ "AC", "> 20 Гц", "1100", "0,1" };
    QTest::newRow("a settle time of the operator's own is kept")
        << step(SignalType::Dc, 1000, M::DcVoltage, 20, 400, dc) << int(StepEditor::Type) << "AC"
        << QStringList{ "AC", "> 200 Гц", "400", "0,1" };
    QTest::newRow("AC to DC: its level")
        << step(SignalType::Ac, 50, M::AcVoltage, 20, 1100, ac) << int(StepEditor::Type) << "DC"
        << QStringList{ "DC", "", "250", "0,05" };
    QTest::newRow("a frequency measured stays so")
        << step(SignalType::Ac, 50, M::Frequency, 20, 150, frequency) << int(StepEditor::Type) << "Особый"
        << QStringList{ "частота", "", "150", "0,02" };
    QTest::newRow("AC measured at 10 Hz: the 3 Hz filter, its long settling")
        << step(SignalType::Ac, 10, M::DcVoltage, 200, 250, dc) << int(StepEditor::Measure) << "AC"
        << QStringList{ "AC", "> 3 Гц", "7500", "0,1" };
    QTest::newRow("an absolute tolerance is kept")
        << step(SignalType::Dc, 1000, M::DcVoltage, 20, 250, absolute) << int(StepEditor::Type) << "AC"
        << QStringList{ "AC", "> 200 Гц", "150", "0,002" };
    QTest::newRow("the range changes nothing else")
        << step(SignalType::Ac, 10, M::AcVoltage, 3, 7500, ac) << int(StepEditor::Range) << "1/10"
        << QStringList{ "AC", "> 3 Гц", "7500", "0,1" };
}

void TestVerificationPage::settingsThatFollowAnEdit()
{
    QFETCH(verify::Step, step);
    QFETCH(int, field);
    QFETCH(QString, value);
    QFETCH(QStringList, shown);
    QTreeView view;
    StepEditor editor(&view);
    QVector<verify::Node> told;
    connect(&editor, &StepEditor::edited, [&](const verify::Node& node) { told << node; });
    const verify::Node node = verify::Node::ofStep(step);
    editor.show(&node, 8);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QVERIFY(edit(&view, &editor, StepEditor::Field(field), value));
    QCOMPARE(told.size(), 1);
    const auto text = [&](StepEditor::Field f) { return editor.valueItem(f) ? editor.valueItem(f)->text() : QString(); };
    const bool absolute = told.first().step.tolerance.absolute;
    QCOMPARE((QStringList{ text(StepEditor::Measure), text(StepEditor::AcFilter), text(StepEditor::Settle),
                           text(absolute ? StepEditor::Limit : StepEditor::ValuePct) }),
             shown);
    // The row edited shows the new value; the step told is the step shown.
    QCOMPARE(text(StepEditor::Field(field)), value);
    QCOMPARE(told.first().step.settleMs, text(StepEditor::Settle).toInt());
}

void TestVerificationPage::numbersTypedEitherWay_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<double>("kept");
    QTest::newRow("decimal comma") << "2,5" << "2,5" << 2.5;
    QTest::newRow("decimal point") << "2.5" << "2,5" << 2.5;
    QTest::newRow("negative, comma") << "-0,125" << "-0,125" << -0.125;
    QTest::newRow("negative, point") << "-0.125" << "-0,125" << -0.125;
    QTest::newRow("whole") << "10" << "10" << 10.0;
    QTest::newRow("beyond three decimals") << "1,23456" << "1,234" << 1.234;
}

void TestVerificationPage::numbersTypedEitherWay()
{
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(double, kept);
    QTreeView view;
    StepEditor editor(&view);
    QVector<verify::Node> told;
    connect(&editor, &StepEditor::edited, [&](const verify::Node& node) { told << node; });
    const verify::Node node = verify::Node::ofStep(verify::Step());
    editor.show(&node, 8);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    // Typed over the level, as the operator does after a double click, and Return.
    const QModelIndex level = editor.valueItem(StepEditor::Voltage)->index();
    view.setCurrentIndex(level);
    view.edit(level);
    QAbstractSpinBox* spin = view.viewport()->findChild<QAbstractSpinBox*>();
    QVERIFY(spin);
    spin->selectAll();
    QTest::keyClicks(spin, typed);
    QTest::keyClick(spin, Qt::Key_Return);
    QVERIFY(QTest::qWaitFor([&] { return editor.valueItem(StepEditor::Voltage)->text() == shown; }, 2000));
    QCOMPARE(told.size(), 1);
    QCOMPARE(told.first().step.voltage, kept);
}

QTEST_MAIN(TestVerificationPage)
#include "tst_verification_page.moc"
