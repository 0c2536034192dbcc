#include "multimeterpage.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QRadioButton>
#include <QRegularExpression>

#include "dmmmonitor.h"

namespace {

// How long closing waits for the worker's thread, milliseconds: its waits give up within 50 ms of
// being cancelled.
constexpr int shutdownBoundMs = 2000;
// Scanner channels 101..108 reach the module's outputs 1..8.
constexpr int scannerInputs = 8;

// The filter of an item of "AC Фильтр", by its text ("> 20 Гц"); 20 Hz when it names none.
int bandwidthOf(const QString& item)
{
    const QString digits = QString(item).remove(QRegularExpression(QStringLiteral("[^0-9]")));
    const int hz = digits.toInt();
    return hz == 3 || hz == 200 ? hz : 20;
}

} // namespace

MultimeterPage::MultimeterPage(const Widgets& widgets, const MultimeterSettings& settings, int displayPeriodMs,
                               QObject* parent)
    : QObject(parent),
      w(widgets),
      values(settings),
      periodMs(displayPeriodMs),
      grayPixmap(QStringLiteral(":/icons/bullet_gray.png")),
      greenPixmap(QStringLiteral(":/icons/bullet_green.png")),
      redPixmap(QStringLiteral(":/icons/bullet_red.png"))
{
    w.connection->setVisible(values.present());
    w.group->setVisible(values.present());
    if (!values.present())
        return;
    w.name->setToolTip(values.address);
    // The meter's own filter after it is set up (20 Hz) unless the operator chooses another.
    const int medium = w.filter->findText(QStringLiteral("> 20 Гц"));
    if (medium >= 0)
        w.filter->setCurrentIndex(medium);
    for (int input = 1; input <= scannerInputs; ++input)
        w.input->addItem(QString::number(input));
    w.input->setVisible(values.scanner);
    w.inputLabel->setVisible(values.scanner);
    for (QRadioButton* function : {w.dc, w.ac, w.frequency, w.off}) {
        connect(function, &QRadioButton::toggled, this, [this](bool checked) {
            if (checked)
                choiceChanged();
        });
    }
    connect(w.filter, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &MultimeterPage::choiceChanged);
    connect(w.input, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &MultimeterPage::choiceChanged);
    showState();
}

MultimeterPage::~MultimeterPage()
{
    shutDown();
}

instruments::DmmSetup MultimeterPage::wantedSetup() const
{
    instruments::DmmSetup setup;
    setup.function = w.ac->isChecked() ? instruments::DmmFunction::AcVoltage
                     : w.frequency->isChecked() ? instruments::DmmFunction::Frequency
                                                : instruments::DmmFunction::DcVoltage;
    setup.acBandwidthHz = bandwidthOf(w.filter->currentText());
    setup.scannerChannel = values.scanner ? w.input->currentIndex() + 1 : 0;
    return setup;
}

bool MultimeterPage::measuring() const
{
    return w.dc->isChecked() || w.ac->isChecked() || w.frequency->isChecked();
}

void MultimeterPage::start()
{
    if (!values.present() || monitor)
        return;
    monitor = new instruments::DmmMonitor(values.address);
    monitor->moveToThread(&thread);
    connect(monitor, &instruments::DmmMonitor::found, this, &MultimeterPage::found);
    connect(monitor, &instruments::DmmMonitor::notFound, this, &MultimeterPage::notFound);
    connect(monitor, &instruments::DmmMonitor::lost, this, &MultimeterPage::lost);
    connect(monitor, &instruments::DmmMonitor::refused, this, &MultimeterPage::refused);
    connect(monitor, &instruments::DmmMonitor::reading, this, &MultimeterPage::reading);
    const instruments::DmmSetup setup = wantedSetup();
    const bool on = measuring();
    const int period = periodMs;
    instruments::DmmMonitor* m = monitor;
    // Queued before the thread starts: its event loop takes it first.
    QMetaObject::invokeMethod(monitor, [m, setup, on, period]() {
        m->setPeriod(period);
        m->measure(setup, on);
        m->connectInstrument();
    }, Qt::QueuedConnection);
    thread.setObjectName(QStringLiteral("multimeter"));
    thread.start();
}

void MultimeterPage::refresh()
{
    if (!monitor)
        return;
    connected = false;
    setLight(grayPixmap);
    showState();
    clearReading();
    QMetaObject::invokeMethod(monitor, &instruments::DmmMonitor::connectInstrument, Qt::QueuedConnection);
}

void MultimeterPage::setDisplayPeriod(int ms)
{
    periodMs = ms;
    if (monitor)
        QMetaObject::invokeMethod(monitor, [m = monitor, ms]() { m->setPeriod(ms); }, Qt::QueuedConnection);
}

void MultimeterPage::setDecimals(const MultimeterSettings& decimals)
{
    values.decimalsDC = decimals.decimalsDC;
    values.decimalsAC = decimals.decimalsAC;
    values.decimalsFreq = decimals.decimalsFreq;
}

void MultimeterPage::shutDown()
{
    if (!monitor)
        return;
    instruments::DmmMonitor* m = monitor;
    monitor = nullptr;
    // What the worker still says on its way out is not shown.
    disconnect(m, nullptr, this, nullptr);
    m->cancel();
    QThread* home = QThread::currentThread();
    // Run after whatever the worker is doing (which gives up at once), then its thread ends.
    QMetaObject::invokeMethod(m, [m, home]() {
        m->shutDown(home);
        QThread::currentThread()->quit();
    }, Qt::QueuedConnection);
    if (thread.wait(shutdownBoundMs))
        delete m;
    else
        qWarning("Мультиметр %s: поток опроса не завершился за %d мс", qUtf8Printable(values.address), shutdownBoundMs);
}

void MultimeterPage::setLent(bool on)
{
    if (lent == on)
        return;
    lent = on;
    choiceChanged();
}

void MultimeterPage::setLight(const QPixmap& pixmap)
{
    w.light->setPixmap(pixmap);
}

void MultimeterPage::showState()
{
    w.group->setEnabled(connected && !lent);
    const bool ac = w.ac->isChecked();
    w.filter->setEnabled(connected && ac);
    w.filterLabel->setEnabled(connected && ac);
    w.unit->setText(!measuring() ? QString()
                    : ac ? QStringLiteral("В (СКЗ)")
                    : w.frequency->isChecked() ? QStringLiteral("Гц") : QStringLiteral("В"));
}

void MultimeterPage::clearReading()
{
    w.result->clear();
}

void MultimeterPage::choiceChanged()
{
    showState();
    clearReading();
    if (!monitor)
        return;
    const instruments::DmmSetup setup = wantedSetup();
    const bool on = measuring() && !lent;
    QMetaObject::invokeMethod(monitor, [m = monitor, setup, on]() { m->measure(setup, on); }, Qt::QueuedConnection);
}

void MultimeterPage::found(QString identity)
{
    connected = true;
    setLight(greenPixmap);
    // "maker,model,serial,firmware": the maker's first word and the model name the meter.
    const QStringList fields = identity.split(QLatin1Char(','));
    if (fields.size() >= 2)
        w.name->setText(QStringLiteral("Мультиметр %1 %2").arg(fields.at(0).section(QLatin1Char(' '), 0, 0).trimmed(),
                                                              fields.at(1).trimmed()));
    w.name->setToolTip(identity);
    showState();
    const QString text = QStringLiteral("Мультиметр %1 на связи: %2").arg(values.address, identity);
    qInfo("%s", qUtf8Printable(text));
    emit status(text);
}

void MultimeterPage::notFound(QString reason)
{
    connected = false;
    setLight(redPixmap);
    showState();
    const QString text = QStringLiteral("Нет связи: %1").arg(reason);
    emit status(text);
    qCritical("%s", qUtf8Printable(text));
}

void MultimeterPage::lost(QString reason)
{
    connected = false;
    setLight(redPixmap);
    showState();
    clearReading();
    const QString text = QStringLiteral("Потеряна связь: %1").arg(reason);
    emit status(text);
    qCritical("%s", qUtf8Printable(text));
}

void MultimeterPage::refused(QString reason)
{
    clearReading();
    emit status(reason);
    qWarning("%s", qUtf8Printable(reason));
}

void MultimeterPage::reading(instruments::DmmSetup setup, double value, bool overload)
{
    // A reading of what was asked before the last choice is not what the group shows now.
    if (!connected || lent || !measuring() || setup != wantedSetup())
        return;
    if (overload) {
        w.result->setText(QStringLiteral("Перегрузка"));
        return;
    }
    const int decimals = setup.function == instruments::DmmFunction::AcVoltage ? values.decimalsAC
                         : setup.function == instruments::DmmFunction::Frequency ? values.decimalsFreq
                                                                                  : values.decimalsDC;
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    w.result->setText(locale.toString(value, 'f', decimals));
}
