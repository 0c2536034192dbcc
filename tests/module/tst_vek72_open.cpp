// Opening and closing the module against a crate service simulator of the test's own: the variant's
// name, serial and firmware, the limits of its modification on the panels, refusals with the
// library's text, an unknown variant let go at once, and closing that drives the outputs to zero
// and leaves the module closed, as the service itself reports.
#include <QtTest>

#include <QLineEdit>
#include <QTextCodec>

#include "benchstatus.h"
#include "panelhosts.h"
#include "threads.h"
#include "vek72api.h"

namespace {

// Modifications 1, 2, 3 and an unknown one, with 8, 4, 2 and 8 channels.
const char* const crates = R"({"crates":[{"serial":"C","slots":[
    {"slot":1,"type":8995,"modification":1,"channels":8,"serial":"M1","firmware":214},
    {"slot":2,"type":8995,"modification":2,"channels":4,"serial":"M2","firmware":215},
    {"slot":3,"type":8995,"modification":3,"channels":2,"serial":"M3","firmware":216},
    {"slot":4,"type":8995,"modification":5,"channels":8,"serial":"M5"}]}]})";

QString openFailure(int code)
{
    return QString("Не удалось установить связь с модулем. Ошибка %1 (%2)")
        .arg(code)
        .arg(QTextCodec::codecForName("Windows-1251")->toUnicode(VEK72_GetErrorString(code)));
}

QList<double> outputs(VekdRunner& service, int slot)
{
    QList<double> values;
    for (const QJsonValue& v : benchstatus::module(benchstatus::status(service), "C", slot).value("outputs").toArray())
        values << v.toDouble();
    return values;
}

bool permitsLeft(ModuleVek72& module)
{
    for (int family = 0; family < 12; ++family) {
        if (module.echoPermits(family) != 0)
            return true;
    }
    return false;
}

} // namespace

class OpenTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void openAppliesTheModification_data();
    void openAppliesTheModification();
    void refusals();
    void closeDrivesTheOutputsToZero();

private:
    VekdRunner service;
};

void OpenTest::initTestCase()
{
    initStendixResources();
    QVERIFY(service.start(crates));
}

void OpenTest::openAppliesTheModification_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<bool>("fromAnotherThread");   // as discovery opens it, from the engine's thread
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("offsetMin");          // channel offset range and start value, volts
    QTest::addColumn<double>("offsetMax");
    QTest::addColumn<double>("offsetDefault");
    QTest::addColumn<bool>("rangeFree");            // range selectors usable, or fixed to the full range
    QTest::newRow("modification 1") << 1 << true << "VEK72-1-8" << -10.0 << 10.0 << 0.0 << true;
    QTest::newRow("modification 2") << 2 << false << "VEK72-2-4" << -2.0 << 20.0 << 10.0 << false;
    // Code 3 shares the output scale of code 2 and takes its limits; its range selectors stay.
    QTest::newRow("modification 3") << 3 << false << "VEK72-3-2" << -2.0 << 20.0 << 10.0 << true;
}

void OpenTest::openAppliesTheModification()
{
    QFETCH(int, slot);
    QFETCH(bool, fromAnotherThread);
    QFETCH(QString, name);
    QFETCH(double, offsetMin);
    QFETCH(double, offsetMax);
    QFETCH(double, offsetDefault);
    QFETCH(bool, rangeFree);
    PanelHosts hosts;
    auto module = makeModule(true);
    ModuleThread moduleThread(module.get());
    hosts.build(*module);
    hosts.find<QGroupBox>("groupBoxCh6")->setChecked(true);

    bool opened = false;
    QString crate = "C";
    if (fromAnotherThread)
        runOnOtherThread([&] { opened = module->open(crate, quint16(slot)); });
    else
        opened = module->open(crate, quint16(slot));
    QVERIFY(opened);
    QCOMPARE(module->name(true), name);
    QString key = "Modification";
    QCOMPARE(*module->infoValue(key), name);
    QCOMPARE(module->serial(), QString("M%1").arg(slot));
    QCOMPARE(hosts.find<QLineEdit>("lineEditModuleSerial")->text(), QString("M%1").arg(slot));
    QCOMPARE(hosts.find<QLineEdit>("lineEditModuleFirmware")->text(), QString::number(213 + slot));
    QVERIFY(benchstatus::opened(service, "C", slot));

    // The common offset goes one below the channels' range ("-").
    QCOMPARE(hosts.dspin("doubleSpinBoxOffset")->minimum(), offsetMin - 1);
    QCOMPARE(hosts.dspin("doubleSpinBoxOffset")->maximum(), offsetMax);
    QCOMPARE(hosts.dspin("doubleSpinBoxOffset")->value(), offsetDefault);
    QCOMPARE(hosts.combo("comboBoxRange")->isEnabled(), rangeFree);
    const int channels = name.section('-', 2).toInt();
    for (int n = 1; n <= 8; ++n) {
        QGroupBox* group = hosts.channel<QGroupBox>("groupBoxCh", n);
        QCOMPARE(group->isEnabled(), n <= channels);
        QCOMPARE(group->isChecked(), n == 1 || (n == 6 && channels >= 6));
        QDoubleSpinBox* offset = hosts.channel<QDoubleSpinBox>("doubleSpinBoxOffsetCh", n);
        QCOMPARE(offset->minimum(), offsetMin);
        QCOMPARE(offset->maximum(), offsetMax);
        QCOMPARE(offset->value(), offsetDefault);
        QCOMPARE(hosts.channel<QComboBox>("comboBoxRangeCh", n)->isEnabledTo(group), rangeFree);
        QCOMPARE(module->customSignal(n).offset, offsetDefault);
    }
    if (!rangeFree)
        QCOMPARE(hosts.channel<QComboBox>("comboBoxRangeCh", 1)->currentText(), QString("7 В"));
    QCOMPARE(hosts.dspin("doubleSpinBoxCustomOffset")->value(), offsetDefault);

    bool closed = false;
    runOnOtherThread([&] { closed = module->close(); });
    QVERIFY(closed);
    QVERIFY(!module->isOpened());
    QCOMPARE(module->serial(), QString("?"));
    QVERIFY(!benchstatus::opened(service, "C", slot));
    // No echo permit is left waiting for a change that never comes.
    QVERIFY(apptest::runQueuedCalls(module.get()));
    QVERIFY(!permitsLeft(*module));
}

// A module that cannot be opened: the library's reason, nothing open, no name. An unknown variant
// is let go at once, so the next open of the same handle works.
void OpenTest::refusals()
{
    TVEK72 other;
    VEK72_Init(&other);
    QCOMPARE(VEK72_Open(&other, 0x7F000001u, 11111, "C", 1), 0);
    ModuleVek72 module;
    const struct { const char* crate; quint16 slot; QString message; } rows[] = {
        { "C", 1, openFailure(VEK72_E_BUSY) },
        { "C", 9, openFailure(VEK72_E_NO_MODULE) },
        { "NOSUCH", 1, openFailure(VEK72_E_NO_CRATE) },
        { "C", 4, QStringLiteral("Неизвестный тип модуля") },
    };
    QString key = "Modification";
    for (const auto& row : rows) {
        QString crate = row.crate;
        QTest::ignoreMessage(QtCriticalMsg, qPrintable(row.message));
        QVERIFY2(!module.open(crate, row.slot), qPrintable(row.message));
        QVERIFY(!module.isOpened());
        QCOMPARE(module.name(true), QString("VEK72"));
        QVERIFY(module.infoValue(key)->isEmpty());
    }
    QVERIFY(!benchstatus::opened(service, "C", 4));
    QCOMPARE(VEK72_Close(&other), 0);
    QString crate = "C";
    QVERIFY(module.open(crate, 2));
    QVERIFY(module.close());

    // Closing what is not open: the module cannot be reached to zero its outputs, and the close fails.
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Выходы модуля могут оставаться под напряжением: нет связи с "
                                                           "модулем\\. Ошибка -105 \\(.+\\)\\. Не удалось выставить нули на всех "
                                                           "выходах модуля$"));
    QVERIFY(!module.close());
}

void OpenTest::closeDrivesTheOutputsToZero()
{
    // Another client leaves 2.5 V on channel 1 and -1 V on channel 2 behind.
    TVEK72 other;
    VEK72_Init(&other);
    QCOMPARE(VEK72_Open(&other, 0x7F000001u, 11111, "C", 1), 0);
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
    QTRY_VERIFY(qAbs(outputs(service, 1).value(0) - 2.5) < 0.01);
    QCOMPARE(VEK72_Stop(&other, 0), 0);
    QCOMPARE(VEK72_Close(&other), 0);

    // Opening finds them and brings them to 0 V, saying so once; closing leaves them there.
    ModuleVek72 module;
    QString crate = "C";
    QTest::ignoreMessage(QtWarningMsg, "Модуль в слоте 1 был запущен или оставлен под напряжением: "
                                       "генерация остановлена, выходы 0 В");
    QVERIFY(module.open(crate, 1));
    QCOMPARE(outputs(service, 1), QList<double>({ 0, 0, 0, 0, 0, 0, 0, 0 }));
    QVERIFY(module.close());
    QVERIFY(!benchstatus::opened(service, "C", 1));
    QCOMPARE(outputs(service, 1), QList<double>({ 0, 0, 0, 0, 0, 0, 0, 0 }));
}

QTEST_MAIN(OpenTest)
#include "tst_vek72_open.moc"
