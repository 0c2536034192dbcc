#include "report.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QTextDocument>
#include <QUrl>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "version.h"

namespace verify {

namespace {

const QColor passColour(0x1b, 0x7f, 0x2a);
const QColor failColour(0xc0, 0x10, 0x10);
const QColor otherColour(0x80, 0x80, 0x80);

QString when(const QDateTime& t, const char* format)
{
    return QLocale::c().toString(t, QLatin1String(format));
}

// A value of a measurement in its unit: volts to 0.1 µV, hertz to 0.1 mHz.
QString valueText(double value, Measure measure)
{
    return numberText(value, measure == Measure::Frequency ? 4 : 7);
}

bool measured(const StepResult& s)
{
    return s.evaluation.verdict == Verdict::Pass || s.evaluation.verdict == Verdict::Fail;
}

QString measuredText(const StepResult& s)
{
    if (!measured(s))
        return QString();
    return s.evaluation.overload ? QStringLiteral("перегрузка") : valueText(s.evaluation.measured, s.step.measure);
}

QString errorText(const StepResult& s)
{
    return measured(s) && !s.evaluation.overload ? valueText(s.evaluation.error, s.step.measure) : QString();
}

QString measureColumn(Measure measure)
{
    return measureText(measure) + QStringLiteral(", ") + measureUnit(measure);
}

QString escaped(const QString& text)
{
    return text.toHtmlEscaped();
}

QColor verdictColour(Verdict v)
{
    return v == Verdict::Pass ? passColour : v == Verdict::Fail ? failColour : otherColour;
}

QString outcomeText(const RunRecord& r)
{
    if (!r.end.reason.isEmpty())
        return r.end.reason;
    if (r.count(Verdict::Fail) > 0)
        return QStringLiteral("Модуль не годен");
    return r.count(Verdict::Pass) == r.steps.size() && !r.steps.isEmpty() ? QStringLiteral("Модуль годен")
                                                                           : QStringLiteral("Поверка не завершена");
}

// "C:/a/b" + "Протокол ... .pdf" as the bytes of a path: the folder as the program's codec gives it
// (the folder came from it), the name as UTF-8.
QByteArray pathBytes(const QString& directory, const QString& name)
{
    return QFile::encodeName(directory) + '/' + name.toUtf8();
}

bool existsBytes(const QByteArray& path)
{
    struct stat st;
    return ::stat(path.constData(), &st) == 0;
}

// Writes through a file of an ASCII name that `write` fills, then gives it its real name.
bool writeFile(const QString& directory, const QString& name, const std::function<bool(const QString&, QString*)>& write,
               QString* error)
{
    const QString temporary = directory + QStringLiteral("/.report-%1.tmp").arg(QCoreApplication::applicationPid());
    if (!write(temporary, error)) {
        QFile::remove(temporary);
        return false;
    }
    if (std::rename(QFile::encodeName(temporary).constData(), pathBytes(directory, name).constData()) != 0) {
        *error = QStringLiteral("%1: %2").arg(name, QString::fromLocal8Bit(std::strerror(errno)));
        QFile::remove(temporary);
        return false;
    }
    return true;
}

bool writeBytes(const QString& path, const QByteArray& bytes, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size() || !file.flush()) {
        *error = file.errorString();
        return false;
    }
    file.close();
    return true;
}

bool writePdf(const RunRecord& record, const QString& path, QString* error)
{
    QPdfWriter writer(path);
    writer.setCreator(QStringLiteral("stendix %1").arg(QLatin1String(STENDIX_VERSION)));
    writer.setTitle(reportBaseName(record));
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape, QMarginsF(12, 10, 12, 10),
                                     QPageLayout::Millimeter));
    writer.setResolution(300);

    // Laid out on pages of the document's own pixels, each page drawn scaled to the paper, with its
    // number below.
    constexpr double documentWidth = 1100;
    constexpr double footer = 24;
    const QRectF paper = writer.pageLayout().paintRectPixels(writer.resolution());
    const double scale = paper.width() / documentWidth;
    const double pageHeight = paper.height() / scale - footer;
    QTextDocument document;
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    document.setDefaultFont(font);
    document.setDocumentMargin(0);
    for (int channel : channelsOf(record))
        document.addResource(QTextDocument::ImageResource, QUrl(QStringLiteral("plot-%1.png").arg(channel)),
                             channelPlot(record, channel));
    document.setHtml(htmlReport(record, false));
    document.setPageSize(QSizeF(documentWidth, pageHeight));
    const int pages = document.pageCount();

    QPainter painter;
    if (!painter.begin(&writer)) {
        *error = QStringLiteral("PDF не записан");
        return false;
    }
    painter.scale(scale, scale);
    QFont small = font;
    small.setPixelSize(9);
    for (int page = 0; page < pages; ++page) {
        if (page > 0)
            writer.newPage();
        painter.save();
        painter.translate(0, -page * pageHeight);
        document.drawContents(&painter, QRectF(0, page * pageHeight, documentWidth, pageHeight));
        painter.restore();
        painter.setFont(small);
        painter.setPen(Qt::black);
        painter.drawText(QRectF(0, pageHeight, documentWidth, footer), Qt::AlignBottom | Qt::AlignRight,
                         QStringLiteral("%1 — страница %2 из %3").arg(reportBaseName(record)).arg(page + 1).arg(pages));
    }
    painter.end();
    QFile written(path);
    if (!written.exists() || written.size() == 0) {
        *error = QStringLiteral("PDF не записан");
        return false;
    }
    return true;
}

} // namespace

QString summaryText(const RunRecord& r)
{
    QString text = QStringLiteral("%1 годен / %2 не годен").arg(r.count(Verdict::Pass)).arg(r.count(Verdict::Fail));
    const int without = r.steps.size() - r.count(Verdict::Pass) - r.count(Verdict::Fail);
    if (without > 0)
        text += QStringLiteral(" / %1 без результата").arg(without);
    const int notRun = r.info.stepCount - r.steps.size();
    if (notRun > 0)
        text += QStringLiteral(" / %1 не выполнено").arg(notRun);
    return text;
}

QString reportBaseName(const RunRecord& record)
{
    const QString serial = record.info.module.serial.isEmpty() ? QStringLiteral("без номера") : record.info.module.serial;
    // Characters a file name cannot hold on the systems the report goes to.
    QString name = QStringLiteral("Протокол VEK72 %1 %2").arg(serial, when(record.info.started, "yyyy-MM-dd hh-mm"));
    for (QChar& c : name) {
        if (QStringLiteral("\\/:*?\"<>|").contains(c) || c.unicode() < 0x20)
            c = QLatin1Char('_');
    }
    return name;
}

QByteArray csvReport(const RunRecord& record)
{
    QStringList lines{ QStringLiteral("Шаг;Канал;Диапазон;Измерение;Задано;Ожидается;Измерено;Погрешность;Допуск;Результат") };
    const auto field = [](QString text) {
        // A field with the separator or a quote goes in quotes, its quotes doubled.
        if (text.contains(QLatin1Char(';')) || text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\n')))
            text = QLatin1Char('"') + text.replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
        return text;
    };
    for (const StepResult& s : record.steps) {
        const Measure m = s.step.measure;
        QString result = verdictText(s.evaluation.verdict);
        if (!measured(s))
            result = QStringLiteral("не измерен");
        lines << QStringList{ QString::number(s.number), QString::number(s.step.channel), rangeText(s.step.range),
                              field(measureColumn(m)), field(settingText(s.step)), valueText(s.expected, m),
                              field(measuredText(s)), errorText(s), valueText(s.evaluation.limit, m), result }
                     .join(QLatin1Char(';'));
    }
    return QByteArray("\xEF\xBB\xBF") + lines.join(QStringLiteral("\r\n")).toUtf8() + "\r\n";
}

QList<int> channelsOf(const RunRecord& record)
{
    QList<int> channels;
    for (const StepResult& s : record.steps) {
        if (!channels.contains(s.step.channel))
            channels.append(s.step.channel);
    }
    std::sort(channels.begin(), channels.end());
    return channels;
}

QImage channelPlot(const RunRecord& record, int channel, int width, int height)
{
    QVector<const StepResult*> points;
    for (const StepResult& s : record.steps) {
        if (s.step.channel == channel)
            points.append(&s);
    }
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(height / 26);
    p.setFont(font);
    const QFontMetrics metrics(font);
    const int left = metrics.horizontalAdvance(QStringLiteral("-300 %")) + 16;
    const int top = metrics.height() * 2;
    const int bottom = metrics.height() * 2 + 6;
    const QRect area(left, top, width - left - 16, height - top - bottom);

    // Errors as a share of their limits; beyond ±300 % drawn at the edge.
    constexpr double span = 300.0;
    const auto yOf = [&](double percent) {
        const double clipped = std::max(-span, std::min(span, percent));
        return area.top() + area.height() * (span - clipped) / (2 * span);
    };
    const auto xOf = [&](int i) {
        return area.left() + area.width() * (i + 0.5) / std::max(1, int(points.size()));
    };

    p.setPen(Qt::black);
    p.drawText(QRect(0, 0, width, top), Qt::AlignCenter,
               QStringLiteral("Канал %1: погрешность в процентах от допуска (годен в пределах ±100 %)").arg(channel));
    p.fillRect(QRectF(area.left(), yOf(100), area.width(), yOf(-100) - yOf(100)), QColor(0xe6, 0xf4, 0xe8));
    p.setPen(QPen(QColor(0xb0, 0xb0, 0xb0), 1));
    for (int percent = -300; percent <= 300; percent += 100) {
        p.drawLine(QPointF(area.left(), yOf(percent)), QPointF(area.right(), yOf(percent)));
        p.drawText(QRectF(0, yOf(percent) - metrics.height() / 2.0, left - 8, metrics.height()),
                   Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("%1 %").arg(percent));
    }
    p.setPen(QPen(passColour, 2));
    p.drawLine(QPointF(area.left(), yOf(100)), QPointF(area.right(), yOf(100)));
    p.drawLine(QPointF(area.left(), yOf(-100)), QPointF(area.right(), yOf(-100)));
    p.setPen(QPen(Qt::black, 1));
    p.drawRect(area);

    // The steps: a dot each, its number below every few; a break between the ranges.
    const int labelEvery = std::max(1, int(std::ceil(points.size() * metrics.horizontalAdvance(QStringLiteral("000 ")) /
                                                     double(area.width()))));
    const double radius = std::max(3.0, std::min(7.0, area.width() / (3.0 * std::max(1, int(points.size())))));
    for (int i = 0; i < points.size(); ++i) {
        const StepResult& s = *points[i];
        if (i > 0 && points[i - 1]->step.range != s.step.range) {
            p.setPen(QPen(Qt::black, 1, Qt::DashLine));
            p.drawLine(QPointF((xOf(i - 1) + xOf(i)) / 2, area.top()), QPointF((xOf(i - 1) + xOf(i)) / 2, area.bottom()));
        }
        if (i % labelEvery == 0) {
            p.setPen(Qt::black);
            p.drawText(QRectF(xOf(i) - 40, area.bottom() + 4, 80, metrics.height()), Qt::AlignHCenter | Qt::AlignTop,
                       QString::number(s.number));
        }
        if (!measured(s))
            continue;
        const double share = s.evaluation.overload || !(s.evaluation.limit > 0)
                                 ? (s.evaluation.overload ? span : (s.evaluation.error == 0 ? 0 : span))
                                 : 100.0 * s.evaluation.error / s.evaluation.limit;
        p.setPen(Qt::NoPen);
        p.setBrush(verdictColour(s.evaluation.verdict));
        p.drawEllipse(QPointF(xOf(i), yOf(share)), radius, radius);
    }
    p.setPen(Qt::black);
    p.drawText(QRect(area.left(), height - metrics.height() - 2, area.width(), metrics.height()), Qt::AlignCenter,
               QStringLiteral("шаги (номер в протоколе)"));
    return image;
}

QString htmlReport(const RunRecord& record, bool embedded)
{
    const RunInfo& info = record.info;
    const ModuleFacts& m = info.module;
    QString h;
    h += QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%1</title>"
                        "<style>body{font-family:'DejaVu Sans',sans-serif;font-size:9pt}"
                        "table{border-collapse:collapse} td,th{padding:2px 5px}</style></head><body>\n")
             .arg(escaped(reportBaseName(record)));
    h += QStringLiteral("<h2>Протокол поверки модуля %1 № %2</h2>\n").arg(escaped(m.name), escaped(m.serial));

    const auto row = [](const QString& name, const QString& value) {
        return QStringLiteral("<tr><td>%1</td><td><b>%2</b></td></tr>\n").arg(name, escaped(value));
    };
    h += QStringLiteral("<table cellpadding=\"2\">\n");
    h += row(QStringLiteral("Модуль"), m.name);
    h += row(QStringLiteral("Заводской номер"), m.serial);
    h += row(QStringLiteral("Версия прошивки"), m.firmware);
    h += row(QStringLiteral("Крейт, слот"), QStringLiteral("%1, слот %2").arg(m.crate).arg(m.slot));
    h += row(QStringLiteral("Мультиметр"), info.meter.isEmpty() ? info.meterAddress
                                                                  : QStringLiteral("%1 (%2)").arg(info.meter, info.meterAddress));
    h += row(QStringLiteral("Подключение"), info.scanner ? QStringLiteral("через коммутатор мультиметра (каналы 101–108)")
                                                          : QStringLiteral("щупом к выходу канала"));
    const QStringList scenario = QStringList{ info.scenarioTitle, info.scenarioFile.isEmpty() ? QString() : QStringLiteral("файл ") + info.scenarioFile }
                                     .filter(QRegularExpression(QStringLiteral("\\S")));
    h += row(QStringLiteral("Сценарий"), scenario.isEmpty() ? QStringLiteral("—") : scenario.join(QStringLiteral(", ")));
    h += row(QStringLiteral("Начало"), when(info.started, "dd.MM.yyyy hh:mm:ss"));
    if (record.finished)
        h += row(QStringLiteral("Окончание"), when(record.end.finished, "dd.MM.yyyy hh:mm:ss"));
    if (!info.operatorName.trimmed().isEmpty())
        h += row(QStringLiteral("Поверитель"), info.operatorName);
    if (!info.conditions.trimmed().isEmpty())
        h += row(QStringLiteral("Условия"), info.conditions);
    h += row(QStringLiteral("Программа"), QStringLiteral("stendix %1").arg(QLatin1String(STENDIX_VERSION)));
    h += QStringLiteral("</table>\n");

    const QColor outcome = record.count(Verdict::Fail) > 0 || !record.end.reason.isEmpty() ? failColour : passColour;
    h += QStringLiteral("<p style=\"font-size:11pt\"><b>Итог: %1.</b> <b><font color=\"%2\">%3</font></b></p>\n")
             .arg(summaryText(record), outcome.name(), escaped(outcomeText(record)));
    if (record.finished && !record.end.outputsZeroed && !record.end.moduleUnreachable)
        h += QStringLiteral("<p><font color=\"%1\">Выходы модуля не удалось перевести в 0 В.</font></p>\n").arg(failColour.name());

    h += QStringLiteral("<table border=\"1\" cellspacing=\"0\" cellpadding=\"2\" width=\"100%\">\n<tr bgcolor=\"#e8e8e8\">"
                        "<th>Шаг</th><th>Канал</th><th>Диапазон</th><th>Измерение</th><th>Задано</th>"
                        "<th>Ожидается</th><th>Измерено</th><th>Погрешность</th><th>Допуск ±</th><th>Результат</th></tr>\n");
    QString category;
    for (const StepResult& s : record.steps) {
        const QString path = s.path.join(QStringLiteral(" › "));
        if (path != category) {
            category = path;
            h += QStringLiteral("<tr><td colspan=\"10\" bgcolor=\"#f4f4f4\"><b>%1</b></td></tr>\n").arg(escaped(path));
        }
        const Measure me = s.step.measure;
        QString verdict = escaped(verdictText(s.evaluation.verdict));
        if (!s.note.isEmpty())
            verdict += QStringLiteral("<br><small>%1</small>").arg(escaped(s.note));
        h += QStringLiteral("<tr><td align=\"right\">%1</td><td align=\"center\">%2</td><td>%3</td><td>%4</td><td>%5</td>"
                            "<td align=\"right\">%6</td><td align=\"right\">%7</td><td align=\"right\">%8</td>"
                            "<td align=\"right\">%9</td><td><b><font color=\"%10\">%11</font></b></td></tr>\n")
                 .arg(s.number).arg(s.step.channel).arg(rangeText(s.step.range), escaped(measureColumn(me)),
                                                        escaped(stepTitle(s.step)), valueText(s.expected, me),
                                                        escaped(measuredText(s)), errorText(s), valueText(s.evaluation.limit, me))
                 .arg(verdictColour(s.evaluation.verdict).name(), verdict);
    }
    h += QStringLiteral("</table>\n");

    for (int channel : channelsOf(record)) {
        QString source = QStringLiteral("plot-%1.png").arg(channel);
        if (embedded) {
            QByteArray png;
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            channelPlot(record, channel).save(&buffer, "PNG");
            source = QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64());
        }
        h += QStringLiteral("<p><img src=\"%1\" width=\"900\"></p>\n").arg(source);
    }

    h += QStringLiteral("<p><br>Поверитель: ____________________ %1 &nbsp;&nbsp;&nbsp; Дата: ____________</p>\n")
             .arg(escaped(info.operatorName));
    h += QStringLiteral("</body></html>\n");
    return h;
}

bool writeReport(const RunRecord& record, const QString& directory, ReportFiles* written, QString* error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    if (!QDir().mkpath(directory)) {
        *error = QStringLiteral("папка %1 не создана").arg(directory);
        return false;
    }
    // One base name for the three files, none of them in use.
    const QString base = reportBaseName(record);
    QString name = base;
    for (int n = 2;; ++n) {
        bool taken = false;
        for (const char* suffix : { ".html", ".pdf", ".csv" })
            taken = taken || existsBytes(pathBytes(directory, name + QLatin1String(suffix)));
        if (!taken)
            break;
        name = QStringLiteral("%1 (%2)").arg(base).arg(n);
    }
    ReportFiles files;
    const QString html = htmlReport(record, true);
    const QByteArray csv = csvReport(record);
    bool ok = writeFile(directory, name + QStringLiteral(".html"),
                        [&](const QString& path, QString* e) { return writeBytes(path, html.toUtf8(), e); }, error);
    if (ok)
        files.html = directory + QLatin1Char('/') + name + QStringLiteral(".html");
    ok = ok && writeFile(directory, name + QStringLiteral(".pdf"),
                         [&](const QString& path, QString* e) { return writePdf(record, path, e); }, error);
    if (ok)
        files.pdf = directory + QLatin1Char('/') + name + QStringLiteral(".pdf");
    ok = ok && writeFile(directory, name + QStringLiteral(".csv"),
                         [&](const QString& path, QString* e) { return writeBytes(path, csv, e); }, error);
    if (ok)
        files.csv = directory + QLatin1Char('/') + name + QStringLiteral(".csv");
    if (written)
        *written = files;
    if (!ok)
        *error = QStringLiteral("протокол не записан в %1: %2").arg(directory, *error);
    return ok;
}

} // namespace verify
