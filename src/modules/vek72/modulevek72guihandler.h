#ifndef MODULEVEK72GUIHANDLER_H
#define MODULEVEK72GUIHANDLER_H

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>

#include <initializer_list>

class QEvent;
class QWidget;

// Lives on the GUI thread beside the module's panels: handles Tab and Return/Enter in the numeric
// fields, tracks which channel group box the operator is working in, and shows a window-modal wait
// box while the module object re-applies the configuration.
class ModuleVek72GuiHandler : public QObject
{
    Q_OBJECT

public:
    ModuleVek72GuiHandler(QWidget* settingsHost, QWidget* controlsHost, QWidget* reportHost,
                          bool customSignalsEnabled);
    ~ModuleVek72GuiHandler() override;

    bool eventFilter(QObject* watched, QEvent* event) override;

    QMessageBox* waitMessageBox() const { return waitBox; }

    // What Return/Enter does in a value field: while output runs it restarts the output with the
    // edits; while it does not, the edits wait for the start.
    static QString applyNowHint() { return QStringLiteral("Нажмите Enter для применения изменений"); }
    static QString applyAtStartHint() { return QStringLiteral("Значение будет применено при запуске (Старт)"); }
    int highlightedChannel() const { return currentChannel; }
    // Custom signals switched on or off: with them the channel worked in is tracked and the custom
    // group's fields cycle with Tab.
    void setCustomSignalsEnabled(bool on) { customSignalsEnabled = on; }
    // A field's tool tip: the frequency a channel was asked for (its property "frequencyRequest"),
    // before the field's own hint (kept in its property "formTip").
    static void composeFieldTip(QWidget* field);

signals:
    void restart();
    void channelFocused(int channel, bool enabled);
    // The operator chose a file of an arbitrary waveform ("Загрузить…").
    void waveformFileChosen(const QString& path);

public slots:
    void channelFocusedSlot(int channel);
    void lockControls(bool yes);
    // Opens the window-modal file dialog for an arbitrary waveform; an accepted choice is announced
    // by waveformFileChosen. The dialog starts in the folder of the file chosen last.
    void chooseWaveformFile();
    // Gives every field of both panels whose form says that Return/Enter applies it the hint of
    // the output state shown by the start button (pressed: output runs).
    void showApplyHints(bool outputOn);

private:
    bool handleFieldCycle(QObject* watched, QEvent* event, std::initializer_list<QWidget*> cycle,
                          bool* consumed);
    void highlight(QWidget* groupBox);

    QPointer<QWidget> controlsHost;
    QPointer<QWidget> settingsHost;
    // Owned; guarded because its parent, the controls host, may be destroyed first.
    QPointer<QMessageBox> waitBox;
    bool customSignalsEnabled;
    // Channel whose group box was highlighted last; 0 before the first highlight.
    int currentChannel = 0;
    QString waveformFolder;
};

#endif
