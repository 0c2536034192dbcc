// vekscope's window: the screen (drawn by drawScope) beside the controls of a scope: the module,
// the time base, the volts per division of each channel, the trigger channel and level, run/stop.
// The service is asked on a thread of its own, one request at a time, about 20 times a second
// (or once per screen when a screen lasts longer).
#ifndef VEKSCOPE_SCOPEWINDOW_H
#define VEKSCOPE_SCOPEWINDOW_H

#include <QElapsedTimer>
#include <QThread>
#include <QWidget>

#include "scopeservice.h"
#include "scopeview.h"

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;

namespace scope {

// Runs on the acquisition thread.
class Acquirer : public QObject
{
    Q_OBJECT

public:
    explicit Acquirer(const vekproto::Endpoint& endpoint) : service(endpoint) {}
    // Breaks off the acquisition in progress; any thread (ScopeService::abort).
    void abort() { service.abort(); }

public slots:
    void acquire(const QString& crate, int slot, double windowSeconds);

signals:
    void acquired(const scope::Acquisition& acquisition);

private:
    ScopeService service;
};

class ScopeCanvas : public QWidget
{
public:
    explicit ScopeCanvas(QWidget* parent = nullptr);
    void show(const ScopeFrame& frame, const ScopeSettings& settings);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    ScopeFrame frame;
    ScopeSettings settings;
};

class ScopeWindow : public QWidget
{
    Q_OBJECT

public:
    ScopeWindow(const vekproto::Endpoint& endpoint, const QString& crate, int slot, const ScopeSettings& settings,
                QWidget* parent = nullptr);
    ~ScopeWindow() override;

private:
    void request();
    void acquired(const scope::Acquisition& acquisition);
    void fillModules(const QVector<ModuleInfo>& modules, int current);
    void settingsChanged();
    void redraw();

    QString serviceAddress;
    QThread thread;
    Acquirer* acquirer;
    QString crate;   // the module looked at; empty and 0 until one is chosen: the first VEK72
    int slot;
    ScopeSettings settings;
    Acquisition last;
    bool answered = false;  // the service has answered at least once
    bool pending = false;
    QElapsedTimer sinceRequest;

    ScopeCanvas* canvas;
    QComboBox* moduleBox;
    QComboBox* timeBox;
    QComboBox* triggerBox;
    QDoubleSpinBox* levelBox;
    QPushButton* runButton;
    QComboBox* voltsBoxes[8];
    QLabel* channelLabels[8];
};

} // namespace scope

#endif
