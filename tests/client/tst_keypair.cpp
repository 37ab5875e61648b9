// The key-pair runner with real child programs: the real pairgen.exe and small shell scripts,
// each installed as pairgen.exe beside this test binary, where the client looks for it.

#include "clienttest.h"
#include "keypair.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <cerrno>
#include <csignal>

#ifdef Q_OS_UNIX
#include <sys/types.h>
#endif

Q_DECLARE_METATYPE(KeyPairRun::Outcome)

namespace {

// Installs by renaming a finished file into place: a program that is still running keeps its
// own file, and a new one is never opened for writing while something executes it.
bool installProgram(const QByteArray &contents, bool executable = true)
{
    QTemporaryFile file(QCoreApplication::applicationDirPath() + QStringLiteral("/pairgen-XXXXXX"));
    file.setAutoRemove(false);
    if (!file.open() || file.write(contents) != contents.size())
        return false;
    file.close();
    const auto mode = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (!file.setPermissions(executable ? mode | QFileDevice::ExeOwner : mode))
        return false;
    QFile::remove(keyPairProgramPath());
    return QFile::rename(file.fileName(), keyPairProgramPath());
}

// Prints a well-formed pair, as the scripts below do before they misbehave in other ways.
const QByteArray PrintPair = R"(printf '{"private_key":"cHJpdg==","public_key":"cHVi"}')";
// A script installed without the permission to run it.
const QByteArray NotExecutable = PrintPair + " # not executable";

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
    void cleanup() { QFile::remove(keyPairProgramPath()); }

    void realProgramMakesFreshPairs();
    void outcomes_data();
    void outcomes();
    void slowProgramIsKilled();
};

void KeyPairTest::realProgramMakesFreshPairs()
{
    // Beside the running program, under its fixed name.
    QCOMPARE(keyPairProgramPath(), QCoreApplication::applicationDirPath() + QStringLiteral("/pairgen.exe"));
    QFile built(QStringLiteral(PAIRGEN_PATH));
    QVERIFY2(built.open(QIODevice::ReadOnly), PAIRGEN_PATH);
    QVERIFY(installProgram(built.readAll()));

    const KeyPairRun first = runKeyPairProgram(keyPairProgramPath());
    const KeyPairRun second = runKeyPairProgram(keyPairProgramPath());
    for (const KeyPairRun &run : {first, second}) {
        QCOMPARE(run.outcome, KeyPairRun::Outcome::Made);
        QVERIFY2(isBase64Key(run.privateKey) && isBase64Key(run.publicKey), qPrintable(run.privateKey));
        QVERIFY(run.privateKey != run.publicKey);
    }
    QVERIFY(second.privateKey != first.privateKey && second.publicKey != first.publicKey);
}

void KeyPairTest::outcomes_data()
{
    QTest::addColumn<QByteArray>("script"); // empty: no program at all
    QTest::addColumn<KeyPairRun::Outcome>("outcome");
    QTest::addColumn<QString>("privateKey");
    QTest::addColumn<QString>("publicKey");
    using O = KeyPairRun::Outcome;
    const auto row = [](const char *tag, const QByteArray &script, O outcome, const char *privateKey = "",
                        const char *publicKey = "") {
        QTest::newRow(tag) << script << outcome << QString::fromUtf8(privateKey)
                           << QString::fromUtf8(publicKey);
    };
    row("both keys, exit 0", PrintPair + "; exit 0", O::Made, "cHJpdg==", "cHVi");
    // The text form is the program's business: whatever strings it prints are the keys.
    row("keys taken as printed",
        R"(printf '%s\n' '{"public_key":"pub/=+ 公钥","private_key":"  priv\"x ","other":1}')", O::Made,
        "  priv\"x ", "pub/=+ 公钥");
    // The program reports its argument count and arguments back as a key.
    row("one argument, keypair", R"(printf '{"private_key":"%s|%s|%s","public_key":"p"}' "$#" "$1" "$2")",
        O::Made, "1|keypair|", "p");
    row("output in pieces",
        R"(printf '{"private_key":"cHJp'; sleep 0.3; printf 'dg==","public_key":"cHVi"}')", O::Made,
        "cHJpdg==", "cHVi");
    // Far more than a pipe holds, on either channel: drained while the program runs.
    row("4 MiB of blanks first", "head -c 4194304 /dev/zero | tr '\\0' ' '\n" + PrintPair, O::Made,
        "cHJpdg==", "cHVi");
    row("4 MiB of diagnostics", "head -c 4194304 /dev/zero | tr '\\0' e >&2\n" + PrintPair, O::Made,
        "cHJpdg==", "cHVi");

    // Failures of the program: the keys it printed are not taken.
    row("both keys, exit 1", PrintPair + "; exit 1", O::ProgramFailed);
    row("both keys, exit 255", PrintPair + "; exit 255", O::ProgramFailed);
    row("crash after the keys", PrintPair + "; kill -SEGV $$", O::ProgramFailed);
    row("killed", "kill -KILL $$", O::ProgramFailed);
    row("missing program", QByteArray(), O::ProgramFailed);
    row("not executable", NotExecutable, O::ProgramFailed);

    // The program ran fine but printed no usable pair: what it did print is kept.
    row("only public_key", R"(printf '{"public_key":"cHVi"}')", O::KeysMissing, "", "cHVi");
    row("only private_key", R"(printf '{"private_key":"cHJpdg=="}')", O::KeysMissing, "cHJpdg==");
    row("empty private_key", R"(printf '{"private_key":"","public_key":"cHVi"}')", O::KeysMissing, "",
        "cHVi");
    row("not JSON", "echo 'private_key=cHJpdg== public_key=cHVi'", O::KeysMissing);
    row("JSON array", R"(printf '[{"private_key":"cHJpdg==","public_key":"cHVi"}]')", O::KeysMissing);
    row("non-string keys", R"(printf '{"private_key":123,"public_key":["cHVi"]}')", O::KeysMissing);
    row("keys on standard error only", PrintPair + " >&2", O::KeysMissing);
}

void KeyPairTest::outcomes()
{
    QFETCH(QByteArray, script);
    QFETCH(KeyPairRun::Outcome, outcome);
    QFETCH(QString, privateKey);
    QFETCH(QString, publicKey);

    if (!script.isEmpty())
        QVERIFY(installProgram("#!/bin/sh\n" + script + "\n", script != NotExecutable));
    const KeyPairRun run = runKeyPairProgram(keyPairProgramPath());
    QCOMPARE(run.outcome, outcome);
    QCOMPARE(run.privateKey, privateKey);
    QCOMPARE(run.publicKey, publicKey);
}

void KeyPairTest::slowProgramIsKilled()
{
    // The keys are printed at once, but the program then outlives the limit. It leaves its
    // process id behind and becomes the sleep, so that the id names the program itself.
    const QString pidFile = QCoreApplication::applicationDirPath() + QStringLiteral("/slow.pid");
    QFile::remove(pidFile);
    QVERIFY(installProgram("#!/bin/sh\n" + PrintPair + "\necho $$ > \"" + QFile::encodeName(pidFile) +
                           "\"\nexec sleep 60\n"));

    // Ending it is the process object's destruction, which says so.
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^QProcess: Destroyed while process")));
    QElapsedTimer timer;
    timer.start();
    const KeyPairRun run = runKeyPairProgram(keyPairProgramPath());
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(run.outcome, KeyPairRun::Outcome::ProgramFailed);
    QVERIFY(run.privateKey.isEmpty() && run.publicKey.isEmpty());
    QVERIFY2(elapsed >= 4900 && elapsed < 8000, qPrintable(QString::number(elapsed)));

    QFile file(pidFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    bool numeric = false;
    const pid_t pid = pid_t(file.readAll().trimmed().toLongLong(&numeric));
    QVERIFY(numeric && pid > 0);
    file.remove();
    // Killed and reaped: the id no longer names a process (not even a zombie).
    QTRY_VERIFY_WITH_TIMEOUT(::kill(pid, 0) == -1 && errno == ESRCH, 2000);
}

ZUMVARI_TEST_MAIN(KeyPairTest)

#include "tst_keypair.moc"
