// The named-parameter table, the modification limits and the range labels: plain tables that the
// module object and its panels read.
#include <QtTest>

#include "customcheckbox.h"
#include "modificationlimits.h"
#include "parametertable.h"

class TablesTest : public QObject
{
    Q_OBJECT

private slots:
    void parameterTableLayout();
    void selectParameter_data();
    void selectParameter();
    void selectionChangesOnlyOneEntryOfOneCopy();
    void limitsRows();
    void limitsLookupStaysInsideTheTable_data();
    void limitsLookupStaysInsideTheTable();
    void rangeTexts();
    void rangeCodes();
    void voltageMaxima();
    void checkBoxNextState();
};

void TablesTest::parameterTableLayout()
{
    const QVector<ParameterEntry>& table = vek72ParameterTable();
    QCOMPARE(table.size(), 7);
    const QStringList names = { "Режим", "Канал", "Выход", "Частота ЦАП", "Частота", "Допустимая γ", "Значение" };
    const QStringList units = { "", "", "", "", "Гц", "%", "мВ" };
    for (int i = 0; i < 7; ++i) {
        QCOMPARE(table[i].name, names[i]);
        QCOMPARE(table[i].unit, units[i]);
        QVERIFY(table[i].currentChoice.isEmpty());
    }
    QCOMPARE(table[0].alternatives, QStringList({ "Режим DC", "Режим AC", "Режим Частота" }));
    QCOMPARE(table[1].alternatives.size(), 8);
    QCOMPARE(table[1].alternatives.first(), QString("Канал 1"));
    QCOMPARE(table[1].alternatives.last(), QString("Канал 8"));
    QCOMPARE(table[2].alternatives, QStringList({ "Выход 1:1", "Выход 1:10" }));
    QCOMPARE(table[3].alternatives,
             QStringList({ "Частота ЦАП 192 кГц", "Частота ЦАП 96 кГц", "Частота ЦАП 48 кГц" }));
    for (int i = 4; i < 7; ++i)
        QVERIFY(table[i].alternatives.isEmpty());
}

void TablesTest::selectParameter_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("known");
    QTest::addColumn<int>("entry");   // entry whose current choice becomes `name`, -1 none

    QTest::newRow("display period") << "Период отображения" << false << -1;
    QTest::newRow("name of a choice entry") << "Режим" << false << -1;
    QTest::newRow("channel 3") << "Канал 3" << true << 1;
    QTest::newRow("lower-case channel 3") << "канал 3" << false << -1;
    QTest::newRow("trailing blank") << "Канал 3 " << false << -1;
    QTest::newRow("numeric frequency") << "Частота" << true << -1;
    QTest::newRow("numeric gamma") << "Допустимая γ" << true << -1;
    QTest::newRow("dac 48") << "Частота ЦАП 48 кГц" << true << 3;
    QTest::newRow("output 1:10") << "Выход 1:10" << true << 2;
    QTest::newRow("empty") << "" << false << -1;
}

void TablesTest::selectParameter()
{
    QFETCH(QString, name);
    QFETCH(bool, known);
    QFETCH(int, entry);

    QVector<ParameterEntry> copy = vek72ParameterTable();
    QCOMPARE(::selectParameter(copy, name), known);
    for (int i = 0; i < copy.size(); ++i)
        QCOMPARE(copy[i].currentChoice, i == entry ? name : QString());
}

void TablesTest::selectionChangesOnlyOneEntryOfOneCopy()
{
    QVector<ParameterEntry> first = vek72ParameterTable();
    QVector<ParameterEntry> second = vek72ParameterTable();
    QVERIFY(::selectParameter(first, "Канал 5"));
    QVERIFY(::selectParameter(first, "Канал 2"));
    QCOMPARE(first[1].currentChoice, QString("Канал 2"));
    QVERIFY(second[1].currentChoice.isEmpty());
    QVERIFY(vek72ParameterTable()[1].currentChoice.isEmpty());
}

void TablesTest::limitsRows()
{
    // Every field of every row, in the order of the record.
    const auto fields = [](const ModificationLimits& l) {
        return QVector<int>({ l.acMin, l.acMax, l.dcMin, l.dcMax, l.voltageDefault, l.customAmplitudeMin,
                              l.customAmplitudeMax, l.customAmplitudeDefault, l.offsetMin, l.offsetMax,
                              l.offsetDefault, l.acBelowMin, l.dcBelowMin, l.offsetBelowMinVolts });
    };
    QCOMPARE(modificationLimitRows, 3);
    QCOMPARE(fields(modificationLimits[0]), QVector<int>({ 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1, -1 }));
    QCOMPARE(fields(modificationLimits[1]),
             QVector<int>({ 0, 7000, -10000, 10000, 0, 0, 10000, 0, -10000, 10000, 0, -1, -10001, -11 }));
    QCOMPARE(fields(modificationLimits[2]),
             QVector<int>({ 0, 7000, -2000, 20000, 0, 0, 10000, 0, -2000, 20000, 10000, -1, -2001, -3 }));
}

void TablesTest::limitsLookupStaysInsideTheTable_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("row");
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("1") << 1 << 1;
    QTest::newRow("2") << 2 << 2;
    QTest::newRow("3 shares the scale of 2") << 3 << 2;
    QTest::newRow("4") << 4 << 0;
    QTest::newRow("255") << 255 << 0;
    QTest::newRow("-1") << -1 << 0;
}

void TablesTest::limitsLookupStaysInsideTheTable()
{
    QFETCH(int, code);
    QFETCH(int, row);
    QCOMPARE(&limitsForModification(code), &modificationLimits[row]);
}

void TablesTest::rangeTexts()
{
    QCOMPARE(rangeItemText(modificationLimits[1], VoltageTypeAc, 0), QString("0.7 В"));
    QCOMPARE(rangeItemText(modificationLimits[1], VoltageTypeAc, 1), QString("7 В"));
    QCOMPARE(rangeItemText(modificationLimits[1], VoltageTypeDc, 0), QString("1 В"));
    QCOMPARE(rangeItemText(modificationLimits[1], VoltageTypeDc, 1), QString("10 В"));
    QCOMPARE(rangeItemText(modificationLimits[2], VoltageTypeDc, 0), QString("2 В"));
    QCOMPARE(rangeItemText(modificationLimits[2], VoltageTypeDc, 1), QString("20 В"));
    QVERIFY(rangeItemText(modificationLimits[1], VoltageTypeOther, 0).isEmpty());
    QVERIFY(rangeItemText(modificationLimits[1], VoltageTypeAc, 2).isEmpty());
    QCOMPARE(voltageTypeFromText("AC"), VoltageTypeAc);
    QCOMPARE(voltageTypeFromText("DC"), VoltageTypeDc);
    QCOMPARE(voltageTypeFromText("ac"), VoltageTypeOther);
    QCOMPARE(voltageTypeFromText("Особый"), VoltageTypeOther);
}

void TablesTest::rangeCodes()
{
    const ModificationLimits& one = modificationLimits[1];
    QCOMPARE(rangeCodeFromText(one, "0.7 В"), 2);
    QCOMPARE(rangeCodeFromText(one, "1 В"), 2);
    QCOMPARE(rangeCodeFromText(one, "7 В"), 1);
    QCOMPARE(rangeCodeFromText(one, "10 В"), 1);
    QCOMPARE(rangeCodeFromText(one, "20 В"), 0);
    QCOMPARE(rangeCodeFromText(one, ""), 0);
    QCOMPARE(rangeCodeFromText(modificationLimits[2], "20 В"), 1);
    QCOMPARE(rangeCodeFromText(modificationLimits[2], "2 В"), 2);
}

void TablesTest::voltageMaxima()
{
    const ModificationLimits& one = modificationLimits[1];
    QCOMPARE(voltageMaximum(one, VoltageTypeAc, 1, 5), 7000);
    QCOMPARE(voltageMaximum(one, VoltageTypeAc, 2, 5), 700);
    QCOMPARE(voltageMaximum(one, VoltageTypeDc, 1, 5), 10000);
    QCOMPARE(voltageMaximum(one, VoltageTypeDc, 2, 5), 1000);
    QCOMPARE(voltageMaximum(one, VoltageTypeDc, 0, 5), 5);
    QCOMPARE(voltageMaximum(one, VoltageTypeOther, 1, 5), 5);
    QCOMPARE(voltageMaximum(modificationLimits[2], VoltageTypeDc, 2, 5), 2000);
}

void TablesTest::checkBoxNextState()
{
    QCOMPARE(Ui::CustomCheckBox::nextState(Qt::Checked), Qt::Unchecked);
    QCOMPARE(Ui::CustomCheckBox::nextState(Qt::Unchecked), Qt::Checked);
    QCOMPARE(Ui::CustomCheckBox::nextState(Qt::PartiallyChecked), Qt::Checked);
}

QTEST_GUILESS_MAIN(TablesTest)
#include "tst_vek72_tables.moc"
