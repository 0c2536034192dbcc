// Runs a command-line tool of the project to its end and keeps what it said.
#ifndef STENDIX_TESTS_TOOLRUN_H
#define STENDIX_TESTS_TOOLRUN_H

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

struct ToolRun
{
    int exitCode = -1;  // -1 when it did not start, did not end within its bound, or crashed
    QByteArray out;
    QByteArray err;
};

// In `workingDirectory` when given; a run longer than `boundMs` counts as not ended.
inline ToolRun runTool(const QString& program, const QStringList& args, const QString& workingDirectory = QString(),
                       int boundMs = 60000)
{
    QProcess process;
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(program, args);
    ToolRun run;
    if (!process.waitForFinished(boundMs) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

#endif
