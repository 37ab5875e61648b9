// The key-pair runner with real child programs: shell scripts installed as pairgen.exe beside this
// test, where the client looks for it.
#include "clienttest.h"
#include "keypair.h"

#include <QElapsedTimer>

namespace {

const QByteArray Pair = R"(printf '{"private_key":"cHJpdg==","public_key":"cHVi"}')";

} // namespace

class TstKeyPair : public QObject
{
    Q_OBJECT

private slots:
    void outcomes_data();
    void outcomes();
};

void TstKeyPair::outcomes_data()
{
    QTest::addColumn<QByteArray>("script"); // empty: no program at all
    QTest::addColumn<QString>(
        "result"); // "outcome|private key|public key", 0 made, 1 program failed, 2 keys missing
    QTest::newRow("both keys") << Pair + "; exit 0"
                               << "0|cHJpdg==|cHVi";
    QTest::newRow("one argument, keypair")
        << QByteArray(R"(printf '{"private_key":"%s %s.","public_key":"p"}' $# "$@")") << "0|1 keypair.|p";
    QTest::newRow("4 MiB of diagnostics first")
        << "head -c 4194304 /dev/zero >&2; " + Pair << "0|cHJpdg==|cHVi";
    QTest::newRow("exit 1") << Pair + "; exit 1"
                            << "1||";
    QTest::newRow("crash") << Pair + "; kill -SEGV $$"
                           << "1||";
    QTest::newRow("missing") << QByteArray() << "1||";
    // Keys printed at once, but the program outlives the 5 s limit.
    QTest::newRow("too slow") << Pair + "; exec sleep 30"
                              << "1||";
    QTest::newRow("only public_key") << QByteArray(R"(printf '{"public_key":"cHVi"}')") << "2||cHVi";
    QTest::newRow("only private_key")
        << QByteArray(R"(printf '{"private_key":"cHJpdg=="}')") << "2|cHJpdg==|";
    QTest::newRow("not JSON") << QByteArray("echo private_key=x public_key=y") << "2||";
    QTest::newRow("keys on standard error") << Pair + " >&2"
                                            << "2||";
}

void TstKeyPair::outcomes()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, result);
    // Renamed into place: a program still running from an earlier row keeps its own file.
    QFile::remove(keyPairProgramPath());
    QFile program(keyPairProgramPath() + ".new");
    QVERIFY(script.isEmpty() ||
            (program.open(QIODevice::WriteOnly) && program.write("#!/bin/sh\n" + script) > 0 &&
             program.setPermissions(QFileDevice::Permissions(0x7700)) &&
             program.rename(keyPairProgramPath())));
    QElapsedTimer clock;
    clock.start();
    const KeyPairRun run = runKeyPairProgram(keyPairProgramPath());
    QCOMPARE(QString::number(int(run.outcome)) + '|' + run.privateKey + '|' + run.publicKey, result);
    if (script.contains("sleep"))
        QVERIFY2(clock.elapsed() >= 4900 && clock.elapsed() < 8000,
                 qPrintable(QString::number(clock.elapsed())));
}

ZUMVARI_TEST_MAIN(TstKeyPair)
#include "tst_keypair.moc"
