#include "keypair.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

QString keyPairProgramPath()
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') +
           QLatin1String(KeyPairProgram::FileName);
}

KeyPairRun runKeyPairProgram(const QString &programPath)
{
    KeyPairRun run;
    // Destroying the process object ends a program that is still running.
    QProcess process;
    // Nothing reads its diagnostics; do not let them pile up in memory.
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(programPath, {QStringLiteral("keypair")}, QIODevice::ReadWrite);
    if (!process.waitForStarted(KeyPairProgram::StartTimeoutMs) ||
        !process.waitForFinished(KeyPairProgram::FinishTimeoutMs) ||
        process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return run;

    const QJsonObject keys = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    run.privateKey = keys.value(QLatin1String("private_key")).toString();
    run.publicKey = keys.value(QLatin1String("public_key")).toString();
    run.outcome = run.privateKey.isEmpty() || run.publicKey.isEmpty() ? KeyPairRun::Outcome::KeysMissing
                                                                      : KeyPairRun::Outcome::Made;
    return run;
}
