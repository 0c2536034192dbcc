#include <QtTest>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextCodec>

#include "apptestutil.h"

using apptest::readFile;

// Starts the real program in fresh working directories and looks at what it leaves there.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void freshCyrillicDirectory();
};

void TestStartup::initTestCase()
{
    // File names on this platform are UTF-8, whatever the test runner's locale says.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
}

void TestStartup::freshCyrillicDirectory()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    // "И" is 0xD0 0x98 in UTF-8; 0x98 is the one byte Windows-1251 leaves unassigned. The second run
    // is under a locale that writes numbers with digits of its own: the times stay in Latin digits.
    const QList<QPair<QString, QString>> runs = {{QStringLiteral("Журнал Иванова"), QString()},
                                                 {QStringLiteral("второй стенд"), QStringLiteral("fa_IR.UTF-8")}};
    for (const auto& run : runs) {
        const QString& name = run.first;
        const QString path = base.path() + QLatin1Char('/') + name;
        QVERIFY(QDir().mkpath(path));

        QProcess program;
        program.setWorkingDirectory(path);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("VEK_SERVICE"), QStringLiteral("127.0.0.1:1")); // nobody listens there
        if (!run.second.isEmpty()) {
            env.insert(QStringLiteral("LC_ALL"), run.second);
            env.insert(QStringLiteral("LANG"), run.second);
        }
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(VEK72_PATH), QStringList());
        QVERIFY(program.waitForStarted());

        const QString log = path + QStringLiteral("/stendix.log");
        const QString ini = path + QStringLiteral("/stendix.ini");
        QTRY_VERIFY_WITH_TIMEOUT(readFile(ini).contains("ModuleMode=Normal"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(readFile(log).contains('\n'), 20000);
        program.kill();
        program.waitForFinished();

        // A first start writes the defaults of group "Global".
        const QByteArray iniText = readFile(ini);
        QVERIFY(iniText.contains("[Global]"));
        QVERIFY(iniText.contains("DisplayUpdateMs=500"));
        const QString first = QTextCodec::codecForName("Windows-1251")->toUnicode(readFile(log).split('\n').first());
        const QRegularExpression startLine(QStringLiteral(
            "^\\[[0-9]{4}\\.[0-9]{2}\\.[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3} I\\] Запуск программы "
            "\\(версия 1\\.4\\.27\\) [0-9]{4}\\.[0-9]{2}\\.[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}$"));
        QVERIFY2(startLine.match(first).hasMatch(), qPrintable(first));
        // Nothing went anywhere else: the directory holds exactly the program's two files.
        QStringList entries = QDir(path).entryList(QDir::Files | QDir::NoDotAndDotDot);
        entries.removeAll(QStringLiteral("stendix.ini.lock"));
        entries.sort();
        QCOMPARE(entries, (QStringList{QStringLiteral("stendix.ini"), QStringLiteral("stendix.log")}));
    }
    // The base directory itself got nothing: each run kept its own files.
    QCOMPARE(QDir(base.path()).entryList(QDir::Files).size(), 0);
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
