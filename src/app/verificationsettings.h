#ifndef VERIFICATIONSETTINGS_H
#define VERIFICATIONSETTINGS_H

#include <QString>

class QSettings;

// Group "Verification" of "stendix.ini": where the protocols of verification runs go, and what the
// page "Поверка" keeps between runs. Nothing is written until the operator changes it.
struct VerificationSettings
{
    QString reportPath = QStringLiteral("reports");  // "ReportPath": relative to the working directory
    bool autoSave = true;                            // "AutoSave": "Автосохранение отчета"
    QString operatorName;                            // "Operator"
    QString conditions;                              // "Conditions": the ambient conditions as written

    // The report folder as an absolute path (a relative one lies in the working directory).
    QString reportDirectory() const;
};

VerificationSettings readVerificationSettings(QSettings* settings);
void writeVerificationSettings(QSettings* settings, const VerificationSettings& values);

#endif
