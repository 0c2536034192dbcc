// The protocol of a run: HTML and PDF (Qt's own text document and PDF writer) with a plot per
// channel of the errors against their limits, and a CSV of every step for a spreadsheet with
// Russian settings (UTF-8 with a byte-order mark, ';' between fields, decimal commas).
#ifndef VERIFY_REPORT_H
#define VERIFY_REPORT_H

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>

#include "runrecord.h"

namespace verify {

// "Протокол VEK72 72A10419 2026-12-07 14-30": what and when; the one place report names are made.
QString reportBaseName(const RunRecord& record);

// "227 годен / 13 не годен", with " / N без результата" and " / N не выполнено" when there are such.
QString summaryText(const RunRecord& record);

// The CSV's lines, CRLF after each, behind a byte-order mark:
//   Шаг;Канал;Диапазон;Измерение;Задано;Ожидается;Измерено;Погрешность;Допуск;Результат
QByteArray csvReport(const RunRecord& record);
// The protocol as HTML. With `embedded` the plots are inside the file (data: URIs), else they are
// named "plot-N.png" for a document that holds them as resources.
QString htmlReport(const RunRecord& record, bool embedded);
// The channels the record has steps of, ascending.
QList<int> channelsOf(const RunRecord& record);
// Channel N's errors as a share of their limits, step by step: ±100 % is the tolerance.
QImage channelPlot(const RunRecord& record, int channel, int width = 1400, int height = 440);

struct ReportFiles
{
    QString html;
    QString pdf;
    QString csv;
};
// Writes the three files into `directory`, made when missing. A name in use gets " (2)", " (3)"...
// The names reach the disk as UTF-8 whatever the program's 8-bit codec. False with the reason when
// any of them could not be written (those written stay).
bool writeReport(const RunRecord& record, const QString& directory, ReportFiles* written, QString* error);

} // namespace verify

#endif
