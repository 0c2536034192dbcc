#include "scopewindow.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace scope {

namespace {

// About 20 screens a second, or one per screen when a screen lasts longer.
constexpr int refreshMs = 50;

const double timeSteps[] = {10e-6, 20e-6, 50e-6, 100e-6, 200e-6, 500e-6, 1e-3, 2e-3,
                            5e-3,  10e-3, 20e-3, 50e-3,  100e-3, 200e-3};
const double voltSteps[] = {1e-3, 2e-3, 5e-3, 10e-3, 20e-3, 50e-3, 0.1, 0.2, 0.5, 1, 2, 5, 10};

// A selector of the 1-2-5 steps, with the given value among them even when it is not one.
template <size_t N>
QComboBox* stepBox(const double (&steps)[N], double value, const QString& unit)
{
    auto* box = new QComboBox;
    QVector<double> values(std::begin(steps), std::end(steps));
    if (!values.contains(value)) {
        values.append(value);
        std::sort(values.begin(), values.end());
    }
    for (double v : values)
        box->addItem(engineering(v, unit) + QStringLiteral("/дел"), v);
    box->setCurrentIndex(values.indexOf(value));
    return box;
}

} // namespace

void Acquirer::acquire(const QString& crate, int slot, double windowSeconds)
{
    emit acquired(scope::acquire(service, crate, slot, windowSeconds));
}

ScopeCanvas::ScopeCanvas(QWidget* parent) : QWidget(parent)
{
    setMinimumSize(560, 380);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ScopeCanvas::show(const ScopeFrame& shown, const ScopeSettings& shownSettings)
{
    frame = shown;
    settings = shownSettings;
    update();
}

void ScopeCanvas::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    drawScope(painter, rect(), frame, settings);
}

ScopeWindow::ScopeWindow(const vekproto::Endpoint& endpoint, const QString& crate, int slot,
                         const ScopeSettings& settings, QWidget* parent)
    : QWidget(parent),
      serviceAddress(addressText(endpoint)),
      acquirer(new Acquirer(endpoint)),
      crate(crate),
      slot(slot),
      settings(settings),
      canvas(new ScopeCanvas)
{
    setWindowTitle(QStringLiteral("vekscope — %1").arg(serviceAddress));

    moduleBox = new QComboBox;
    moduleBox->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    timeBox = stepBox(timeSteps, settings.secondsPerDivision, QStringLiteral("с"));
    triggerBox = new QComboBox;
    triggerBox->addItem(QStringLiteral("первый включённый"), 0);
    for (int channel = 1; channel <= 8; ++channel)
        triggerBox->addItem(QStringLiteral("К%1").arg(channel), channel);
    triggerBox->setCurrentIndex(std::clamp(settings.triggerChannel, 0, 8));
    levelBox = new QDoubleSpinBox;
    levelBox->setRange(-25.0, 25.0);
    levelBox->setDecimals(3);
    levelBox->setSingleStep(0.1);
    levelBox->setSuffix(QStringLiteral(" В"));
    levelBox->setValue(settings.triggerLevel);
    runButton = new QPushButton(QStringLiteral("Стоп"));
    runButton->setCheckable(true);
    runButton->setChecked(true);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Служба"), new QLabel(serviceAddress));
    form->addRow(QStringLiteral("Модуль"), moduleBox);
    form->addRow(QStringLiteral("Развёртка"), timeBox);
    auto* triggerGroup = new QGroupBox(QStringLiteral("Синхронизация по фронту"));
    auto* triggerForm = new QFormLayout(triggerGroup);
    triggerForm->addRow(QStringLiteral("Канал"), triggerBox);
    triggerForm->addRow(QStringLiteral("Уровень"), levelBox);
    auto* channelGroup = new QGroupBox(QStringLiteral("Каналы"));
    auto* channelGrid = new QGridLayout(channelGroup);
    for (int i = 0; i < 8; ++i) {
        channelLabels[i] = new QLabel(QStringLiteral("К%1").arg(i + 1));
        channelLabels[i]->setStyleSheet(QStringLiteral("QLabel { color: %1; background: #0c1014; padding: 2px 6px; }"
                                                       "QLabel:disabled { color: #50585f; }")
                                            .arg(channelColor(i + 1).name()));
        channelLabels[i]->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
        voltsBoxes[i] = stepBox(voltSteps, settings.voltsPerDivision[size_t(i)], QStringLiteral("В"));
        channelGrid->addWidget(channelLabels[i], i, 0);
        channelGrid->addWidget(voltsBoxes[i], i, 1);
    }
    auto* controls = new QVBoxLayout;
    controls->addLayout(form);
    controls->addWidget(triggerGroup);
    controls->addWidget(channelGroup);
    controls->addWidget(runButton);
    controls->addStretch(1);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(canvas, 1);
    layout->addLayout(controls);
    resize(1100, 640);

    connect(moduleBox, QOverload<int>::of(&QComboBox::activated), this, [this](int index) {
        const QStringList key = moduleBox->itemData(index).toString().split(QLatin1Char('/'));
        this->crate = key.value(0);
        this->slot = key.value(1).toInt();
        redraw();  // the old module's traces go at once
    });
    connect(timeBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &ScopeWindow::settingsChanged);
    connect(triggerBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &ScopeWindow::settingsChanged);
    connect(levelBox, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, &ScopeWindow::settingsChanged);
    for (QComboBox* box : voltsBoxes)
        connect(box, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &ScopeWindow::settingsChanged);
    connect(runButton, &QPushButton::toggled, this, [this](bool running) {
        runButton->setText(running ? QStringLiteral("Стоп") : QStringLiteral("Пуск"));
        redraw();
        if (running)
            request();
    });

    qRegisterMetaType<scope::Acquisition>();
    acquirer->moveToThread(&thread);
    connect(&thread, &QThread::finished, acquirer, &QObject::deleteLater);
    connect(acquirer, &Acquirer::acquired, this, &ScopeWindow::acquired);
    thread.start();
    redraw();
    QTimer::singleShot(0, this, &ScopeWindow::request);
}

ScopeWindow::~ScopeWindow()
{
    // A window that closes does not wait for the service to answer what it was asked last.
    acquirer->abort();
    thread.quit();
    thread.wait();
}

void ScopeWindow::request()
{
    if (pending || !runButton->isChecked())
        return;
    pending = true;
    sinceRequest.start();
    QMetaObject::invokeMethod(acquirer, "acquire", Qt::QueuedConnection, Q_ARG(QString, crate), Q_ARG(int, slot),
                              Q_ARG(double, settings.windowSeconds()));
}

void ScopeWindow::acquired(const Acquisition& acquisition)
{
    pending = false;
    if (!runButton->isChecked())
        return;  // stopped meanwhile: the screen keeps what it showed
    last = acquisition;
    answered = true;
    fillModules(last.modules, last.module);
    redraw();
    const int period = std::max(refreshMs, int(std::ceil(settings.windowSeconds() * 1000.0)));
    QTimer::singleShot(std::max<qint64>(0, period - sinceRequest.elapsed()), this, &ScopeWindow::request);
}

void ScopeWindow::fillModules(const QVector<ModuleInfo>& modules, int current)
{
    QStringList keys;
    for (const ModuleInfo& m : modules)
        keys.append(QStringLiteral("%1/%2").arg(m.crate).arg(m.slot));
    QStringList shown;
    for (int i = 0; i < moduleBox->count(); ++i)
        shown.append(moduleBox->itemData(i).toString());
    if (keys != shown) {
        moduleBox->clear();
        for (int i = 0; i < modules.size(); ++i)
            moduleBox->addItem(moduleTitle(modules.at(i)), keys.at(i));
    }
    moduleBox->setCurrentIndex(current);
    for (int i = 0; i < 8; ++i) {
        const bool enabled = current >= 0 && modules.at(current).enabled.contains(i + 1);
        channelLabels[i]->setEnabled(enabled);
        voltsBoxes[i]->setEnabled(enabled);
    }
}

void ScopeWindow::settingsChanged()
{
    settings.secondsPerDivision = timeBox->currentData().toDouble();
    for (int i = 0; i < 8; ++i)
        settings.voltsPerDivision[size_t(i)] = voltsBoxes[i]->currentData().toDouble();
    settings.triggerChannel = triggerBox->currentData().toInt();
    settings.triggerLevel = levelBox->value();
    redraw();
}

void ScopeWindow::redraw()
{
    ScopeFrame frame;
    if (!answered)
        frame = messageFrame(serviceAddress, QStringLiteral("Подключение к службе крейтов %1").arg(serviceAddress));
    else if (last.result == ScopeService::Unreachable)
        frame = messageFrame(serviceAddress, QStringLiteral("Нет связи со службой крейтов %1").arg(serviceAddress));
    else if (last.result == ScopeService::Broken)
        frame = messageFrame(serviceAddress, QStringLiteral("Служба крейтов %1 ответила не по протоколу").arg(serviceAddress));
    else if (last.module < 0 || (!crate.isEmpty() && (last.modules.at(last.module).crate != crate || last.modules.at(last.module).slot != slot)))
        frame = messageFrame(serviceAddress, last.modules.isEmpty() ? QStringLiteral("Нет модулей VEK72")
                                                                     : QStringLiteral("Ожидание данных модуля"));
    else
        frame = makeFrame(last.modules.at(last.module), last.capture, settings);
    if (!runButton->isChecked())
        frame.state = QStringLiteral("Остановлено");
    canvas->show(frame, settings);
}

} // namespace scope
