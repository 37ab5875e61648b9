// The key-pair runner with real child programs: the real pairgen.exe and small shell scripts,
// each installed as pairgen.exe beside this test binary, where the client looks for it.

#include "clienttest.h"
#include "keypair.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <cerrno>
#include <csignal>

#ifdef Q_OS_UNIX
#include <sys/types.h>
#endif

Q_DECLARE_METATYPE(KeyPairRun::Outcome)

namespace {

QString besideTest(const QString &name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
}

// Installs by renaming a finished file into place: a program that is still running keeps its
// own file, and a new one is never opened for writing while something executes it.
bool installProgram(const QByteArray &contents)
{
    QTemporaryFile file(besideTest(QStringLiteral("pairgen-XXXXXX")));
    file.setAutoRemove(false);
    if (!file.open() || file.write(contents) != contents.size())
        return false;
    file.close();
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner))
        return false;
    QFile::remove(keyPairProgramPath());
    return QFile::rename(file.fileName(), keyPairProgramPath());
}

bool installScript(const QByteArray &body)
{
    return installProgram("#!/bin/sh\n" + body + "\n");
}

// Prints a well-formed pair, as the scripts below do before they misbehave in other ways.
const QByteArray PrintPair = R"(printf '{"private_key":"cHJpdg==","public_key":"cHVi"}')";

bool isBase64Key(const QString &text)
{
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == 32 && decoded.decoded.toBase64() == text.toLatin1();
}

} // namespace

class KeyPairTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void programLiesBesideTheClient();
    void realProgramMakesFreshPairs();
    void scriptedPairTakenAsPrinted();
    void singleArgumentKeypair();
    void outcomes_data();
    void outcomes();
    void missingProgram();
    void programNotExecutable();
    void crashIsAFailure();
    void slowProgramIsKilled();
    void hugeDiagnosticsDoNotBlock();
    void largeOutputReadWhole();
};

void KeyPairTest::cleanup()
{
    QFile::remove(keyPairProgramPath());
}

void KeyPairTest::programLiesBesideTheClient()
{
    QCOMPARE(QFileInfo(keyPairProgramPath()).absoluteFilePath(),
             QFileInfo(QCoreApplication::applicationFilePath()).absolutePath() +
                 QStringLiteral("/pairgen.exe"));
}

void KeyPairTest::realProgramMakesFreshPairs()
{
    QFile built(QStringLiteral(PAIRGEN_PATH));
    QVERIFY2(built.open(QIODevice::ReadOnly), PAIRGEN_PATH);
    QVERIFY(installProgram(built.readAll()));

    const KeyPairRun first = runKeyPairProgram(keyPairProgramPath());
    QCOMPARE(first.outcome, KeyPairRun::Outcome::Made);
    QVERIFY2(isBase64Key(first.privateKey), qPrintable(first.privateKey));
    QVERIFY2(isBase64Key(first.publicKey), qPrintable(first.publicKey));
    QVERIFY(first.privateKey != first.publicKey);

    const KeyPairRun second = runKeyPairProgram(keyPairProgramPath());
    QCOMPARE(second.outcome, KeyPairRun::Outcome::Made);
    QVERIFY(second.privateKey != first.privateKey);
    QVERIFY(second.publicKey != first.publicKey);
}

void KeyPairTest::scriptedPairTakenAsPrinted()
{
    // The text form is the program's business: whatever strings it prints are the keys.
    const QByteArray script =
        R"(printf '%s\n' '{"public_key":"pub/=+ 公钥","private_key":"  priv\"x ","other":1}')";
    QVERIFY(installScript(script));
    const KeyPairRun run = runKeyPairProgram(keyPairProgramPath());
    QCOMPARE(run.outcome, KeyPairRun::Outcome::Made);
    QCOMPARE(run.privateKey, QStringLiteral("  priv\"x "));
    QCOMPARE(run.publicKey, QStringLiteral("pub/=+ 公钥"));
}

void KeyPairTest::singleArgumentKeypair()
{
    // The program reports its argument count and first argument back as the two keys.
    const QByteArray script = R"(printf '{"private_key":"%s","public_key":"%s|%s"}' "$#" "$1" "$2")";
    QVERIFY(installScript(script));
    const KeyPairRun run = runKeyPairProgram(keyPairProgramPath());
    QCOMPARE(run.outcome, KeyPairRun::Outcome::Made);
    QCOMPARE(run.privateKey, QStringLiteral("1"));
    QCOMPARE(run.publicKey, QStringLiteral("keypair|"));
}

void KeyPairTest::outcomes_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<KeyPairRun::Outcome>("outcome");
    QTest::addColumn<QString>("privateKey");
    QTest::addColumn<QString>("publicKey");

    const QByteArray pair = R"(printf '{"private_key":"cHJpdg==","public_key":"cHVi"}')";
    QTest::newRow("both keys, exit 0") << pair + "; exit 0" << KeyPairRun::Outcome::Made
                                       << QStringLiteral("cHJpdg==") << QStringLiteral("cHVi");
    QTest::newRow("both keys, exit 1")
        << pair + "; exit 1" << KeyPairRun::Outcome::ProgramFailed << QString() << QString();
    QTest::newRow("both keys, exit 2")
        << pair + "; exit 2" << KeyPairRun::Outcome::ProgramFailed << QString() << QString();
    QTest::newRow("both keys, exit 255")
        << pair + "; exit 255" << KeyPairRun::Outcome::ProgramFailed << QString() << QString();
    QTest::newRow("only public_key") << QByteArray(R"(printf '{"public_key":"cHVi"}')")
                                     << KeyPairRun::Outcome::KeysMissing << QString()
                                     << QStringLiteral("cHVi");
    QTest::newRow("only private_key")
        << QByteArray(R"(printf '{"private_key":"cHJpdg=="}')") << KeyPairRun::Outcome::KeysMissing
        << QStringLiteral("cHJpdg==") << QString();
    QTest::newRow("empty private_key")
        << QByteArray(R"(printf '{"private_key":"","public_key":"cHVi"}')")
        << KeyPairRun::Outcome::KeysMissing << QString() << QStringLiteral("cHVi");
    QTest::newRow("not JSON") << QByteArray("echo 'private_key=cHJpdg== public_key=cHVi'")
                              << KeyPairRun::Outcome::KeysMissing << QString() << QString();
    QTest::newRow("truncated JSON") << QByteArray(R"(printf '{"private_key":"cHJpdg==","public_key":"cHVi"')")
                                    << KeyPairRun::Outcome::KeysMissing << QString() << QString();
    QTest::newRow("JSON array") << QByteArray(R"(printf '[{"private_key":"cHJpdg==","public_key":"cHVi"}]')")
                                << KeyPairRun::Outcome::KeysMissing << QString() << QString();
    QTest::newRow("JSON string") << QByteArray(R"(printf '"cHJpdg=="')") << KeyPairRun::Outcome::KeysMissing
                                 << QString() << QString();
    QTest::newRow("non-string keys") << QByteArray(R"(printf '{"private_key":123,"public_key":true}')")
                                     << KeyPairRun::Outcome::KeysMissing << QString() << QString();
    QTest::newRow("object and array keys")
        << QByteArray(R"(printf '{"private_key":{"k":"v"},"public_key":["cHVi"]}')")
        << KeyPairRun::Outcome::KeysMissing << QString() << QString();
    QTest::newRow("null keys") << QByteArray(R"(printf '{"private_key":null,"public_key":null}')")
                               << KeyPairRun::Outcome::KeysMissing << QString() << QString();
    QTest::newRow("keys with other case")
        << QByteArray(R"(printf '{"Private_Key":"cHJpdg==","PUBLIC_KEY":"cHVi"}')")
        << KeyPairRun::Outcome::KeysMissing << QString() << QString();
    QTest::newRow("no output") << QByteArray("exit 0") << KeyPairRun::Outcome::KeysMissing << QString()
                               << QString();
    QTest::newRow("keys on standard error only")
        << QByteArray(R"(printf '{"private_key":"cHJpdg==","public_key":"cHVi"}' >&2)")
        << KeyPairRun::Outcome::KeysMissing << QString() << QString();
    QTest::newRow("output in pieces")
        << QByteArray(R"(printf '{"private_key":"cHJp'; sleep 0.3; printf 'dg==","public_key":"cHVi"}')")
        << KeyPairRun::Outcome::Made << QStringLiteral("cHJpdg==") << QStringLiteral("cHVi");
}

void KeyPairTest::outcomes()
{
    QFETCH(QByteArray, script);
    QFETCH(KeyPairRun::Outcome, outcome);
    QFETCH(QString, privateKey);
    QFETCH(QString, publicKey);

    QVERIFY(installScript(script));
    const KeyPairRun run = runKeyPairProgram(keyPairProgramPath());
    QCOMPARE(run.outcome, outcome);
    QCOMPARE(run.privateKey, privateKey);
    QCOMPARE(run.publicKey, publicKey);
}

void KeyPairTest::missingProgram()
{
    QVERIFY(!QFile::exists(keyPairProgramPath()));
    const KeyPairRun run = runKeyPairProgram(keyPairProgramPath());
    QCOMPARE(run.outcome, KeyPairRun::Outcome::ProgramFailed);
    QVERIFY(run.privateKey.isEmpty());
    QVERIFY(run.publicKey.isEmpty());
}

void KeyPairTest::programNotExecutable()
{
    QVERIFY(installScript(PrintPair));
    QVERIFY(QFile::setPermissions(keyPairProgramPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    const KeyPairRun run = runKeyPairProgram(keyPairProgramPath());
    QCOMPARE(run.outcome, KeyPairRun::Outcome::ProgramFailed);
    QVERIFY(run.privateKey.isEmpty());
}

void KeyPairTest::crashIsAFailure()
{
    // Both keys are out before the crash; they must not be taken.
    QVERIFY(installScript(PrintPair + "; kill -SEGV $$"));
    const KeyPairRun run = runKeyPairProgram(keyPairProgramPath());
    QCOMPARE(run.outcome, KeyPairRun::Outcome::ProgramFailed);
    QVERIFY(run.privateKey.isEmpty());
    QVERIFY(run.publicKey.isEmpty());

    QVERIFY(installScript("kill -KILL $$"));
    QCOMPARE(runKeyPairProgram(keyPairProgramPath()).outcome, KeyPairRun::Outcome::ProgramFailed);
}

void KeyPairTest::slowProgramIsKilled()
{
#ifdef Q_OS_UNIX
    // The keys are printed at once, but the program then outlives the limit. It leaves its
    // process id behind and becomes the sleep, so that the id names the program itself.
    const QString pidFile = besideTest(QStringLiteral("slow.pid"));
    QFile::remove(pidFile);
    QVERIFY(installScript(PrintPair + "\necho $$ > \"" + QFile::encodeName(pidFile) + "\"\nexec sleep 60"));

    // Ending it is the process object's destruction, which says so.
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^QProcess: Destroyed while process")));
    QElapsedTimer timer;
    timer.start();
    const KeyPairRun run = runKeyPairProgram(keyPairProgramPath());
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(run.outcome, KeyPairRun::Outcome::ProgramFailed);
    QVERIFY(run.privateKey.isEmpty());
    QVERIFY(run.publicKey.isEmpty());
    QVERIFY2(elapsed >= 4900 && elapsed < 8000, qPrintable(QString::number(elapsed)));

    QFile file(pidFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    bool numeric = false;
    const pid_t pid = pid_t(file.readAll().trimmed().toLongLong(&numeric));
    QVERIFY(numeric && pid > 0);
    file.remove();
    // Killed and reaped: the id no longer names a process (not even a zombie).
    QTRY_VERIFY_WITH_TIMEOUT(::kill(pid, 0) == -1 && errno == ESRCH, 2000);
#else
    QSKIP("uses a shell script");
#endif
}

void KeyPairTest::hugeDiagnosticsDoNotBlock()
{
    // Far more than a pipe holds: a runner that kept standard error in a pipe without reading it
    // would stall the program until the limit.
    QVERIFY(installScript(
        "i=0; while [ $i -lt 64 ]; do head -c 65536 /dev/zero | tr '\\0' e >&2; i=$((i+1)); done\n" +
        PrintPair));
    const KeyPairRun run = runKeyPairProgram(keyPairProgramPath());
    QCOMPARE(run.outcome, KeyPairRun::Outcome::Made);
    QCOMPARE(run.publicKey, QStringLiteral("cHVi"));
}

void KeyPairTest::largeOutputReadWhole()
{
    // Four megabytes of leading blanks, then the object: standard output is drained while the
    // program runs and parsed whole at the end.
    QVERIFY(installScript("head -c 4194304 /dev/zero | tr '\\0' ' '\n" + PrintPair));
    const KeyPairRun run = runKeyPairProgram(keyPairProgramPath());
    QCOMPARE(run.outcome, KeyPairRun::Outcome::Made);
    QCOMPARE(run.privateKey, QStringLiteral("cHJpdg=="));
}

ZUMVARI_TEST_MAIN(KeyPairTest)

#include "tst_keypair.moc"
