#ifndef VEK72ERROR_H
#define VEK72ERROR_H

#include <QString>

// The module library's text for an error code, decoded from its Windows-1251.
QString vek72ErrorText(int code);

// Logs a module library failure as critical. `format` holds %1 for the decimal code and %2 for the
// library's text, as in "Не удалось завершить работу с модулем. Ошибка %1 (%2)".
void logVek72Error(const QString& format, int code);

#endif
