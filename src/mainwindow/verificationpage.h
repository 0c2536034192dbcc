#ifndef VERIFICATIONPAGE_H
#define VERIFICATIONPAGE_H

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStandardItemModel>
#include <QString>

#include <atomic>
#include <memory>

#include "multimetersettings.h"
#include "runner.h"
#include "runrecord.h"
#include "scenario.h"
#include "verificationsettings.h"

class Engine;
class QCheckBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSettings;
class QThread;
class QTreeView;
class StepEditor;

// The page "Поверка": the scenario as a tree of categories and steps (treeViewMain) with each step's
// last result, the selected step's settings (treeViewInner, StepEditor), the scenario's buttons,
// and the run: "Начать испытания" / "Остановить испытания", the progress bar counting steps, the
// protocol saved into "Путь сохранения логов" when "Автосохранение отчета" is ticked (and by
// "Сохранить отчет"). The run goes on a thread of its own (verify::Runner) and reaches the module
// through its setting interface, so the panels follow it; this object lives on the GUI thread and
// is told of each step as it comes.
class VerificationPage : public QObject, private verify::ProbeHandler
{
    Q_OBJECT

public:
    struct Widgets
    {
        QWidget* page = nullptr;
        QTreeView* steps = nullptr;        // treeViewMain
        QTreeView* settings = nullptr;     // treeViewInner
        QPushButton* original = nullptr;   // "Восстановить изначальный сценарий"
        QPushButton* open = nullptr;
        QPushButton* save = nullptr;
        QPushButton* addCategory = nullptr;
        QPushButton* addStep = nullptr;
        QPushButton* remove = nullptr;
        QPushButton* duplicate = nullptr;
        QPushButton* clear = nullptr;
        QProgressBar* progress = nullptr;
        QCheckBox* autoSave = nullptr;
        QPushButton* startStop = nullptr;
        QPushButton* saveReport = nullptr;
        QLineEdit* operatorName = nullptr;
        QLineEdit* conditions = nullptr;
    };

    // Columns of the scenario's tree.
    enum Column { StepColumn, ChannelColumn, RangeColumn, MeasureColumn, ExpectedColumn, MeasuredColumn,
                  ErrorColumn, LimitColumn, VerdictColumn, ColumnCount };

    VerificationPage(const Widgets& widgets, Engine* engine, QSettings* settings, const MultimeterSettings& meter,
                     QObject* parent = nullptr);
    ~VerificationPage() override;

    // The window's current module changed (made current, lost or closed).
    void moduleChanged();
    // Whether the window's module widgets are usable; the start button follows (and stays usable
    // while a run goes on, to stop it).
    void setModuleUsable(bool usable);
    bool isRunning() const { return runThread != nullptr; }
    // The window closes: a run under way ends the operator's way (outputs to 0 V, its protocol
    // kept) and is waited for, this thread served meanwhile; bounded. Before the widgets go.
    void shutDown();

    // What the buttons do, without their dialogs and questions.
    void restoreDefault();
    void clearScenario();
    void addCategory();
    void addStep();
    void removeSelected();
    void duplicateSelected();
    bool openFile(const QString& path, QString* error);
    bool saveFile(const QString& path, QString* error);
    // Starts a run; false with the reason when it cannot start.
    bool start(QString* why);
    void stop();
    // Writes the last run's protocol into the report folder; the files or the reason in `message`.
    bool saveReport(QString* message);

    const verify::Scenario& scenario() const { return current; }
    void setScenario(const verify::Scenario& scenario);
    bool isModified() const { return modified; }
    QString scenarioFile() const { return file; }
    verify::RunRecord lastRecord() const;
    const verify::ModuleFacts& module() const { return facts; }
    VerificationSettings settingsShown() const { return values; }
    // The report folder chosen in the options dialog (stored by the window).
    void setReportPath(const QString& path);
    StepEditor* editor() const { return stepEditor; }
    QStandardItemModel* stepsModel() { return &model; }
    // Selects the node at `path` (row numbers from the top) in the scenario's tree.
    void select(const QVector<int>& path);

signals:
    // A line for the status bar.
    void status(QString text);
    void runningChanged(bool running);

private slots:
    void onStartStop();
    void onOpen();
    void onSave();
    void onOriginal();
    void onClear();
    void onRemove();
    void onSaveReport();

private:
    class Relay;
    // ProbeHandler, on the runner's thread: a box asks the operator on this thread.
    bool connectProbe(int channel, const std::atomic<bool>& stop) override;

    void rebuildTree();
    void appendRows(QStandardItem* parent, const QVector<verify::Node>& nodes, int* number);
    void showStepRow(const QList<QStandardItem*>& row, const verify::Node& node, int number);
    void showResult(int key);
    void updateHeader();
    void updateButtons();
    void selectionChanged();
    void nodeEdited(const verify::Node& node);
    QVector<int> selectedPath() const;
    verify::Node* nodeAt(const QVector<int>& path);
    QVector<verify::Node>* siblingsOf(const QVector<int>& path);
    void giveKeys(QVector<verify::Node>& nodes, bool fresh);
    void markModified();
    // Asks before the scenario shown is replaced or emptied; true to go on.
    bool mayDiscard(const QString& what);

    // From the run, on this thread.
    void runStarted(const verify::RunInfo& info);
    void stepStarted(int number);
    void stepFinished(const verify::StepResult& result);
    void runFinished(const verify::RunEnd& end, const QString& reportMessage, bool reportFailed);
    void runThreadEnded();

    Widgets w;
    Engine* engine;
    QSettings* settings;
    MultimeterSettings meter;
    VerificationSettings values;
    StepEditor* stepEditor;
    QStandardItemModel model;
    verify::Scenario current;
    QString file;
    bool modified = false;
    verify::ModuleFacts facts;
    bool moduleUsable = false;
    int nextKey = 1;
    QHash<int, verify::StepResult> results;   // by node key
    QVector<int> runKeys;                     // the keys of the run's steps, in order
    int runningKey = 0;

    QThread* runThread = nullptr;
    std::unique_ptr<verify::Runner> runner;
    std::shared_ptr<verify::RecordKeeper> keeper;
    std::unique_ptr<Relay> relay;
    std::shared_ptr<std::atomic<bool>> autoSaveOn;
    bool stopping = false;
    bool closed = false;
};

#endif
