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

void Options::setMultimeter(const MultimeterSettings& values)
{
    multimeterShown = values;
    ui->groupBoxMultimeter->setVisible(values.present());
    ui->groupBoxMultimeter->setEnabled(values.present());
    ui->lineEditMultimeterAddress->setText(values.address);
    for (QSpinBox* decimals : {ui->spinBoxMultimeterAccuracyDC, ui->spinBoxMultimeterAccuracyAC,
                               ui->spinBoxMultimeterAccuracyFreq}) {
        decimals->setRange(0, multimeterDecimalsMaximum);
        decimals->setSuffix(QStringLiteral(" зн."));
        decimals->setToolTip(QStringLiteral("Знаков после запятой в показаниях мультиметра"));
    }
    ui->spinBoxMultimeterAccuracyDC->setValue(values.decimalsDC);
    ui->spinBoxMultimeterAccuracyAC->setValue(values.decimalsAC);
    ui->spinBoxMultimeterAccuracyFreq->setValue(values.decimalsFreq);
}

MultimeterSettings Options::multimeter() const
{
    MultimeterSettings values = multimeterShown;
    values.decimalsDC = ui->spinBoxMultimeterAccuracyDC->value();
    values.decimalsAC = ui->spinBoxMultimeterAccuracyAC->value();
    values.decimalsFreq = ui->spinBoxMultimeterAccuracyFreq->value();
    return values;
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
