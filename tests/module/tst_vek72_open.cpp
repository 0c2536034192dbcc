// Opening and closing the module against a crate service simulator of the test's own: the
// variant's name and serial, the information page, the limits of the modification applied to the
// panels, a busy or absent module refused with the library's text, and closing that drives the
// outputs to zero and leaves the module closed, as the service itself reports.
#include <QtTest>

#include <QLineEdit>
#include <QTextCodec>

#include "benchstatus.h"
#include "panelhosts.h"
#include "threads.h"
#include "vek72api.h"

namespace {

const char* const crateA = "4B210736";   // built-in bench: slot 3 modification 1 with 8 channels,
                                          // slot 7 modification 2 with 4 channels

QString libraryText(int code)
{
    return QTextCodec::codecForName("Windows-1251")->toUnicode(VEK72_GetErrorString(code));
}

// The module of a slot as the service reports it.
QJsonObject moduleStatus(VekdRunner& service, const QString& crate, int slot)
{
    return benchstatus::module(benchstatus::status(service), crate, slot);
}

QList<double> outputs(const QJsonObject& module)
{
    QList<double> values;
    for (const QJsonValue& v : module.value("outputs").toArray())
        values << v.toDouble();
    return values;
}

} // namespace

class OpenTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void openModificationOneFromTheEngineThread();
    void openModificationTwoFromTheGuiThread();
    void openForDiscoveryWithoutPanels();
    void busyOrAbsentModuleIsRefused();
    void closeDrivesTheOutputsToZero();
    void closeOfAClosedModuleFails();
    void modificationThreeAndUnknownCodes();

private:
    VekdRunner service;
};

void OpenTest::initTestCase()
{
    initStendixResources();
    QVERIFY(service.start());
}

void OpenTest::openModificationOneFromTheEngineThread()
{
    PanelHosts hosts;
    auto module = makeModule(true);
    ModuleThread moduleThread(module.get());
    hosts.build(*module);

    // From the engine's thread, as discovery and shutdown call it.
    bool opened = false;
    runOnOtherThread([&] {
        QString crate = crateA;
        opened = module->open(crate, 3);
    });
    QVERIFY(opened);
    QVERIFY(module->isOpened());
    QCOMPARE(module->name(true), QString("VEK72-1-8"));
    QCOMPARE(module->name(false), QString("VEK72"));
    QCOMPARE(module->serial(), QString("72A10419"));
    QString key = "Modification";
    QCOMPARE(*module->infoValue(key), QString("VEK72-1-8"));
    QCOMPARE(hosts.find<QLineEdit>("lineEditModuleSerial")->text(), QString("72A10419"));
    QCOMPARE(hosts.find<QLineEdit>("lineEditModuleFirmware")->text(), QString("214"));

    // Limits of modification 1: AC, one-tenth range selected (0.7 В), symmetric offsets.
    QCOMPARE(hosts.combo("comboBoxRange")->itemText(0), QString("0.7 В"));
    QCOMPARE(hosts.spin("spinBoxVoltage")->minimum(), -1);
    QCOMPARE(hosts.spin("spinBoxVoltage")->maximum(), 700);
    QCOMPARE(hosts.dspin("doubleSpinBoxFrequency")->value(), 1000.0);
    QCOMPARE(hosts.dspin("doubleSpinBoxOffset")->minimum(), -11.0);
    QCOMPARE(hosts.dspin("doubleSpinBoxOffset")->maximum(), 10.0);
    QCOMPARE(hosts.dspin("doubleSpinBoxOffset")->value(), 0.0);
    QVERIFY(hosts.combo("comboBoxRange")->isEnabled());
    for (int n = 1; n <= 8; ++n) {
        QVERIFY(hosts.channel<QGroupBox>("groupBoxCh", n)->isEnabled());
        QComboBox* range = hosts.channel<QComboBox>("comboBoxRangeCh", n);
        QCOMPARE(range->itemText(0), QString("0.7 В"));
        QCOMPARE(range->itemText(1), QString("7 В"));
        QVERIFY(range->isEnabled());
        QSpinBox* voltage = hosts.channel<QSpinBox>("spinBoxVoltageCh", n);
        QCOMPARE(voltage->minimum(), 0);
        QCOMPARE(voltage->maximum(), 700);
        QDoubleSpinBox* offset = hosts.channel<QDoubleSpinBox>("doubleSpinBoxOffsetCh", n);
        QCOMPARE(offset->minimum(), -10.0);
        QCOMPARE(offset->maximum(), 10.0);
        QCOMPARE(offset->value(), 0.0);
        QCOMPARE(hosts.channel<QDoubleSpinBox>("doubleSpinBoxFrequencyCh", n)->maximum(), 249999.0);
    }
    QCOMPARE(module->maximumFrequency(), 249999);   // one channel checked
    QCOMPARE(hosts.spin("spinBoxCustomAmplitude")->maximum(), 10000);
    QCOMPARE(hosts.spin("spinBoxCustomOffset")->minimum(), -10000);
    QCOMPARE(module->customSignal(4).offset, 0.0);

    // The service sees the module opened by this client.
    QVERIFY(benchstatus::opened(service, crateA, 3));

    bool closed = false;
    runOnOtherThread([&] { closed = module->close(); });
    QVERIFY(closed);
    QVERIFY(!module->isOpened());
    QCOMPARE(module->serial(), QString("?"));
    const QJsonObject status = moduleStatus(service, crateA, 3);
    QVERIFY(!status.value("opened").toBool());
    QCOMPARE(outputs(status), QList<double>({ 0, 0, 0, 0, 0, 0, 0, 0 }));

    // No echo permit is left waiting for a change that never comes.
    QVERIFY(apptest::runQueuedCalls(module.get()));
    for (int family = 0; family < 12; ++family)
        QCOMPARE(module->echoPermits(family), 0);
    QVERIFY(moduleThread.stop());
}

void OpenTest::openModificationTwoFromTheGuiThread()
{
    PanelHosts hosts;
    auto module = makeModule(true);
    hosts.build(*module);
    hosts.find<QGroupBox>("groupBoxCh6")->setChecked(true);

    QString crate = crateA;
    QVERIFY(module->open(crate, 7));
    QCOMPARE(module->name(true), QString("VEK72-2-4"));
    QCOMPARE(module->serial(), QString("72B20733"));
    QCOMPARE(hosts.find<QLineEdit>("lineEditModuleFirmware")->text(), QString("215"));

    // Modification 2: full range selected and fixed, offsets shifted to -2..+20 V around +10 V.
    QCOMPARE(hosts.combo("comboBoxRange")->currentIndex(), 1);
    QVERIFY(!hosts.combo("comboBoxRange")->isEnabled());
    QCOMPARE(hosts.spin("spinBoxVoltage")->maximum(), 7000);
    QCOMPARE(hosts.dspin("doubleSpinBoxOffset")->minimum(), -3.0);
    QCOMPARE(hosts.dspin("doubleSpinBoxOffset")->maximum(), 20.0);
    QCOMPARE(hosts.dspin("doubleSpinBoxOffset")->value(), 10.0);
    for (int n = 1; n <= 8; ++n) {
        QGroupBox* group = hosts.channel<QGroupBox>("groupBoxCh", n);
        QCOMPARE(group->isEnabled(), n <= 4);
        if (n > 4)
            QVERIFY(!group->isChecked());
        QComboBox* range = hosts.channel<QComboBox>("comboBoxRangeCh", n);
        QCOMPARE(range->currentIndex(), 1);
        QVERIFY(!range->isEnabled());
        QCOMPARE(hosts.channel<QSpinBox>("spinBoxVoltageCh", n)->maximum(), 7000);
        QDoubleSpinBox* offset = hosts.channel<QDoubleSpinBox>("doubleSpinBoxOffsetCh", n);
        QCOMPARE(offset->minimum(), -2.0);
        QCOMPARE(offset->maximum(), 20.0);
        QCOMPARE(offset->value(), 10.0);
        QCOMPARE(module->customSignal(n).offset, 10.0);
    }
    QCOMPARE(hosts.spin("spinBoxCustomOffset")->value(), 10000);
    QCOMPARE(hosts.spin("spinBoxCustomOffset")->minimum(), -2000);
    for (int family = 0; family < 12; ++family)
        QCOMPARE(module->echoPermits(family), 0);

    QVERIFY(module->close());
    const QJsonObject status = moduleStatus(service, crateA, 7);
    QVERIFY(!status.value("opened").toBool());
    QCOMPARE(outputs(status), QList<double>({ 0, 0, 0, 0 }));
}

void OpenTest::openForDiscoveryWithoutPanels()
{
    ModuleVek72 module;
    QString crate = crateA;
    QVERIFY(module.open(crate, 7));
    QCOMPARE(module.name(true), QString("VEK72-2-4"));
    QVERIFY(module.close());
    QVERIFY(module.open(crate, 3));
    QCOMPARE(module.name(true), QString("VEK72-1-8"));
    QVERIFY(module.close());
    QVERIFY(!benchstatus::opened(service, crateA, 3));
}

void OpenTest::busyOrAbsentModuleIsRefused()
{
    TVEK72 other;
    VEK72_Init(&other);
    QCOMPARE(VEK72_Open(&other, 0x7F000001u, 11111, crateA, 3), 0);

    ModuleVek72 module;
    QString crate = crateA;
    QTest::ignoreMessage(QtCriticalMsg,
                         QString("Не удалось установить связь с модулем. Ошибка %1 (%2)")
                             .arg(VEK72_E_BUSY).arg(libraryText(VEK72_E_BUSY)).toUtf8().constData());
    QVERIFY(!module.open(crate, 3));
    QVERIFY(!module.isOpened());
    QCOMPARE(module.name(true), QString("VEK72"));
    QString key = "Modification";
    QVERIFY(module.infoValue(key)->isEmpty());
    QCOMPARE(VEK72_Close(&other), 0);

    QTest::ignoreMessage(QtCriticalMsg,
                         QString("Не удалось установить связь с модулем. Ошибка %1 (%2)")
                             .arg(VEK72_E_NO_MODULE).arg(libraryText(VEK72_E_NO_MODULE)).toUtf8().constData());
    QVERIFY(!module.open(crate, 5));
    crate = "NOSUCH";
    QTest::ignoreMessage(QtCriticalMsg,
                         QString("Не удалось установить связь с модулем. Ошибка %1 (%2)")
                             .arg(VEK72_E_NO_CRATE).arg(libraryText(VEK72_E_NO_CRATE)).toUtf8().constData());
    QVERIFY(!module.open(crate, 3));
}

void OpenTest::closeDrivesTheOutputsToZero()
{
    // Another client leaves 2.5 V on channel 1 and -1 V on channel 2 behind.
    TVEK72 other;
    VEK72_Init(&other);
    QCOMPARE(VEK72_Open(&other, 0x7F000001u, 11111, crateA, 3), 0);
    other.config.channel[0].enabled = 1;
    other.config.channel[1].enabled = 1;
    other.config.outputMode = 0;
    other.config.dacEnable = 1;
    VEK72_FillOutFreq(&other.config, 48000, nullptr);
    QCOMPARE(VEK72_Configure(&other), 0);
    QVector<double> samples;
    for (int i = 0; i < 64; ++i)
        samples << 2.5 << -1.0;
    QVector<quint32> words(samples.size());
    QCOMPARE(VEK72_PrepareDacData(&other, samples.constData(), quint32(samples.size()), VEK72_PREPARE_VOLTS,
                                  words.data(), nullptr), 0);
    QCOMPARE(VEK72_Send(&other, words.constData(), quint32(words.size()), 1000), words.size());
    QCOMPARE(VEK72_SwitchCyclePage(&other, 0, 1000), 0);
    QTRY_VERIFY(qAbs(outputs(moduleStatus(service, crateA, 3)).value(0) - 2.5) < 0.01);
    QCOMPARE(VEK72_Stop(&other, 0), 0);
    QCOMPARE(VEK72_Close(&other), 0);
    QVERIFY(qAbs(outputs(moduleStatus(service, crateA, 3)).value(1) + 1.0) < 0.01);

    PanelHosts hosts;
    auto module = makeModule(false);
    hosts.build(*module);
    QString crate = crateA;
    QVERIFY(module->open(crate, 3));
    QVERIFY(!module->isRunning());
    QVERIFY(qAbs(outputs(moduleStatus(service, crateA, 3)).value(0) - 2.5) < 0.01);   // opening keeps them
    QVERIFY(module->close());
    const QJsonObject status = moduleStatus(service, crateA, 3);
    QVERIFY(!status.value("opened").toBool());
    QVERIFY(!status.value("running").toBool());
    QCOMPARE(outputs(status), QList<double>({ 0, 0, 0, 0, 0, 0, 0, 0 }));
}

void OpenTest::closeOfAClosedModuleFails()
{
    ModuleVek72 module;
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Не удалось установить настройки ЦАП: Ошибка -\\d+ \\(.+\\)$"));
    QTest::ignoreMessage(QtCriticalMsg, "Не удалось выставить нули на всех выходах модуля");
    QVERIFY(!module.close());
}

void OpenTest::modificationThreeAndUnknownCodes()
{
    VekdRunner bench;
    QVERIFY(bench.start(R"({"crates":[{"serial":"C3","slots":[
        {"slot":1,"type":8995,"modification":3,"channels":2,"serial":"M3"},
        {"slot":2,"type":8995,"modification":5,"channels":8,"serial":"M5"}]}]})"));

    PanelHosts hosts;
    auto module = makeModule(true);
    hosts.build(*module);
    QString crate = "C3";
    QVERIFY(module->open(crate, 1));
    QCOMPARE(module->name(true), QString("VEK72-3-2"));
    // Code 3 shares the output scale of code 2 and takes its limits.
    QCOMPARE(hosts.channel<QDoubleSpinBox>("doubleSpinBoxOffsetCh", 1)->minimum(), -2.0);
    QCOMPARE(hosts.channel<QDoubleSpinBox>("doubleSpinBoxOffsetCh", 1)->maximum(), 20.0);
    QCOMPARE(hosts.dspin("doubleSpinBoxOffset")->value(), 10.0);
    QCOMPARE(module->customSignal(1).offset, 10.0);
    QVERIFY(!hosts.channel<QGroupBox>("groupBoxCh", 3)->isEnabled());
    QString key = "Modification";
    QCOMPARE(*module->infoValue(key), QString("VEK72-3-2"));
    QVERIFY(module->close());

    // An unknown code: refused, and the module is let go at once, so that the next open of the
    // same handle works. The name of the module opened before does not stay as the name of this
    // one, and the panels keep the limits of the module they were prepared for.
    QTest::ignoreMessage(QtCriticalMsg, "Неизвестный тип модуля");
    QVERIFY(!module->open(crate, 2));
    QVERIFY(!module->isOpened());
    QVERIFY(!benchstatus::opened(bench, "C3", 2));
    QCOMPARE(module->name(true), QString("VEK72"));
    QVERIFY(module->infoValue(key)->isEmpty());
    QCOMPARE(hosts.dspin("doubleSpinBoxOffset")->maximum(), 20.0);
    for (int family = 0; family < 12; ++family)
        QCOMPARE(module->echoPermits(family), 0);
    QVERIFY(module->open(crate, 1));
    QCOMPARE(module->name(true), QString("VEK72-3-2"));
    QVERIFY(module->close());
}

QTEST_MAIN(OpenTest)
#include "tst_vek72_open.moc"
