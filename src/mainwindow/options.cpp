#include "options.h"

#include "ui_options.h"

Options::Options(QWidget* parent) : QDialog(parent), ui(new Ui::Options), firstShow(true)
{
    ui->setupUi(this);
    // The verification bench has no use in this program.
    ui->groupBoxAutotest->hide();
    ui->groupBoxMultimeter->hide();
}

Options::~Options()
{
    delete ui;
}

void Options::setDisplayPeriodRange(int minimum, int maximum)
{
    ui->spinBoxDisplayPeriod->setRange(minimum, maximum);
}

void Options::setDisplayPeriod(int ms)
{
    ui->spinBoxDisplayPeriod->setValue(ms);
}

int Options::displayPeriod() const
{
    return ui->spinBoxDisplayPeriod->value();
}

void Options::setModuleOptionsEnabled(bool enabled)
{
    ui->widgetModuleOptions->setEnabled(enabled);
}

QWidget* Options::moduleOptionsWidget() const
{
    return ui->widgetModuleOptions;
}

void Options::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (firstShow) {
        firstShow = false;
        // The size the dialog first comes up with is its size for good.
        setMinimumSize(width(), height());
        setMaximumSize(width(), height());
    }
}
