// Remote control's file commands against the whole window and a crate service simulator: names that
// would lead out of the setups folder are refused (-257) before anything is read or written, a file
// that is not there is -256, plain names work; nothing outside the folder changes, the settings file
// included, and a link left in the folder does not lead out of it.
#include <QtTest>

#include <QCryptographicHash>
#include <QDirIterator>
#include <QTcpSocket>

#include "remotewarnings.h"
#include "resources.h"
#include "setupscontroller.h"
#include "vekdrunner.h"
#include "windowtestutil.h"

using namespace windowtest;

namespace {

// Every file under `root` but the setups folder and the journal, with a digest of its contents.
QMap<QString, QByteArray> filesOutsideSetups(const QString& root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (relative.startsWith(QLatin1String("setups/")) || relative == QLatin1String("stendix.log"))
            continue;
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        files.insert(relative, QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256));
    }
    return files;
}

struct Client
{
    QTcpSocket socket;
    explicit Client(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.waitForConnected(5000);
    }
    QByteArray query(const QByteArray& line)
    {
        socket.write(line + '\n');
        QTest::qWaitFor([&] { return socket.canReadLine(); }, 20000);
        return socket.readLine().trimmed();
    }
};

} // namespace

class TestRemoteFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initStendixResources();
        apptest::installMessageCapture();
        remotewarnings::install();
    }
    void confinedToTheSetupsFolder();
};

void TestRemoteFiles::confinedToTheSetupsFolder()
{
    VekdRunner vekd;
    QVERIFY(vekd.start());
    WindowInDirectory w({ { QStringLiteral("Remote/Enabled"), true } });
    MainWindow& window = *w.window;
    window.show();
    QVERIFY(settled(window));
    QVERIFY(QTest::qWaitFor([&] { return !window.remoteControlAddress().isEmpty(); }, 5000));
    Client c(quint16(window.remoteControlAddress().section(':', 1).toUInt()));
    QCOMPARE(c.query("SYST:MOD?"), QByteArray("\"4B210736\",3"));

    // Links someone on this computer may have left in the folder: to the settings, and to a file
    // outside that does not exist yet.
    const QString setups = w.cwd.path() + "/setups";
    QVERIFY(QDir().mkpath(setups));
    QVERIFY(QFile::link(w.cwd.iniPath(), setups + "/link.vek72"));
    QVERIFY(QFile::link(w.cwd.path() + "/outside.vek72", setups + "/setup-2.vek72"));
    QTemporaryDir elsewhere;
    const QString absolute = elsewhere.filePath("x");
    const QString twoUp = QDir::cleanPath(setups + "/../../x.vek72");
    const bool twoUpThere = QFileInfo::exists(twoUp);
    const QMap<QString, QByteArray> before = filesOutsideSetups(w.cwd.path());
    QVERIFY(before.contains("stendix.ini"));

    const QByteArray fileNameError = "-257,\"File name error\"";
    const QByteArray notFound = "-256,\"File name not found\"";
    const QByteArray none = "0,\"No error\"";
    const QList<QPair<QByteArray, QByteArray>> cases{
        { "MMEM:STOR:STAT \"" + absolute.toUtf8() + "\"", fileNameError },
        { "MMEM:STOR:STAT \"../../x.vek72\"", fileNameError },
        { "MMEM:STOR:STAT \"../stendix.ini\"", fileNameError },
        { "MMEM:STOR:STAT \"./stendix.ini\"", fileNameError },
        { "MMEM:STOR:STAT \"..\\stendix.ini\"", fileNameError },
        { "MMEM:STOR:STAT \"C:stendix.vek72\"", fileNameError },
        { "MMEM:STOR:STAT \"..\"", fileNameError },
        { "MMEM:STOR:STAT \".\"", fileNameError },
        { "MMEM:STOR:STAT \"link.vek72\"", fileNameError },
        { "MMEM:STOR:STAT \"" + QByteArray(300, 'a') + "\"", fileNameError },
        { "*SAV 2", fileNameError },
        { "MMEM:LOAD:STAT \"/etc/shadow\"", fileNameError },
        { "MMEM:LOAD:STAT \"../stendix.ini\"", fileNameError },
        { "MMEM:LOAD:STAT \"link.vek72\"", fileNameError },
        { "*RCL 2", fileNameError },
        { "MMEM:LOAD:STAT \"absent\"", notFound },
        { "*RCL 3", notFound },
        { "MMEM:STOR:STAT \"bench\"", none },
        { "MMEM:STOR:STAT \"bench.vek72\"", none },
        { "MMEM:LOAD:STAT \"bench\"", none },
        { "*SAV 1", none },
        { "*RCL 1", none },
    };
    for (const auto& one : cases) {
        QCOMPARE(one.first + " -> " + c.query(one.first + ";:SYST:ERR?"), one.first + " -> " + one.second);
        QCOMPARE(filesOutsideSetups(w.cwd.path()), before);
    }
    QVERIFY(!QFileInfo::exists(absolute));
    QCOMPARE(QFileInfo::exists(twoUp), twoUpThere);
    QVERIFY(!QFileInfo::exists(w.cwd.path() + "/outside.vek72"));
    QCOMPARE(QFileInfo(setups + "/link.vek72").symLinkTarget(), w.cwd.iniPath());
    QVERIFY(QFileInfo(setups + "/bench.vek72").isFile());
    QVERIFY(QFileInfo(setups + "/setup-1.vek72").isFile());
    // The catalogue lists the folder's own setup files with their sizes, not the links.
    const QByteArray catalog = c.query("MMEM:CAT?");
    const QString freeBytes = QString::fromLatin1(catalog).section(',', 1, 1);
    const QByteArray listed = QByteArray::number(QFileInfo(setups + "/bench.vek72").size() + QFileInfo(setups + "/setup-1.vek72").size())
                              + "," + freeBytes.toLatin1() + ",\"bench.vek72,STAT,"
                              + QByteArray::number(QFileInfo(setups + "/bench.vek72").size()) + "\",\"setup-1.vek72,STAT,"
                              + QByteArray::number(QFileInfo(setups + "/setup-1.vek72").size()) + "\"";
    QCOMPARE(catalog, listed);
    QVERIFY(freeBytes.toLongLong() > 0);
    // Nothing was read from a refused name: no journal line quotes a parse of its contents.
    QVERIFY(apptest::warnings().filter(QStringLiteral("не открыта")).isEmpty());
    // Remote saves and opens do not go into the recent list, which lives in the settings file.
    QCOMPARE(window.setupsController()->recentFiles(), QStringList());
    QVERIFY(window.close());
    QCOMPARE(filesOutsideSetups(w.cwd.path()), before);
}

QTEST_MAIN(TestRemoteFiles)
#include "tst_remote_files.moc"
