#ifndef OPTIONS_H
#define OPTIONS_H

#include <QDialog>

#include "multimetersettings.h"
#include "serviceaddress.h"

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
    // The group "Поверка": shown with the report folder ("Путь сохранения логов", chosen by
    // "Выбрать") when there is a multimeter to verify with, hidden otherwise.
    void setReportFolder(bool shown, const QString& folder);
    QString reportFolder() const;

    // The group "Служба крейтов": the address as the settings hold it. While the environment's
    // VEK_SERVICE is set the dialog says that it is used instead.
    void setCrateService(const ServiceAddress& address);
    // The address as entered; valid once the dialog has been accepted (OK refuses one it cannot read).
    ServiceAddress crateService() const;

public slots:
    // Checks what can be wrong before the dialog ends: an address that is no address says so and
    // keeps the dialog open.
    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    Ui::Options* ui;
    bool firstShow;
    MultimeterSettings multimeterShown;
};

#endif
