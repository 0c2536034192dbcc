// vekscope --shot against a vekd of the test's own that plays a three-channel page (made to play by
// vek72-play): the picture, the measurements it prints, README's picture made again by README's
// commands, the held levels once output stops, and the exit statuses of what it refuses.
#include <QtTest>

#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "scopeview.h"
#include "toolrun.h"
#include "vekdrunner.h"

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run runScope(const QStringList& args)
{
    const ToolRun run = runTool(QStringLiteral(VEKSCOPE_PATH), args);
    return Run{run.exitCode, QString::fromUtf8(run.out), QString::fromUtf8(run.err)};
}

// One value of a shot's line "chN: frequency F Hz, peak-to-peak P V, mean M V"; NaN for "none" or
// when there is no such line.
double measured(const QString& out, int channel, const QString& what)
{
    const QRegularExpression line(QStringLiteral("^ch%1: .*\\b%2 (\\S+)").arg(channel).arg(what),
                                  QRegularExpression::MultilineOption);
    bool ok = false;
    const double value = line.match(out).captured(1).toDouble(&ok);
    return ok ? value : std::nan("");
}

// Rows of the grid's inside that hold a pixel of the colour, per column.
QMap<int, QList<int>> pixelsOf(const QImage& image, const QRect& grid, const QColor& colour)
{
    QMap<int, QList<int>> columns;
    const QRect inside = grid.adjusted(1, 1, -1, -1);
    for (int x = inside.left(); x <= inside.right(); ++x)
        for (int y = inside.top(); y <= inside.bottom(); ++y)
            if (image.pixelColor(x, y) == colour)
                columns[x].append(y);
    return columns;
}

} // namespace

class TestVekscopeShot : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void threeChannels();
    void readmePicture();
    void refusals_data();
    void refusals();

private:
    VekdRunner vekd;
    QTemporaryDir dir;
};

void TestVekscopeShot::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(vekd.start());
}

void TestVekscopeShot::threeChannels()
{
    QProcess play;
    play.start(QStringLiteral(VEK72_PLAY_PATH),
               {"--signal", "sine:1000:2", "--signal", "triangle:500:1:0.5", "--signal", "line:0:0:3"});
    QTRY_VERIFY_WITH_TIMEOUT(play.canReadLine() || play.state() == QProcess::NotRunning, 20000);
    QVERIFY2(play.readLine().startsWith("playing on 4B210736 slot 3: 3 channel(s) at 12000 samples per second"),
             play.readAllStandardError().constData());

    const QString path = dir.filePath(QStringLiteral("three.png"));
    const Run run = runScope({"--shot", path, "--size", "800x500", "--time-div", "2ms", "--volts-div", "1V"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.startsWith(QStringLiteral("4B210736 slot 3 VEK72-1-8: 12000 frames per second, 0.002 s/div, "
                                               "triggered on ch1 at 0 V\n")),
             qPrintable(run.out));
    QCOMPARE(run.out.count(QRegularExpression("^ch\\d: ", QRegularExpression::MultilineOption)), 3);
    const double lsb = 20.0 / 65535;  // one code of the full range
    QVERIFY(std::fabs(measured(run.out, 1, "frequency") - 1000) < 0.1);
    QVERIFY(std::fabs(measured(run.out, 1, "peak-to-peak") - 4) < 2 * lsb);
    QVERIFY(std::fabs(measured(run.out, 1, "mean")) < 2 * lsb);  // a whole number of periods on the screen
    QVERIFY(std::fabs(measured(run.out, 2, "frequency") - 500) < 0.1);
    QVERIFY(std::fabs(measured(run.out, 2, "peak-to-peak") - 2) < 2 * lsb);
    QVERIFY(std::fabs(measured(run.out, 2, "mean") - 0.5) < 2 * lsb);
    QVERIFY(run.out.contains("ch3: frequency none, "));
    QVERIFY(std::fabs(measured(run.out, 3, "peak-to-peak")) < lsb);
    QVERIFY(std::fabs(measured(run.out, 3, "mean") - 3) < lsb);

    // The picture: 1 V per division, 0 V on the middle line.
    QImage image(path);
    QCOMPARE(image.size(), QSize(800, 500));
    const QRect grid = scope::gridRect(image.rect(), 3);
    const double perVolt = grid.height() / double(scope::divisionsUp);
    auto y = [&](double volts) { return grid.top() + grid.height() / 2.0 - volts * perVolt; };
    auto span = [](const QMap<int, QList<int>>& columns) {
        QList<int> rows;
        for (const QList<int>& c : columns)
            rows += c;
        std::sort(rows.begin(), rows.end());
        return rows.isEmpty() ? qMakePair(-1000, -1000) : qMakePair(rows.first(), rows.last());
    };
    // Channel 3, a line at 3 V all across.
    const QMap<int, QList<int>> level = pixelsOf(image, grid, scope::channelColor(3));
    QVERIFY(level.size() > grid.width() * 9 / 10);
    QVERIFY(std::fabs(span(level).first - y(3)) <= 2 && std::fabs(span(level).second - y(3)) <= 2);
    // Channel 1, a sine from +2 V to -2 V, rising through 0 V in the middle of the screen.
    const QMap<int, QList<int>> sine = pixelsOf(image, grid, scope::channelColor(1));
    QVERIFY(std::fabs(span(sine).first - y(2)) <= 2);
    QVERIFY(std::fabs(span(sine).second - y(-2)) <= 2);
    bool throughCentre = false;
    for (int x = grid.center().x() - 1; x <= grid.center().x() + 1; ++x)
        for (int row : sine.value(x))
            throughCentre = throughCentre || std::fabs(row - y(0)) <= 3;
    QVERIFY(throughCentre);
    // Channel 2, a triangle of 1 V peak around 0.5 V: between -0.5 V and 1.5 V.
    const QMap<int, QList<int>> triangle = pixelsOf(image, grid, scope::channelColor(2));
    QVERIFY(std::fabs(span(triangle).first - y(1.5)) <= 2);
    QVERIFY(std::fabs(span(triangle).second - y(-0.5)) <= 2);

    // The player vanished (killed): the module stops and its outputs hold their last levels, and
    // so does the screen.
    play.kill();
    QVERIFY(play.waitForFinished(10000));
    Run held;
    QVERIFY(QTest::qWaitFor([&] {
        held = runScope({"--shot", path});
        return held.out.contains(QStringLiteral("output stopped"));
    }, 10000));
    QCOMPARE(held.exitCode, 0);
    QVERIFY2(held.out.startsWith(QStringLiteral("4B210736 slot 3 VEK72-1-8: output stopped")), qPrintable(held.out));
    QVERIFY(std::fabs(measured(held.out, 3, "mean") - 3) < lsb);
    QCOMPARE(measured(held.out, 3, "peak-to-peak"), 0.0);

    // A player that ends in order drives every output to 0 V: nothing is left to show.
    QProcess again;
    again.start(QStringLiteral(VEK72_PLAY_PATH), {"--seconds", "0.2", "--signal", "line:0:0:3"});
    QVERIFY(again.waitForFinished(20000));
    QCOMPARE(again.exitCode(), 0);
    const Run zeroed = runScope({"--shot", path});
    QCOMPARE(zeroed.exitCode, 0);
    QCOMPARE(zeroed.out, QStringLiteral("4B210736 slot 3 VEK72-1-8: output stopped, the outputs hold their levels\n"));
}

void TestVekscopeShot::readmePicture()
{
    // README's commands: vek72-play's three channels at a DAC rate of 192 kHz, and vekscope's shot
    // of them, are README's picture, pixel for pixel. Channel 1 rises twice in every period of
    // channel 2, so the screen shows channel 2 in one of two phases: a few shots find the picture's.
    QProcess play;
    play.start(QStringLiteral(VEK72_PLAY_PATH), {"--dac-rate", "192000", "--signal", "sine:1000:rms:2", "--signal",
                                                 "sine:500:rms:1:0.5", "--signal", "line:0:0:3"});
    QTRY_VERIFY_WITH_TIMEOUT(play.canReadLine() || play.state() == QProcess::NotRunning, 20000);
    QVERIFY2(play.readLine().startsWith("playing on 4B210736 slot 3: 3 channel(s) at 48000 samples per second"),
             play.readAllStandardError().constData());

    const QImage readme = QImage(QStringLiteral(README_SCOPE_PICTURE)).convertToFormat(QImage::Format_RGB32);
    QVERIFY(!readme.isNull());
    const QString path = dir.filePath(QStringLiteral("readme.png"));
    bool same = false;
    Run run;
    for (int shot = 0; shot < 40 && !same; ++shot) {
        run = runScope({"--shot", path, "--size", "1000x620"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.err.isEmpty(), qPrintable(run.err));  // not even Qt's environment warnings
        same = QImage(path).convertToFormat(QImage::Format_RGB32) == readme;
    }
    QVERIFY(same);
    // What the picture's measurement lines say, as numbers.
    const double lsb = 20.0 / 65535;
    QVERIFY(std::fabs(measured(run.out, 1, "peak-to-peak") - 4 * std::sqrt(2.0)) < 2 * lsb);
    QVERIFY(std::fabs(measured(run.out, 2, "peak-to-peak") - 2 * std::sqrt(2.0)) < 2 * lsb);
    QVERIFY(std::fabs(measured(run.out, 2, "mean") - 0.5) < lsb);
    QVERIFY(std::fabs(measured(run.out, 3, "mean") - 3) < lsb);
    play.terminate();
    QVERIFY(play.waitForFinished(10000));
    QCOMPARE(play.exitCode(), 0);
}

void TestVekscopeShot::refusals_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    const QString shot = dir.filePath(QStringLiteral("refused.png"));
    QTest::newRow("time per division") << QStringList{"--shot", shot, "--time-div", "5"} << 2
                                       << "неверное значение --time-div '5'";
    QTest::newRow("volts per division") << QStringList{"--shot", shot, "--volts-div", "9=1V"} << 2
                                        << "неверное значение --volts-div '9=1V'";
    QTest::newRow("slot without crate") << QStringList{"--shot", shot, "--slot", "3"} << 2 << "--slot: нужен и --crate";
    QTest::newRow("not a PNG") << QStringList{"--shot", dir.filePath("x.jpg")} << 2 << "кончаться на .png";
    QTest::newRow("crate without VEK72") << QStringList{"--shot", shot, "--crate", "4B210751"} << 1
                                         << "нет VEK72 в крейте 4B210751";
    QTest::newRow("empty slot") << QStringList{"--shot", shot, "--crate", "4B210736", "--slot", "5"} << 1
                                << "нет VEK72 в крейте 4B210736, слоте 5";
    QTest::newRow("no service") << QStringList{"--shot", shot, "--service", "127.0.0.1:1"} << 3 << "недоступна";
    QTest::newRow("unwritable") << QStringList{"--shot", "/nonexistent/dir/x.png"} << 4
                                << "не записать /nonexistent/dir/x.png";
}

void TestVekscopeShot::refusals()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    const Run run = runScope(args);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(says), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("refused.png"))));
}

QTEST_MAIN(TestVekscopeShot)
#include "tst_vekscope_shot.moc"
