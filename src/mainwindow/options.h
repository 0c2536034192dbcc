#ifndef OPTIONS_H
#define OPTIONS_H

#include <QDialog>

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

protected:
    void showEvent(QShowEvent* event) override;

private:
    Ui::Options* ui;
    bool firstShow;
};

#endif
