#include "remotesession.h"

#include <QRegularExpression>
#include <QStringList>

#include "module.h"

RemoteSession::RemoteSession(const scpi::CommandTable& commandTable, Module* moduleObject)
    : table(commandTable), module(moduleObject)
{
}

int RemoteSession::moduleFailureCode(const QString& text)
{
    static const QRegularExpression libraryCode(QStringLiteral("Ошибка (-\\d+) \\("));
    const QRegularExpressionMatch match = libraryCode.match(text);
    if (match.hasMatch()) {
        const int code = match.captured(1).toInt();
        // The library's time-out and lost connection: the service did not carry it out.
        return code == -103 || code == -102 ? scpi::ExecutionError : scpi::HardwareError;
    }
    if (text.contains(QStringLiteral("не отвечает")))
        return scpi::ExecutionError;
    if (text.startsWith(QStringLiteral("Выходы модуля могут оставаться под напряжением")))
        return scpi::HardwareError;
    return scpi::SettingsConflict;
}

void RemoteSession::collectModuleFailures()
{
    if (!module)
        return;
    for (const QString& failure : module->takeRemoteFailures())
        report(moduleFailureCode(failure), failure);
}

void RemoteSession::updateConditions()
{
    status.operation.setCondition(module && module->isRunning() ? scpi::OutputRunning : 0);
    status.questionable.setCondition(module && module->isOpened() ? 0 : scpi::NoModuleOpen);
}

bool RemoteSession::synchronise()
{
    if (!module)
        return true;
    // The restart the line's commands asked for so far follows now, and is waited for.
    module->holdRestarts(false);
    const bool settled = module->settle(synchroniseMs);
    module->holdRestarts(true);
    changed = false;
    collectModuleFailures();
    return settled;
}

QByteArray RemoteSession::execute(const QByteArray& line)
{
    const QVector<scpi::Command> commands = scpi::parseLine(line);
    updateConditions();
    if (commands.isEmpty())
        return {};
    // What the module reported since the last line (a restart that came after it, say).
    collectModuleFailures();
    if (module)
        module->holdRestarts(true);
    QStringList answers;
    for (const scpi::Command& command : commands) {
        int code = command.error;
        if (code == 0 && changed && module) {
            // What the earlier commands set off on the panels has to be done before this one
            // reads or checks anything there.
            if (!module->settle(changeSettleMs))
                code = scpi::ExecutionError;
            changed = false;
            collectModuleFailures();
        }
        QString answer;
        QString detail;
        bool answered = false;
        if (code == 0) {
            changed = changed || !command.header.query;
            code = table.execute(command, *this, &answer, &answered, &detail);
        }
        updateConditions();
        if (code != 0) {
            report(code, detail);
            if (errorReported)
                errorReported(code, command.text);
            // A command error (-1xx: the line could not be read as commands) or a module that did not
            // answer (-200) ends the line; after a refused value or setting (-201 .. -299) the line
            // goes on, so that a query further on (the error queue, say) is still answered.
            if (code >= scpi::ExecutionError || code < -299)
                break;
            continue;
        }
        if (answered)
            answers.append(answer);
    }
    if (module)
        module->holdRestarts(false);
    if (answers.isEmpty())
        return {};
    return answers.join(QLatin1Char(';')).toUtf8() + '\n';
}
