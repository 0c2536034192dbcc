#include <QtTest>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextCodec>

#include <sys/resource.h>

#include "apptestutil.h"

using apptest::readFile;

namespace {

// The program with a limit on the size of the files it writes, as `prlimit --fsize` sets one.
class LimitedProcess : public QProcess
{
public:
    explicit LimitedProcess(rlim_t bytes) : bytes(bytes) {}

protected:
    void setupChildProcess() override
    {
        const rlimit limit{bytes, bytes};
        setrlimit(RLIMIT_FSIZE, &limit);
    }

private:
    rlim_t bytes;
};

} // namespace

// Starts the real program in fresh working directories and looks at what it leaves there.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void freshCyrillicDirectory();
    void fileSizeLimit();
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

// Under a file-size limit the journal's next line cannot be written: the program says so and goes on
// (the system's signal for it would end the process with the outputs as they were).
void TestStartup::fileSizeLimit()
{
    apptest::WorkingDirectory cwd;
    cwd.writeGlobal(QStringLiteral("ModuleMode"), QStringLiteral("Emulator"));
    cwd.writeKey(QStringLiteral("Remote/Enabled"), false);
    LimitedProcess program(200);
    program.setWorkingDirectory(cwd.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(VEK72_PATH), QStringList());
    QVERIFY(program.waitForStarted());
    QTextCodec* cp1251 = QTextCodec::codecForName("Windows-1251");
    const QString told = QStringLiteral("Журнал stendix.log не записывается (превышен допустимый размер файла)");
    QString err;
    const bool saidSo = QTest::qWaitFor([&] {
        err += cp1251->toUnicode(program.readAllStandardError());
        return err.contains(told) || program.state() == QProcess::NotRunning;
    }, 30000);
    const bool running = program.state() == QProcess::Running;
    program.kill();
    program.waitForFinished();
    QVERIFY2(saidSo && running, qPrintable(QStringLiteral("exit status %1, signal/code %2").arg(program.exitStatus()).arg(program.exitCode())));
    // What the journal holds are whole lines.
    const QByteArray journal = readFile(cwd.path() + QStringLiteral("/stendix.log"));
    QVERIFY(journal.size() <= 200);
    QVERIFY(journal.isEmpty() || journal.endsWith('\n'));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
