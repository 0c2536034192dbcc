// Group "Global" of the settings file beyond what a first start writes (tests/foundation/tst_startup):
// the module mode, and a file that lacks a key.
#include <QtTest>

#include <QSettings>
#include <QTemporaryDir>

#include "appsettings.h"

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void storedValues_data();
    void storedValues();
};

void TestSettings::storedValues_data()
{
    QTest::addColumn<QString>("mode");   // stored "ModuleMode"; empty: none stored
    QTest::addColumn<bool>("emulator");
    // Only the exact text "Emulator" selects emulator mode; any other text is left in the file.
    QTest::newRow("Emulator") << "Emulator" << true;
    QTest::newRow("lower case") << "emulator" << false;
    QTest::newRow("trailing blank") << "Emulator " << false;
    QTest::newRow("none stored") << "" << false;
}

void TestSettings::storedValues()
{
    QFETCH(QString, mode);
    QFETCH(bool, emulator);
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("stendix.ini"));
    {
        QSettings settings(ini, QSettings::IniFormat);
        settings.setValue(QStringLiteral("Global/DisplayUpdateMs"), 50);
        if (!mode.isEmpty())
            settings.setValue(QStringLiteral("Global/ModuleMode"), mode);
    }
    {
        QSettings settings(ini, QSettings::IniFormat);
        const GlobalSettings values = readGlobalSettings(&settings);
        QCOMPARE(values.emulator(), emulator);
        QCOMPARE(values.displayUpdateMs, 100); // brought into the options dialog's range
    }
    // The key the file lacked was added with its default, the present ones kept as the operator wrote
    // them (the period is used corrected, but not written back).
    QSettings saved(ini, QSettings::IniFormat);
    QCOMPARE(saved.value(QStringLiteral("Global/ModuleMode")).toString(), mode.isEmpty() ? QStringLiteral("Normal") : mode);
    QCOMPARE(saved.value(QStringLiteral("Global/DisplayUpdateMs")).toInt(), 50);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
