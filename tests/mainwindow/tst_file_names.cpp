// Russian (and other) folder and file names, as an operator meets them: the program started in a
// working directory of such a name saves and opens setups through its dialogs, the recent list and
// remote control, loads a waveform file through "Загрузить…", and shows every name in the title,
// the status bar and the menu as it is. The files on disk carry their names in UTF-8 bytes (the
// platform's own), and the journal stays Windows-1251 that a strict reader decodes: a character
// that encoding lacks is "?", never a byte it leaves undefined.
//
// Folders and files are made and listed with the system's calls on the names' UTF-8 bytes, not
// through Qt, so that what is on disk is seen as it is.
#include <QtTest>

#include <QAction>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpSocket>
#include <QTextCodec>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "journal.h"
#include "mainwindow.h"
#include "resources.h"
#include "vekdrunner.h"
#include "windowtestutil.h"

using namespace windowtest;

namespace {

// The names of a folder, as the system holds them (bytes).
QSet<QByteArray> namesIn(const QByteArray& folder)
{
    QSet<QByteArray> names;
    if (DIR* dir = ::opendir(folder.constData())) {
        while (const dirent* entry = ::readdir(dir))
            names.insert(QByteArray(entry->d_name));
        ::closedir(dir);
    }
    return names;
}

bool writeBytes(const QByteArray& path, const QByteArray& bytes)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool whole = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    return ::close(fd) == 0 && whole;
}

QByteArray readBytes(const QByteArray& path)
{
    QByteArray bytes;
    const int fd = ::open(path.constData(), O_RDONLY);
    if (fd < 0)
        return bytes;
    char buffer[65536];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, int(got));
    ::close(fd);
    return bytes;
}

// Windows-1251 read strictly, as iconv and Python read it: false at the one byte it leaves undefined.
bool strictWindows1251(const QByteArray& bytes, QString* text)
{
    if (bytes.contains('\x98'))
        return false;
    *text = QTextCodec::codecForName("Windows-1251")->toUnicode(bytes);
    return true;
}

// A text as the journal can carry it: each character Windows-1251 lacks is "?".
QString inJournal(const QString& text)
{
    QTextCodec* codec = QTextCodec::codecForName("Windows-1251");
    QString out;
    for (const uint c : text.toUcs4()) {
        const QString one = QString::fromUcs4(&c, 1);
        out += c != 0x98 && codec->canEncode(one) ? one : QStringLiteral("?");
    }
    return out;
}

// Runs the dialog that `open` brings up as the window's own modal dialog: the name typed into it,
// then Return. True when a file dialog came and went and said nothing: a message box it (or the
// window) raises on the way, such as the dialog's own "file not found", is closed and makes it false.
bool throughFileDialog(const std::function<void()>& open, const QString& typed)
{
    bool handled = false;
    QString boxSaid;
    QTimer boxes;
    boxes.setInterval(10);
    QObject::connect(&boxes, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxSaid = box->text();
            box->reject();
        }
    });
    boxes.start();
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        poll.stop();
        if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
            name->setText(typed);
            QTest::keyClick(name, Qt::Key_Return);
        }
        if (dialog->isVisible())
            dialog->reject();
        handled = true;
    });
    poll.start();
    QTimer::singleShot(0, open);
    const bool done = QTest::qWaitFor([&] { return handled && !QApplication::activeModalWidget(); }, 20000);
    if (!boxSaid.isEmpty())
        qWarning("the file dialog said: %s", qUtf8Printable(boxSaid));
    return done && boxSaid.isEmpty();
}

// The working directory for as long as it lives; the one before afterwards.
struct InFolder
{
    QByteArray before;
    bool entered = false;
    explicit InFolder(const QByteArray& folder)
    {
        char here[4096];
        if (::getcwd(here, sizeof here))
            before = here;
        entered = !before.isEmpty() && ::chdir(folder.constData()) == 0;
    }
    ~InFolder()
    {
        if (entered && ::chdir(before.constData()) != 0)
            qWarning("the test's working directory is gone");
    }
};

// A remote-control client of the window.
struct Client
{
    QTcpSocket socket;

    bool connectTo(const QString& address)
    {
        socket.connectToHost(address.section(QLatin1Char(':'), 0, 0), quint16(address.section(QLatin1Char(':'), 1).toUInt()));
        return socket.waitForConnected(5000);
    }
    QByteArray query(const QByteArray& line)
    {
        socket.write(line + '\n');
        if (!QTest::qWaitFor([&] { return socket.canReadLine(); }, 20000))
            return QByteArray("(no answer)");
        return socket.readLine().trimmed();
    }
};

} // namespace

class TestFileNames : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void namesAsTheyAre_data();
    void namesAsTheyAre();

private:
    VekdRunner vekd;
};

void TestFileNames::initTestCase()
{
    // As the program starts.
    installJournal();
    initStendixResources();
    QVERIFY(vekd.start());
}

void TestFileNames::namesAsTheyAre_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    // "И" is 0xD0 0x98 in UTF-8: 0x98 is the byte Windows-1251 leaves undefined.
    QTest::newRow("Russian") << "Стенд Иванова" << "моя настройка";
    QTest::newRow("ё, № and €") << "Ёлки №2" << "ёж ЁЖ €";
    QTest::newRow("what Windows-1251 lacks") << "漢字 стенд" << "волна ✓ 😀";
    QTest::newRow("Latin") << "bench" << "setup one";
}

void TestFileNames::namesAsTheyAre()
{
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QString cwd = base.path() + QLatin1Char('/') + folder;
    const QByteArray cwdBytes = cwd.toUtf8();
    QVERIFY(::mkdir(cwdBytes.constData(), 0755) == 0);
    const QByteArray ini = "[Remote]\nPort=0\n[VEK72]\nEnableCustomSignals=true\n";
    QVERIFY(writeBytes(cwdBytes + "/stendix.ini", ini));
    const InFolder inFolder(cwdBytes);
    QVERIFY(inFolder.entered);
    resetJournal();
    {
        MainWindow window;
        window.show();
        setPopupTarget(&window);
        QVERIFY(settled(window));
        QCOMPARE(shown(window), QStringLiteral("green green on"));
        const QString title = window.windowTitle();
        auto* menu = child<QMenu>(&window, "menuSetups");
        const QString setup = name + QStringLiteral(".vek72");
        const QString setupPath = cwd + QStringLiteral("/setups/") + setup;

        // Saved through the dialog, the name typed without its suffix.
        QVERIFY(throughFileDialog([&] { child<QAction>(&window, "actionSetupSave")->trigger(); }, name));
        QVERIFY2(namesIn(cwdBytes + "/setups").contains(setup.toUtf8()), "the setup is not on disk under its name");
        QCOMPARE(window.windowTitle(), setup + QStringLiteral("[*] - ") + title);
        QVERIFY2(statusTexts(window).contains(QStringLiteral("Настройка сохранена: ") + setup),
                 qPrintable(statusTexts(window).join(QLatin1Char('|'))));

        // The recent list names it, and opens it.
        emit menu->aboutToShow();
        QAction* recent = nullptr;
        for (QAction* action : menu->actions()) {
            if (action->text() == QStringLiteral("&1 ") + setup)
                recent = action;
        }
        QVERIFY2(recent, "the recent list does not name the setup");
        QCOMPARE(recent->toolTip(), QDir::toNativeSeparators(setupPath));
        window.postMessage(QString());
        recent->trigger();
        QTRY_VERIFY(statusTexts(window).contains(QStringLiteral("Открыта настройка ") + setup));

        // Opened through the dialog, the name typed without its suffix too.
        window.postMessage(QString());
        QVERIFY(throughFileDialog([&] { child<QAction>(&window, "actionSetupOpen")->trigger(); }, name));
        QVERIFY2(statusTexts(window).contains(QStringLiteral("Открыта настройка ") + setup),
                 qPrintable(statusTexts(window).join(QLatin1Char('|'))));
        window.postMessage(QString());
        QVERIFY(throughFileDialog([&] { child<QAction>(&window, "actionSetupOpen")->trigger(); }, setup));
        QVERIFY2(statusTexts(window).contains(QStringLiteral("Открыта настройка ") + setup),
                 qPrintable(statusTexts(window).join(QLatin1Char('|'))));

        // Remote control: names arrive as UTF-8.
        Client client;
        QVERIFY(client.connectTo(window.remoteControlAddress()));
        const QString remoteName = name + QStringLiteral(" 2");
        QCOMPARE(client.query("MMEM:STOR:STAT \"" + remoteName.toUtf8() + "\";:SYST:ERR?"), QByteArray("0,\"No error\""));
        QVERIFY2(namesIn(cwdBytes + "/setups").contains((remoteName + QStringLiteral(".vek72")).toUtf8()),
                 "the remote setup is not on disk under its name");
        QCOMPARE(client.query("MMEM:LOAD:STAT \"" + remoteName.toUtf8() + "\";:SYST:ERR?"), QByteArray("0,\"No error\""));

        // "Загрузить…" with the file's path typed in whole, for a channel of the special type.
        const QString wave = name + QStringLiteral(".csv");
        QVERIFY(writeBytes(cwdBytes + '/' + wave.toUtf8(), "0\n1\n0\n-1\n"));
        QCOMPARE(client.query("OUTP1 ON;:SOUR1:FUNC CUST;:SYST:ERR?"), QByteArray("0,\"No error\""));
        QWidget* settingsPanel = child<QWidget>(&window, "widgetModuleSettings");
        QTRY_VERIFY(child<QGroupBox>(settingsPanel, "groupBoxCustom")->isEnabled());
        QTest::mouseClick(child<QPushButton>(settingsPanel, "pushButtonCustomLoad"), Qt::LeftButton);
        QFileDialog* dialog = nullptr;
        QTRY_VERIFY((dialog = window.findChild<QFileDialog*>(QStringLiteral("fileDialogWaveform"))) && dialog->isVisible());
        auto* typed = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(typed);
        typed->setText(cwd + QLatin1Char('/') + wave);
        QTest::keyClick(typed, Qt::Key_Return);
        QTRY_COMPARE(child<QLabel>(settingsPanel, "labelCustomWaveform")->text(), wave);
        window.close();
    }
    finishJournal();

    // The journal: Windows-1251 that decodes strictly, the names in it as far as it can carry them.
    QString journal;
    QVERIFY2(strictWindows1251(readBytes(cwdBytes + "/stendix.log"), &journal), "a byte Windows-1251 leaves undefined");
    const QString setupPath = QDir::toNativeSeparators(cwd + QStringLiteral("/setups/") + name + QStringLiteral(".vek72"));
    for (const QString& line : { QStringLiteral("Настройка сохранена: ") + setupPath,
                                 QStringLiteral("Настройка открыта: ") + setupPath,
                                 QStringLiteral("загружен произвольный сигнал \"") + name + QStringLiteral(".csv\"") })
        QVERIFY2(journal.contains(inJournal(line)), qPrintable(QStringLiteral("not in the journal: ") + inJournal(line)));
    // Nothing went wrong on the way.
    QVERIFY2(!journal.contains(QStringLiteral(" E] ")), qPrintable(journal));
}

QTEST_MAIN(TestFileNames)
#include "tst_file_names.moc"
