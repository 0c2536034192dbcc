#include "options.h"

#include <QFileDialog>
#include <QMessageBox>

#include "ui_options.h"

Options::Options(QWidget* parent) : QDialog(parent), ui(new Ui::Options), firstShow(true)
{
    ui->setupUi(this);
    // Shown when the settings name a multimeter.
    ui->groupBoxAutotest->hide();
    ui->groupBoxMultimeter->hide();
    connect(ui->pushButtonReportSavePathChange, &QPushButton::clicked, this, [this] {
        const QString folder = QFileDialog::getExistingDirectory(this, QStringLiteral("Папка протоколов поверки"),
                                                                 ui->lineEditReportSavePath->text());
        if (!folder.isEmpty())
            ui->lineEditReportSavePath->setText(QDir::toNativeSeparators(folder));
    });
    const QString override = serviceOverride();
    ui->labelCrateServiceNote->setText(
        override.isEmpty() ? QStringLiteral("Новый адрес действует сразу после OK (как «Обновить»)")
                           : QStringLiteral("Сейчас действует VEK_SERVICE=%1 из окружения программы; этот адрес — после "
                                            "запуска без неё")
                                 .arg(override));
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

void Options::setReportFolder(bool shown, const QString& folder)
{
    ui->groupBoxAutotest->setVisible(shown);
    ui->lineEditReportSavePath->setText(QDir::toNativeSeparators(folder));
    ui->lineEditReportSavePath->setToolTip(QStringLiteral("Папка, куда записываются протоколы поверки (HTML, PDF, CSV)"));
}

QString Options::reportFolder() const
{
    return QDir::fromNativeSeparators(ui->lineEditReportSavePath->text());
}

void Options::setCrateService(const ServiceAddress& address)
{
    ui->lineEditCrateService->setText(address.text());
}

ServiceAddress Options::crateService() const
{
    ServiceAddress address;
    parseServiceAddress(ui->lineEditCrateService->text(), &address);
    return address;
}

void Options::accept()
{
    QString reason;
    if (!parseServiceAddress(ui->lineEditCrateService->text(), nullptr, &reason)) {
        QMessageBox::warning(this, QStringLiteral("Внимание"),
                             QStringLiteral("Адрес службы крейтов «%1» не подходит: %2.\nНужны адрес IPv4 и порт, "
                                            "например 192.168.0.10:11111.")
                                 .arg(ui->lineEditCrateService->text().trimmed(), reason));
        ui->lineEditCrateService->setFocus(Qt::OtherFocusReason);
        ui->lineEditCrateService->selectAll();
        return;
    }
    QDialog::accept();
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
