// pairgen.exe as the client runs it: a real child process, its output judged from outside.

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <openssl/evp.h>

#include <memory>

namespace {

struct Run
{
    bool finished = false;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run runPairgen(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(PAIRGEN_PATH), arguments);
    Run run;
    run.finished = process.waitForStarted(10000) && process.waitForFinished(10000);
    run.exitStatus = process.exitStatus();
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

struct KeyPair
{
    QString privateKey;
    QString publicKey;
};

// Standard base64 of exactly 32 bytes, with padding and nothing else around it.
QByteArray decodeKey(const QString &text)
{
    const QByteArray ascii = text.toLatin1();
    const auto decoded = QByteArray::fromBase64Encoding(ascii, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.toBase64() != ascii)
        return {};
    return decoded.decoded;
}

// The X25519 public key that belongs to a raw private key, derived here with OpenSSL.
QByteArray derivePublicKey(const QByteArray &privateRaw)
{
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr,
                                     reinterpret_cast<const unsigned char *>(privateRaw.constData()),
                                     size_t(privateRaw.size())),
        &EVP_PKEY_free);
    if (!key)
        return {};
    unsigned char publicRaw[32];
    size_t size = sizeof publicRaw;
    if (EVP_PKEY_get_raw_public_key(key.get(), publicRaw, &size) != 1)
        return {};
    return QByteArray(reinterpret_cast<const char *>(publicRaw), qsizetype(size));
}

} // namespace

class TestPairgen : public QObject
{
    Q_OBJECT

    KeyPair generate()
    {
        const Run run = runPairgen({QStringLiteral("keypair")});
        if (!run.finished || run.exitStatus != QProcess::NormalExit || run.exitCode != 0)
            return {};
        const QJsonObject object = QJsonDocument::fromJson(run.out).object();
        return {object.value(QLatin1String("private_key")).toString(),
                object.value(QLatin1String("public_key")).toString()};
    }

private slots:
    void printsOneCompactJsonObject()
    {
        const Run run = runPairgen({QStringLiteral("keypair")});
        QVERIFY(run.finished);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.err.isEmpty(), run.err.constData());

        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(run.out, &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QVERIFY(document.isObject());
        const QJsonObject object = document.object();
        QCOMPARE(object.keys(), (QStringList{QStringLiteral("private_key"), QStringLiteral("public_key")}));
        QVERIFY(object.value(QLatin1String("private_key")).isString());
        QVERIFY(object.value(QLatin1String("public_key")).isString());
        // One line, compact: exactly what a compact writer makes of the same object.
        QVERIFY(run.out.endsWith('\n'));
        QCOMPARE(run.out.count('\n'), 1);
        QCOMPARE(run.out.chopped(1), QJsonDocument(object).toJson(QJsonDocument::Compact));
    }

    void keysAreX25519PairsInStandardBase64()
    {
        for (int i = 0; i < 5; ++i) {
            const KeyPair pair = generate();
            QCOMPARE(pair.privateKey.size(), 44);
            QCOMPARE(pair.publicKey.size(), 44);
            const QByteArray privateRaw = decodeKey(pair.privateKey);
            const QByteArray publicRaw = decodeKey(pair.publicKey);
            QCOMPARE(privateRaw.size(), 32);
            QCOMPARE(publicRaw.size(), 32);
            QCOMPARE(derivePublicKey(privateRaw), publicRaw);
        }
    }

    void everyRunMakesAFreshPair()
    {
        const KeyPair first = generate();
        const KeyPair second = generate();
        QVERIFY(!first.privateKey.isEmpty());
        QVERIFY(!second.privateKey.isEmpty());
        QVERIFY(first.privateKey != second.privateKey);
        QVERIFY(first.publicKey != second.publicKey);
    }

    void anythingElseIsAUsageError_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no argument") << QStringList{};
        QTest::newRow("extra argument") << QStringList{QStringLiteral("keypair"), QStringLiteral("keypair")};
        QTest::newRow("upper case") << QStringList{QStringLiteral("KEYPAIR")};
        QTest::newRow("other word") << QStringList{QStringLiteral("genkey")};
        QTest::newRow("help") << QStringList{QStringLiteral("--help")};
        QTest::newRow("empty") << QStringList{QString()};
        QTest::newRow("prefix") << QStringList{QStringLiteral("keypai")};
    }

    void anythingElseIsAUsageError()
    {
        QFETCH(QStringList, arguments);
        const Run run = runPairgen(arguments);
        QVERIFY(run.finished);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 2);
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.startsWith("usage: pairgen.exe keypair"), run.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestPairgen)
#include "tst_pairgen.moc"
