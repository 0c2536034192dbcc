// The menu entry's launcher vek72-launch: whatever folder it is started from, the program runs in
// the user's data folder (XDG_DATA_HOME, else ~/.local/share, then vek72), made on the first start,
// and keeps its settings file and journal there.
#include <QtTest>

#include <QProcess>
#include <QProcessEnvironment>

#include "vekdrunner.h"

class TestVek72Launch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void dataFolder_data();
    void dataFolder();

private:
    VekdRunner vekd;
    QTemporaryDir dir;
};

void TestVek72Launch::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(vekd.start());
}

void TestVek72Launch::dataFolder_data()
{
    QTest::addColumn<QString>("dataHome");  // XDG_DATA_HOME, unset when empty
    QTest::addColumn<QString>("folder");    // where the program should keep its files
    QTest::newRow("home") << QString() << dir.filePath("home/.local/share/vek72");
    QTest::newRow("XDG_DATA_HOME") << dir.filePath("data") << dir.filePath("data/vek72");
}

void TestVek72Launch::dataFolder()
{
    QFETCH(QString, dataHome);
    QFETCH(QString, folder);
    QVERIFY(QDir().mkpath(dir.filePath("home")) && QDir().mkpath(dir.filePath("menu")));
    QVERIFY(!QFileInfo::exists(folder));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", dir.filePath("home"));
    env.remove("XDG_DATA_HOME");
    if (!dataHome.isEmpty())
        env.insert("XDG_DATA_HOME", dataHome);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess program;
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(dir.filePath("menu"));  // the folder a menu happens to start from
    program.start(QStringLiteral(VEK72_LAUNCH_PATH), QStringList());
    const QString journal = QDir(folder).filePath("stendix.log");
    const QString settings = QDir(folder).filePath("stendix.ini");
    auto started = [&] {
        QFile log(journal);
        QFile ini(settings);
        return (log.open(QIODevice::ReadOnly) && log.size() > 0 && ini.open(QIODevice::ReadOnly)
                && ini.readAll().contains("ModuleMode="))
               || program.state() == QProcess::NotRunning;
    };
    QVERIFY(QTest::qWaitFor(started, 30000));
    QCOMPARE(program.state(), QProcess::Running);
    program.kill();
    QVERIFY(program.waitForFinished(10000));

    QVERIFY(QFileInfo::exists(journal) && QFileInfo::exists(settings));
    QCOMPARE(QDir(dir.filePath("menu")).entryList(QDir::Files), QStringList());
}

QTEST_GUILESS_MAIN(TestVek72Launch)
#include "tst_vek72_launch.moc"
