#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>

class QSettings;

// Placeholder window until the real main window lands: it owns the settings file, reads group
// "Global" at construction and shows the journal's error pop-ups.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    int displayPeriod() const { return displayUpdateMs; }
    bool emulatorMode() const { return emulator; }

public slots:
    void popupError(QString message);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void readSettings();

    QSettings* settings;
    int displayUpdateMs = 500;
    bool emulator = false;
};

#endif
