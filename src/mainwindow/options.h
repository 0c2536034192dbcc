#ifndef OPTIONS_H
#define OPTIONS_H

#include <QDialog>

#include "multimetersettings.h"

namespace Ui {
class Options;
}

// The modal dialog behind the main window's "Настройки" button: the display period and the page into
// which the module builds its own options. The main window fills it before each showing and stores
// the values when it is accepted.
class Options : public QDialog
{
    Q_OBJECT

public:
    explicit Options(QWidget* parent = nullptr);
    ~Options() override;

    void setDisplayPeriodRange(int minimum, int maximum);
    void setDisplayPeriod(int ms);
    int displayPeriod() const;
    void setModuleOptionsEnabled(bool enabled);
    QWidget* moduleOptionsWidget() const;
    // The group "Мультиметр": shown (with the address and the decimals of the readings) when the
    // settings name a multimeter, hidden otherwise.
    void setMultimeter(const MultimeterSettings& values);
    // The settings given to setMultimeter with the decimals as the dialog shows them.
    MultimeterSettings multimeter() const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    Ui::Options* ui;
    bool firstShow;
    MultimeterSettings multimeterShown;
};

#endif
