#pragma once
// Runs verdanta-cli from a test and returns its exit status.

#include <QProcess>
#include <QString>
#include <QStringList>

inline int runCli(const QStringList &args, QString *err = nullptr, QString *out = nullptr,
                  const QString &workingDirectory = QString())
{
    QProcess p;
    if (!workingDirectory.isEmpty())
        p.setWorkingDirectory(workingDirectory);
    p.start(QStringLiteral(VERDANTA_BIN_DIR) + "/app/verdanta-cli", args);
    p.waitForFinished(120000);
    if (err)
        *err = QString::fromLocal8Bit(p.readAllStandardError());
    if (out)
        *out = QString::fromLocal8Bit(p.readAllStandardOutput());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}
