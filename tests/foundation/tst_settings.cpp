#include <QtTest>

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

#include "apptestutil.h"
#include "appsettings.h"

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void firstStartWritesDefaults();
    void moduleMode_data();
    void moduleMode();
    void storedValuesAreReadUnlimited();
    void pathIsTheWorkingDirectory();
};

static QString iniIn(const QTemporaryDir& dir)
{
    return dir.path() + QStringLiteral("/stendix.ini");
}

void TestSettings::firstStartWritesDefaults()
{
    QTemporaryDir dir;
    {
        QSettings settings(iniIn(dir), QSettings::IniFormat);
        const GlobalSettings values = readGlobalSettings(&settings);
        QCOMPARE(values.displayUpdateMs, 500);
        QCOMPARE(values.moduleMode, QStringLiteral("Normal"));
        QVERIFY(!values.emulator());
        settings.sync();
    }
    QFile file(iniIn(dir));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(text.contains("[Global]"));
    QVERIFY(text.contains("DisplayUpdateMs=500"));
    QVERIFY(text.contains("ModuleMode=Normal"));
}

void TestSettings::moduleMode_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("emulator");
    QTest::newRow("Emulator") << "Emulator" << true;
    QTest::newRow("lower case") << "emulator" << false;
    QTest::newRow("upper case") << "EMULATOR" << false;
    QTest::newRow("trailing blank") << "Emulator " << false;
    QTest::newRow("Normal") << "Normal" << false;
    QTest::newRow("other") << "Bench" << false;
}

void TestSettings::moduleMode()
{
    QFETCH(QString, stored);
    QFETCH(bool, emulator);
    QTemporaryDir dir;
    {
        QSettings settings(iniIn(dir), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Global/ModuleMode"), stored);
    }
    QSettings settings(iniIn(dir), QSettings::IniFormat);
    QCOMPARE(readGlobalSettings(&settings).emulator(), emulator);
    // An unknown text is left in the file as it was.
    QCOMPARE(settings.value(QStringLiteral("Global/ModuleMode")).toString(), stored);
}

void TestSettings::storedValuesAreReadUnlimited()
{
    QTemporaryDir dir;
    {
        QSettings settings(iniIn(dir), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Global/DisplayUpdateMs"), 50);
    }
    QSettings settings(iniIn(dir), QSettings::IniFormat);
    const GlobalSettings values = readGlobalSettings(&settings);
    QCOMPARE(values.displayUpdateMs, 50);
    // The missing key was added, the present one kept.
    QCOMPARE(settings.value(QStringLiteral("Global/ModuleMode")).toString(), QStringLiteral("Normal"));
    QCOMPARE(settings.value(QStringLiteral("Global/DisplayUpdateMs")).toInt(), 50);

    writeDisplayPeriod(&settings, 100);
    settings.sync();
    QSettings again(iniIn(dir), QSettings::IniFormat);
    QCOMPARE(readGlobalSettings(&again).displayUpdateMs, 100);
}

void TestSettings::pathIsTheWorkingDirectory()
{
    apptest::WorkingDirectory cwd;
    QVERIFY(cwd.isValid());
    QCOMPARE(QDir(QFileInfo(settingsFilePath()).absolutePath()).canonicalPath(), QDir(cwd.path()).canonicalPath());
    QCOMPARE(QFileInfo(settingsFilePath()).fileName(), QStringLiteral("stendix.ini"));
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
