#include "verificationpage.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSemaphore>
#include <QSettings>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QTreeView>

#include <cstdio>
#include <cstdlib>

#include "defaultscenario.h"
#include "engine.h"
#include "module.h"
#include "report.h"
#include "scenariofile.h"
#include "stepeditor.h"
#include "verificationbench.h"

using verify::Node;
using verify::Verdict;

namespace {

// How long closing waits for a run to end: the step under way gives up at once, the outputs go to
// 0 V and the protocol is written within the module's and the disk's own bounds.
constexpr int shutdownBoundMs = 60000;

enum Role { KeyRole = Qt::UserRole + 1 };

const QColor passColour(0x1b, 0x7f, 0x2a);
const QColor failColour(0xc0, 0x10, 0x10);
const QColor otherColour(0x80, 0x60, 0x00);

QColor colourOf(Verdict v)
{
    return v == Verdict::Pass ? passColour : v == Verdict::Fail ? failColour : otherColour;
}

QString valueText(double value, verify::Measure measure)
{
    return verify::numberText(value, measure == verify::Measure::Frequency ? 4 : 7);
}

QStandardItem* cell(const QString& text = QString())
{
    auto* item = new QStandardItem(text);
    item->setEditable(false);
    return item;
}

QString fileFilter()
{
    return QStringLiteral("Сценарий поверки (*.%1);;Все файлы (*)").arg(verify::scenariofile::suffix());
}

} // namespace

// The run's listener on the runner's thread: every event goes on to the page on its thread; the
// protocol is written here, at the end, when the page asks for it.
class VerificationPage::Relay : public verify::RunListener
{
public:
    Relay(VerificationPage* page, std::shared_ptr<verify::RecordKeeper> keeper, std::shared_ptr<std::atomic<bool>> autoSave,
          QString directory)
        : page(page), keeper(std::move(keeper)), autoSave(std::move(autoSave)), directory(std::move(directory))
    {
    }
    void runStarted(const verify::RunInfo& info) override
    {
        post([info](VerificationPage* p) { p->runStarted(info); });
    }
    void stepStarted(int number, const verify::Step&) override
    {
        post([number](VerificationPage* p) { p->stepStarted(number); });
    }
    void stepFinished(const verify::StepResult& result) override
    {
        post([result](VerificationPage* p) { p->stepFinished(result); });
    }
    void runFinished(const verify::RunEnd& end) override
    {
        QString message;
        bool failed = false;
        const verify::RunRecord record = keeper->record();
        if (autoSave->load() && !record.steps.isEmpty()) {
            verify::ReportFiles files;
            failed = !verify::writeReport(record, directory, &files, &message);
            if (!failed)
                message = QStringLiteral("протокол записан в %1").arg(QFileInfo(files.pdf).path());
        }
        post([end, message, failed](VerificationPage* p) { p->runFinished(end, message, failed); });
    }

private:
    void post(std::function<void(VerificationPage*)> work)
    {
        QPointer<VerificationPage> target = page;
        QMetaObject::invokeMethod(qApp, [target, work] {
            if (target)
                work(target);
        }, Qt::QueuedConnection);
    }

    QPointer<VerificationPage> page;
    std::shared_ptr<verify::RecordKeeper> keeper;
    std::shared_ptr<std::atomic<bool>> autoSave;
    QString directory;
};

VerificationPage::VerificationPage(const Widgets& widgets, Engine* engine, QSettings* settings,
                                   const MultimeterSettings& meter, QObject* parent)
    : QObject(parent),
      w(widgets),
      engine(engine),
      settings(settings),
      meter(meter),
      values(readVerificationSettings(settings)),
      stepEditor(new StepEditor(widgets.settings, this)),
      autoSaveOn(std::make_shared<std::atomic<bool>>(values.autoSave))
{
    w.steps->setModel(&model);
    w.steps->setSelectionBehavior(QAbstractItemView::SelectRows);
    w.steps->setSelectionMode(QAbstractItemView::SingleSelection);
    w.steps->setEditTriggers(QAbstractItemView::NoEditTriggers);
    w.steps->setUniformRowHeights(true);
    connect(w.steps->selectionModel(), &QItemSelectionModel::currentChanged, this, [this] { selectionChanged(); });
    connect(stepEditor, &StepEditor::edited, this, &VerificationPage::nodeEdited);

    // A short word and an icon on each button; the tool tip has the whole name.
    QStyle* style = w.page->style();
    const struct
    {
        QPushButton* button;
        const char* text;
        QStyle::StandardPixmap icon;
    } buttons[] = {
        { w.original, "Изначальный", QStyle::SP_BrowserReload },
        { w.open, "Открыть", QStyle::SP_DialogOpenButton },
        { w.save, "Сохранить", QStyle::SP_DialogSaveButton },
        { w.addCategory, "Подкатегория", QStyle::SP_FileDialogNewFolder },
        { w.addStep, "Шаг", QStyle::SP_FileIcon },
        { w.remove, "Удалить", QStyle::SP_TrashIcon },
        { w.duplicate, "Дублировать", QStyle::SP_FileDialogDetailedView },
        { w.clear, "Очистить", QStyle::SP_DialogResetButton },
    };
    for (const auto& b : buttons) {
        b.button->setText(QString::fromUtf8(b.text));
        b.button->setIcon(style->standardIcon(b.icon));
    }
    connect(w.original, &QPushButton::clicked, this, &VerificationPage::onOriginal);
    connect(w.open, &QPushButton::clicked, this, &VerificationPage::onOpen);
    connect(w.save, &QPushButton::clicked, this, &VerificationPage::onSave);
    connect(w.addCategory, &QPushButton::clicked, this, &VerificationPage::addCategory);
    connect(w.addStep, &QPushButton::clicked, this, &VerificationPage::addStep);
    connect(w.remove, &QPushButton::clicked, this, &VerificationPage::onRemove);
    connect(w.duplicate, &QPushButton::clicked, this, &VerificationPage::duplicateSelected);
    connect(w.clear, &QPushButton::clicked, this, &VerificationPage::onClear);
    connect(w.startStop, &QPushButton::clicked, this, &VerificationPage::onStartStop);
    connect(w.saveReport, &QPushButton::clicked, this, &VerificationPage::onSaveReport);

    w.autoSave->setChecked(values.autoSave);
    w.operatorName->setText(values.operatorName);
    w.conditions->setText(values.conditions);
    connect(w.autoSave, &QCheckBox::toggled, this, [this](bool on) {
        values.autoSave = on;
        *autoSaveOn = on;
        writeVerificationSettings(this->settings, values);
        updateButtons();
    });
    const auto keepTexts = [this] {
        if (values.operatorName == w.operatorName->text() && values.conditions == w.conditions->text())
            return;
        values.operatorName = w.operatorName->text();
        values.conditions = w.conditions->text();
        writeVerificationSettings(this->settings, values);
    };
    connect(w.operatorName, &QLineEdit::editingFinished, this, keepTexts);
    connect(w.conditions, &QLineEdit::editingFinished, this, keepTexts);
    rebuildTree();
    updateButtons();
}

VerificationPage::~VerificationPage()
{
    // The window has shut the page down before its widgets go (the views let go of the models as
    // these are destroyed).
    if (!closed)
        shutDown();
}

// --- The module and the window ----------------------------------------------------------------

void VerificationPage::moduleChanged()
{
    // Without a multimeter the window has no page "Поверка": nothing follows the module.
    if (!meter.present())
        return;
    QString crate;
    int slot = 0;
    const int i = engine->selectedCrateIndex();
    const int j = engine->selectedModuleIndex();
    const QList<Engine::Crate>& crates = engine->crateList();
    if (i >= 0 && i < crates.size() && j >= 0 && j < crates.at(i).modules.size()) {
        crate = crates.at(i).crateSerial;
        slot = crates.at(i).modules.at(j).slotNumber;
    }
    const verify::ModuleFacts now = verificationbench::moduleFacts(engine->moduleObject(), crate, slot);
    if (isRunning() || (now.name == facts.name && now.serial == facts.serial && now.slot == facts.slot && now.crate == facts.crate))
        return;
    facts = now;
    // The first module gets its default scenario while the page holds nothing of the operator's.
    if (current.items.isEmpty() && !modified && file.isEmpty() && facts.channelCount > 0) {
        restoreDefault();
        return;
    }
    rebuildTree();
    updateButtons();
}

void VerificationPage::setModuleUsable(bool usable)
{
    moduleUsable = usable;
    moduleChanged();
    updateButtons();
}

void VerificationPage::setReportPath(const QString& path)
{
    values.reportPath = path;
    writeVerificationSettings(settings, values);
}

// --- The scenario's tree -------------------------------------------------------------------------

void VerificationPage::setScenario(const verify::Scenario& scenario)
{
    current = scenario;
    giveKeys(current.items, true);
    modified = false;
    rebuildTree();
    select({ 0 });
    updateButtons();
}

void VerificationPage::giveKeys(QVector<Node>& nodes, bool fresh)
{
    for (Node& node : nodes) {
        if (fresh || node.key == 0)
            node.key = nextKey++;
        giveKeys(node.children, fresh);
    }
}

void VerificationPage::updateHeader()
{
    QString title = current.title.isEmpty() ? QStringLiteral("Сценарий") : current.title;
    if (!file.isEmpty())
        title += QStringLiteral(" — ") + QFileInfo(file).fileName();
    if (modified)
        title += QStringLiteral(" *");
    model.setHorizontalHeaderLabels({ title, QStringLiteral("Канал"), QStringLiteral("Диапазон"),
                                      QStringLiteral("Измерение"), QStringLiteral("Ожидается"),
                                      QStringLiteral("Измерено"), QStringLiteral("Погрешность"),
                                      QStringLiteral("Допуск ±"), QStringLiteral("Результат") });
}

void VerificationPage::rebuildTree()
{
    const QVector<int> selected = selectedPath();
    model.removeRows(0, model.rowCount());
    model.setColumnCount(ColumnCount);
    updateHeader();
    int number = 0;
    appendRows(model.invisibleRootItem(), current.items, &number);
    w.steps->expandAll();
    w.steps->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    if (!selected.isEmpty())
        select(selected);
    else
        selectionChanged();
    // Between runs the bar counts the scenario's steps and those that show a result: how far the
    // last run came, whatever rebuilt the tree since (a module lost, another chosen).
    if (!isRunning()) {
        std::function<int(const QVector<Node>&)> withResult = [&](const QVector<Node>& nodes) {
            int n = 0;
            for (const Node& node : nodes)
                n += node.isStep ? int(results.contains(node.key)) : withResult(node.children);
            return n;
        };
        w.progress->setRange(0, std::max(1, number));
        w.progress->setValue(withResult(current.items));
        w.progress->setFormat(number > 0 ? QStringLiteral("%v из %m") : QStringLiteral("нет шагов"));
    }
}

void VerificationPage::appendRows(QStandardItem* parent, const QVector<Node>& nodes, int* number)
{
    for (const Node& node : nodes) {
        QList<QStandardItem*> row;
        for (int c = 0; c < ColumnCount; ++c)
            row << cell();
        row[StepColumn]->setData(node.key, KeyRole);
        parent->appendRow(row);
        if (node.isStep) {
            showStepRow(row, node, ++*number);
            continue;
        }
        row[StepColumn]->setText(node.title);
        QFont bold = row[StepColumn]->font();
        bold.setBold(true);
        row[StepColumn]->setFont(bold);
        appendRows(row[StepColumn], node.children, number);
    }
}

void VerificationPage::showStepRow(const QList<QStandardItem*>& row, const Node& node, int number)
{
    const verify::Step& s = node.step;
    row[StepColumn]->setText(QStringLiteral("%1. %2").arg(number).arg(verify::stepTitle(s)));
    row[ChannelColumn]->setText(QString::number(s.channel));
    row[RangeColumn]->setText(verify::rangeText(s.range));
    row[MeasureColumn]->setText(verify::measureText(s.measure));
    const auto found = results.constFind(node.key);
    if (found == results.constEnd() || found->evaluation.verdict == Verdict::NotRun) {
        // Not run yet: what the step expects, and its limit on the open module.
        const double expected = verify::expectedValue(s);
        row[ExpectedColumn]->setText(valueText(expected, s.measure));
        row[LimitColumn]->setText(facts.channelCount > 0
                                      ? valueText(verify::toleranceLimit(s.tolerance, expected, verify::rangeValue(facts, s)), s.measure)
                                  : s.tolerance.absolute ? valueText(s.tolerance.limit, s.measure)
                                                         : QStringLiteral("%1 % + %2 %").arg(verify::numberText(s.tolerance.valuePct, 4),
                                                                                             verify::numberText(s.tolerance.rangePct, 4)));
        row[VerdictColumn]->setText(node.key == runningKey ? QStringLiteral("измерение…") : QString());
        return;
    }
    const verify::StepResult& r = *found;
    const verify::Evaluation& e = r.evaluation;
    const bool measured = e.verdict == Verdict::Pass || e.verdict == Verdict::Fail;
    row[ExpectedColumn]->setText(valueText(r.expected, s.measure));
    row[MeasuredColumn]->setText(!measured ? QString() : e.overload ? QStringLiteral("перегрузка") : valueText(e.measured, s.measure));
    row[ErrorColumn]->setText(measured && !e.overload ? valueText(e.error, s.measure) : QString());
    row[LimitColumn]->setText(valueText(e.limit, s.measure));
    row[VerdictColumn]->setText(verify::verdictText(e.verdict));
    row[VerdictColumn]->setForeground(colourOf(e.verdict));
    QFont bold = row[VerdictColumn]->font();
    bold.setBold(true);
    row[VerdictColumn]->setFont(bold);
    if (!r.note.isEmpty())
        row[VerdictColumn]->setToolTip(r.note);
}

void VerificationPage::showResult(int key)
{
    // The row of the key, found from the top: a few hundred rows at most.
    std::function<QStandardItem*(QStandardItem*)> find = [&](QStandardItem* parent) -> QStandardItem* {
        for (int r = 0; r < parent->rowCount(); ++r) {
            QStandardItem* item = parent->child(r, StepColumn);
            if (item->data(KeyRole).toInt() == key)
                return item;
            if (QStandardItem* below = find(item))
                return below;
        }
        return nullptr;
    };
    QStandardItem* item = find(model.invisibleRootItem());
    const Node* node = item ? nodeAt([&] {
        QVector<int> path;
        for (QModelIndex i = item->index(); i.isValid(); i = i.parent())
            path.prepend(i.row());
        return path;
    }()) : nullptr;
    if (!node || !node->isStep)
        return;
    QStandardItem* parent = item->parent() ? item->parent() : model.invisibleRootItem();
    QList<QStandardItem*> row;
    for (int c = 0; c < ColumnCount; ++c)
        row << parent->child(item->row(), c);
    const int number = row[StepColumn]->text().section(QLatin1Char('.'), 0, 0).toInt();
    showStepRow(row, *node, number);
    w.steps->scrollTo(item->index(), QAbstractItemView::EnsureVisible);
}

QVector<int> VerificationPage::selectedPath() const
{
    QVector<int> path;
    for (QModelIndex i = w.steps->currentIndex().siblingAtColumn(0); i.isValid(); i = i.parent())
        path.prepend(i.row());
    return path;
}

void VerificationPage::select(const QVector<int>& path)
{
    QModelIndex index;
    for (int row : path) {
        const QModelIndex next = model.index(row, 0, index);
        if (!next.isValid())
            break;
        index = next;
    }
    w.steps->setCurrentIndex(index);
    if (index.isValid())
        w.steps->scrollTo(index);
    selectionChanged();
}

Node* VerificationPage::nodeAt(const QVector<int>& path)
{
    QVector<Node>* level = &current.items;
    Node* node = nullptr;
    for (int row : path) {
        if (row < 0 || row >= level->size())
            return nullptr;
        node = &(*level)[row];
        level = &node->children;
    }
    return node;
}

QVector<Node>* VerificationPage::siblingsOf(const QVector<int>& path)
{
    if (path.size() <= 1)
        return &current.items;
    Node* parent = nodeAt(path.mid(0, path.size() - 1));
    return parent ? &parent->children : nullptr;
}

void VerificationPage::selectionChanged()
{
    const Node* node = nodeAt(selectedPath());
    stepEditor->show(node, facts.channelCount);
    updateButtons();
}

void VerificationPage::nodeEdited(const Node& edited)
{
    Node* node = nodeAt(selectedPath());
    if (!node || isRunning())
        return;
    const int key = node->key;
    *node = edited;
    node->key = key;
    // The last result was of other settings.
    if (node->isStep)
        results.remove(key);
    markModified();
    rebuildTree();
}

void VerificationPage::markModified()
{
    modified = true;
    updateHeader();
}

void VerificationPage::updateButtons()
{
    const bool running = isRunning();
    const bool selected = nodeAt(selectedPath()) != nullptr;
    for (QPushButton* b : { w.original, w.open, w.addCategory, w.addStep, w.clear })
        b->setEnabled(!running);
    w.original->setEnabled(!running && facts.channelCount > 0);
    w.save->setEnabled(!running && !current.items.isEmpty());
    w.remove->setEnabled(!running && selected);
    w.duplicate->setEnabled(!running && selected);
    w.startStop->setText(running ? QStringLiteral("Остановить испытания") : QStringLiteral("Начать испытания"));
    w.startStop->setEnabled(running ? !stopping : moduleUsable);
    w.saveReport->setEnabled(!running && keeper && !keeper->record().steps.isEmpty());
    stepEditor->setReadOnly(running);
}

// --- Editing -------------------------------------------------------------------------------------

bool VerificationPage::mayDiscard(const QString& what)
{
    if (!modified || stepCount(current.items) == 0)
        return true;
    return QMessageBox::question(w.page->window(), QStringLiteral("Поверка"),
                                 QStringLiteral("%1? Изменения сценария не сохранены.").arg(what),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
           == QMessageBox::Yes;
}

void VerificationPage::restoreDefault()
{
    if (isRunning() || facts.channelCount <= 0)
        return;
    file.clear();
    results.clear();
    setScenario(verify::defaultScenario(facts));
    emit status(QStringLiteral("Сценарий по умолчанию для %1: %2 шагов").arg(facts.name).arg(stepCount(current.items)));
}

void VerificationPage::clearScenario()
{
    if (isRunning())
        return;
    // A new scenario: no title of its own until it has a file.
    current.items.clear();
    current.title.clear();
    current.module = facts.name;
    markModified();
    rebuildTree();
    updateButtons();
}

void VerificationPage::addCategory()
{
    if (isRunning())
        return;
    QVector<int> path = selectedPath();
    Node category = Node::category(QStringLiteral("Новая категория"));
    category.key = nextKey++;
    Node* at = nodeAt(path);
    if (!at) {
        current.items.append(category);
        path = { current.items.size() - 1 };
    } else if (!at->isStep) {
        at->children.append(category);
        path.append(at->children.size() - 1);
    } else {
        siblingsOf(path)->insert(path.last() + 1, category);
        path.last() += 1;
    }
    markModified();
    rebuildTree();
    select(path);
}

void VerificationPage::addStep()
{
    if (isRunning())
        return;
    QVector<int> path = selectedPath();
    Node* at = nodeAt(path);
    // A new step on the output of the step selected, or of the last step in the category selected.
    const Node* like = at;
    while (like && !like->isStep && !like->children.isEmpty())
        like = &like->children.last();
    verify::Step step;
    if (like && like->isStep) {
        step.channel = like->step.channel;
        step.range = like->step.range;
        step.dacRate = like->step.dacRate;
        step.cyclic = like->step.cyclic;
    }
    step.settleMs = verify::defaultSettleMs(step.measure, step.acFilterHz);
    step.tolerance = verify::shippedAccuracy().forStep(step);
    Node node = Node::ofStep(step);
    node.key = nextKey++;
    if (!at) {
        current.items.append(node);
        path = { current.items.size() - 1 };
    } else if (!at->isStep) {
        at->children.append(node);
        path.append(at->children.size() - 1);
    } else {
        siblingsOf(path)->insert(path.last() + 1, node);
        path.last() += 1;
    }
    markModified();
    rebuildTree();
    select(path);
}

void VerificationPage::removeSelected()
{
    QVector<int> path = selectedPath();
    QVector<Node>* siblings = siblingsOf(path);
    if (isRunning() || !nodeAt(path) || !siblings)
        return;
    siblings->remove(path.last());
    // The next node takes the selection, else the one before, else the category above.
    if (path.last() >= siblings->size())
        path.last() -= 1;
    if (path.last() < 0)
        path.removeLast();
    markModified();
    rebuildTree();
    select(path);
}

void VerificationPage::duplicateSelected()
{
    QVector<int> path = selectedPath();
    Node* at = nodeAt(path);
    if (isRunning() || !at)
        return;
    Node copy = *at;
    copy.key = nextKey++;
    giveKeys(copy.children, true);
    siblingsOf(path)->insert(path.last() + 1, copy);
    path.last() += 1;
    markModified();
    rebuildTree();
    select(path);
}

bool VerificationPage::openFile(const QString& path, QString* error)
{
    verify::Scenario read;
    if (isRunning() || !verify::scenariofile::load(path, &read, error))
        return false;
    results.clear();
    file = path;
    setScenario(read);
    emit status(QStringLiteral("Сценарий открыт: %1 (%2 шагов)").arg(path).arg(stepCount(current.items)));
    return true;
}

bool VerificationPage::saveFile(const QString& path, QString* error)
{
    if (!verify::scenariofile::save(path, current, error))
        return false;
    file = path;
    modified = false;
    updateHeader();
    emit status(QStringLiteral("Сценарий сохранён: %1").arg(path));
    return true;
}

// --- The buttons' dialogs -------------------------------------------------------------------------

void VerificationPage::onOpen()
{
    if (!mayDiscard(QStringLiteral("Открыть другой сценарий")))
        return;
    QFileDialog dialog(w.page->window(), QStringLiteral("Открыть сценарий"),
                       file.isEmpty() ? QDir::currentPath() : QFileInfo(file).path(), fileFilter());
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    QString error;
    if (!openFile(dialog.selectedFiles().constFirst(), &error))
        QMessageBox::warning(w.page->window(), QStringLiteral("Внимание"),
                             QStringLiteral("Сценарий не открыт: %1").arg(error), QMessageBox::Ok);
}

void VerificationPage::onSave()
{
    QFileDialog dialog(w.page->window(), QStringLiteral("Сохранить сценарий"),
                       file.isEmpty() ? QDir::currentPath() : file, fileFilter());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(verify::scenariofile::suffix());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    QString error;
    if (!saveFile(dialog.selectedFiles().constFirst(), &error))
        QMessageBox::warning(w.page->window(), QStringLiteral("Внимание"), error, QMessageBox::Ok);
}

void VerificationPage::onOriginal()
{
    if (mayDiscard(QStringLiteral("Восстановить изначальный сценарий")))
        restoreDefault();
}

void VerificationPage::onClear()
{
    if (mayDiscard(QStringLiteral("Очистить сценарий")))
        clearScenario();
}

void VerificationPage::onRemove()
{
    const Node* node = nodeAt(selectedPath());
    if (node && !node->isStep && stepCount(node->children) > 0
        && QMessageBox::question(w.page->window(), QStringLiteral("Поверка"),
                                 QStringLiteral("Удалить категорию «%1» и её %2 шагов?").arg(node->title).arg(stepCount(node->children)),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
               != QMessageBox::Yes)
        return;
    removeSelected();
}

void VerificationPage::onStartStop()
{
    if (isRunning()) {
        stop();
        return;
    }
    QString why;
    if (!start(&why))
        QMessageBox::warning(w.page->window(), QStringLiteral("Внимание"), why, QMessageBox::Ok);
}

void VerificationPage::onSaveReport()
{
    QString message;
    const bool saved = saveReport(&message);
    emit status(message);
    if (!saved)
        QMessageBox::warning(w.page->window(), QStringLiteral("Внимание"), message, QMessageBox::Ok);
}

// --- The run -------------------------------------------------------------------------------------

bool VerificationPage::start(QString* why)
{
    if (isRunning())
        return false;
    Module* moduleObject = engine->moduleObject();
    if (!moduleObject->isOpened() || facts.channelCount <= 0) {
        *why = QStringLiteral("Модуль не открыт: поверять нечего");
        return false;
    }
    if (!meter.present()) {
        *why = QStringLiteral("Мультиметр не задан (stendix.ini, группа Multimeter, ключ Address)");
        return false;
    }
    const QVector<verify::StepEntry> steps = verify::stepsOf(current);
    if (steps.isEmpty()) {
        *why = QStringLiteral("В сценарии нет шагов");
        return false;
    }
    // The keys of the steps in the order they run; their last results go.
    runKeys.clear();
    std::function<void(const QVector<Node>&)> collect = [&](const QVector<Node>& nodes) {
        for (const Node& node : nodes) {
            if (node.isStep)
                runKeys.append(node.key);
            else
                collect(node.children);
        }
    };
    collect(current.items);
    for (int key : runKeys)
        results.remove(key);
    rebuildTree();

    verify::Runner::Bench bench;
    bench.module = moduleObject;
    bench.facts = facts;
    bench.meter = verificationbench::meterAt(meter.address);
    bench.meterAddress = meter.address;
    bench.scanner = meter.scanner;
    bench.probe = this;
    verify::RunInfo info;
    info.scenarioTitle = current.title;
    info.scenarioFile = file.isEmpty() ? QString() : QFileInfo(file).fileName();
    info.operatorName = w.operatorName->text().trimmed();
    info.conditions = w.conditions->text().trimmed();
    // Kept for the next run as the protocol has them.
    if (values.operatorName != info.operatorName || values.conditions != info.conditions) {
        values.operatorName = info.operatorName;
        values.conditions = info.conditions;
        writeVerificationSettings(settings, values);
    }

    runner = std::make_unique<verify::Runner>(bench, current, info);
    keeper = std::make_shared<verify::RecordKeeper>();
    relay = std::make_unique<Relay>(this, keeper, autoSaveOn, values.reportDirectory());
    runner->addListener(keeper.get());
    runner->addListener(relay.get());
    stopping = false;
    w.progress->setRange(0, steps.size());
    w.progress->setValue(0);
    w.progress->setFormat(QStringLiteral("%v из %m"));
    verify::Runner* r = runner.get();
    runThread = QThread::create([r] { r->run(); });
    runThread->setObjectName(QStringLiteral("verification"));
    connect(runThread, &QThread::finished, this, &VerificationPage::runThreadEnded);
    qInfo("Поверка %s: %d шагов, мультиметр %s", qUtf8Printable(facts.name), steps.size(), qUtf8Printable(meter.address));
    runThread->start();
    updateButtons();
    emit runningChanged(true);
    return true;
}

void VerificationPage::stop()
{
    if (!runner || stopping)
        return;
    stopping = true;
    runner->requestStop();
    emit status(QStringLiteral("Поверка останавливается: выходы переводятся в 0 В"));
    updateButtons();
}

void VerificationPage::shutDown()
{
    // The window is closing: what the fields still say on their way out is not stored.
    if (!closed) {
        closed = true;
        for (QObject* field : { static_cast<QObject*>(w.operatorName), static_cast<QObject*>(w.conditions),
                                static_cast<QObject*>(w.autoSave) })
            disconnect(field, nullptr, this, nullptr);
    }
    if (!runThread)
        return;
    stop();
    QElapsedTimer clock;
    clock.start();
    // The run's end needs this thread: the panels follow the outputs going to 0 V.
    while (runThread && !runThread->isFinished() && clock.elapsed() < shutdownBoundMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (runThread && !runThread->wait(0)) {
        qCritical("Завершение работы без остановки поверки: шаг не завершился вовремя");
        std::fflush(nullptr);
        std::_Exit(1);
    }
    QCoreApplication::sendPostedEvents();
    if (runThread)
        runThreadEnded();
}

void VerificationPage::runStarted(const verify::RunInfo& info)
{
    emit status(QStringLiteral("Поверка %1: %2 шагов").arg(info.module.name).arg(info.stepCount));
}

void VerificationPage::stepStarted(int number)
{
    runningKey = runKeys.value(number - 1);
    showResult(runningKey);
}

void VerificationPage::stepFinished(const verify::StepResult& result)
{
    const int key = runKeys.value(result.number - 1);
    results.insert(key, result);
    if (runningKey == key)
        runningKey = 0;
    showResult(key);
    w.progress->setValue(result.number);
}

void VerificationPage::runFinished(const verify::RunEnd& end, const QString& reportMessage, bool reportFailed)
{
    const verify::RunRecord record = keeper ? keeper->record() : verify::RunRecord();
    const QString summary = verify::summaryText(record);
    QString text;
    const QString reason = end.reason.left(1).toLower() + end.reason.mid(1);
    if (end.reason.isEmpty()) {
        text = QStringLiteral("Поверка завершена: %1").arg(summary);
        qInfo("%s", qUtf8Printable(text));
    } else if (end.meterUnreachable && record.steps.isEmpty()) {
        text = QStringLiteral("Поверка не начата: %1").arg(reason);
        qCritical("%s", qUtf8Printable(text));
    } else if (end.meterUnreachable) {
        text = QStringLiteral("Поверка прервана: %1 (%2)").arg(reason, summary);
        qCritical("%s", qUtf8Printable(text));
    } else {
        // A stop, or a lost module (which has said so itself).
        text = QStringLiteral("Поверка прервана: %1 (%2)").arg(reason, summary);
        if (end.moduleUnreachable)
            qWarning("%s", qUtf8Printable(text));
        else
            qInfo("%s", qUtf8Printable(text));
    }
    if (!end.outputsZeroed && !end.moduleUnreachable && !record.steps.isEmpty())
        qCritical("Поверка: выходы модуля не удалось перевести в 0 В");
    if (reportFailed)
        qCritical("%s", qUtf8Printable(reportMessage));
    emit status(reportMessage.isEmpty() || reportFailed ? text : text + QStringLiteral(", ") + reportMessage);
}

void VerificationPage::runThreadEnded()
{
    if (!runThread)
        return;
    runThread->wait();
    delete runThread;
    runThread = nullptr;
    // Whatever the run still posted is shown before the page lets go of it.
    QCoreApplication::sendPostedEvents(qApp);
    runner.reset();
    relay.reset();
    runningKey = 0;
    stopping = false;
    rebuildTree();
    updateButtons();
    // The focus the locked page lost goes back to the button that starts the next run, not to
    // whatever field of the window Qt found next.
    QWidget* focused = QApplication::focusWidget();
    if (w.page->isVisible() && (!focused || !w.page->isAncestorOf(focused)))
        w.startStop->setFocus(Qt::OtherFocusReason);
    emit runningChanged(false);
}

verify::RunRecord VerificationPage::lastRecord() const
{
    return keeper ? keeper->record() : verify::RunRecord();
}

bool VerificationPage::saveReport(QString* message)
{
    const verify::RunRecord record = lastRecord();
    if (isRunning() || record.steps.isEmpty()) {
        *message = QStringLiteral("Нет протокола: поверка не проводилась");
        return false;
    }
    verify::ReportFiles files;
    if (!verify::writeReport(record, values.reportDirectory(), &files, message))
        return false;
    qInfo("Протокол записан: %s", qUtf8Printable(files.pdf));
    *message = QStringLiteral("Протокол записан в %1").arg(QFileInfo(files.pdf).path());
    return true;
}

bool VerificationPage::connectProbe(int channel, const std::atomic<bool>& stop)
{
    // Shared with the box, which may answer after this call has given up.
    struct Ask
    {
        QSemaphore answered;
        std::atomic<int> answer{ -1 };
        QPointer<QMessageBox> box;
    };
    auto ask = std::make_shared<Ask>();
    QPointer<VerificationPage> self(this);
    QMetaObject::invokeMethod(qApp, [self, ask, channel] {
        if (!self) {
            ask->answer = 0;
            ask->answered.release();
            return;
        }
        auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Поверка"),
                                    QStringLiteral("Подключите мультиметр к выходу канала %1").arg(channel),
                                    QMessageBox::Ok | QMessageBox::Cancel, self->w.page->window());
        box->setInformativeText(QStringLiteral("OK — продолжить поверку, Отмена — остановить её."));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::WindowModal);
        QObject::connect(box, &QMessageBox::finished, box, [ask, box] {
            ask->answer = box->clickedButton() == box->button(QMessageBox::Ok) ? 1 : 0;
            ask->answered.release();
        });
        ask->box = box;
        box->open();
    }, Qt::QueuedConnection);
    while (!ask->answered.tryAcquire(1, 100)) {
        if (stop.load()) {
            QMetaObject::invokeMethod(qApp, [ask] {
                if (ask->box)
                    ask->box->reject();
            }, Qt::QueuedConnection);
            return false;
        }
    }
    return ask->answer.load() == 1;
}
