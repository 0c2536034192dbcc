#ifndef MULTIMETERPAGE_H
#define MULTIMETERPAGE_H

#include <QObject>
#include <QPixmap>
#include <QString>
#include <QThread>

#include "dmm.h"
#include "multimetersettings.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QWidget;

namespace instruments {
class DmmMonitor;
}

// The bench's multimeter on the window: its light and identity in the top row, and the group
// "Мультиметр" with the function (DC, AC, F or Выкл), the AC filter, the scanner's input and the
// reading, refreshed at the display period or as fast as the meter reads, whichever is slower.
// The meter is read by a worker on a thread of its own (instruments::DmmMonitor); this object
// lives on the GUI thread, tells the worker what to read and shows what comes back, so nothing the
// meter does holds the window. Without an address in the settings it shows nothing.
//
// A meter that cannot be reached, or stops answering, is one error message and a red light; it is
// looked for again by refresh() ("Обновить").
class MultimeterPage : public QObject
{
    Q_OBJECT

public:
    struct Widgets
    {
        QWidget* connection = nullptr; // top row: the light and the name
        QLabel* light = nullptr;
        QLabel* name = nullptr;
        QGroupBox* group = nullptr;
        QRadioButton* dc = nullptr;
        QRadioButton* ac = nullptr;
        QRadioButton* frequency = nullptr;
        QRadioButton* off = nullptr;
        QLineEdit* result = nullptr;
        QLabel* unit = nullptr;
        QLabel* filterLabel = nullptr;
        QComboBox* filter = nullptr;
        QLabel* inputLabel = nullptr;
        QComboBox* input = nullptr;
    };

    MultimeterPage(const Widgets& widgets, const MultimeterSettings& settings, int displayPeriodMs,
                   QObject* parent = nullptr);
    ~MultimeterPage() override;

    const MultimeterSettings& settings() const { return values; }
    // Looks for the meter the first time (once the window is up to show what comes of it).
    void start();
    // Looks for the meter again ("Обновить"): the light goes gray until it answers.
    void refresh();
    void setDisplayPeriod(int ms);
    // New decimals of the readings (the options dialog); the address and scanner stay.
    void setDecimals(const MultimeterSettings& decimals);
    // Stops the worker and its thread; bounded (the meter's waits give up within 50 ms). Once.
    void shutDown();

    // While a verification run uses the meter the page takes no readings and its group is
    // disabled; released, it reads again what the group shows.
    void setLent(bool lent);
    bool isLent() const { return lent; }

    // The setup the group asks for now, and whether it asks for readings at all ("Выкл" does not).
    instruments::DmmSetup wantedSetup() const;
    bool measuring() const;

signals:
    // A line for the window's status bar.
    void status(QString text);

private slots:
    void found(QString identity);
    void notFound(QString reason);
    void lost(QString reason);
    void refused(QString reason);
    void reading(instruments::DmmSetup setup, double value, bool overload);
    // A function, filter or input chosen: the worker is told, the reading shown goes.
    void choiceChanged();

private:
    void setLight(const QPixmap& pixmap);
    // The group follows whether the meter answers; the filter only matters for AC.
    void showState();
    void clearReading();

    Widgets w;
    MultimeterSettings values;
    int periodMs;
    bool connected = false;
    bool lent = false;
    QThread thread;
    instruments::DmmMonitor* monitor = nullptr;
    QPixmap grayPixmap;
    QPixmap greenPixmap;
    QPixmap redPixmap;
};

#endif
