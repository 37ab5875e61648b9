// pairgen.exe as the client runs it: a real child process, its output judged from outside.

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <openssl/evp.h>

#include <memory>

namespace {

struct Run
{
    int exitCode = -1; // -1 also when it did not finish or crashed
    QByteArray out;
    QByteArray err;
};

Run runPairgen(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(PAIRGEN_PATH), arguments);
    const bool finished = process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit;
    return {finished ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

// The X25519 public key that belongs to a raw private key, derived here with OpenSSL.
QByteArray derivePublicKey(const QByteArray &privateRaw)
{
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr,
                                     reinterpret_cast<const unsigned char *>(privateRaw.constData()),
                                     size_t(privateRaw.size())),
        &EVP_PKEY_free);
    unsigned char publicRaw[32];
    size_t size = sizeof publicRaw;
    if (!key || EVP_PKEY_get_raw_public_key(key.get(), publicRaw, &size) != 1)
        return {};
    return QByteArray(reinterpret_cast<const char *>(publicRaw), qsizetype(size));
}

} // namespace

class TestPairgen : public QObject
{
    Q_OBJECT

private slots:
    void keypair()
    {
        // One compact JSON line, private key first, each key standard base64 of 32 bytes with its padding.
        static const QRegularExpression line(
            QStringLiteral(R"re(^\{"private_key":"(%1)","public_key":"(%1)"\}\n$)re")
                .arg(QStringLiteral("[A-Za-z0-9+/]{43}=")));
        QSet<QByteArray> seen;
        for (int i = 0; i < 3; ++i) {
            const Run run = runPairgen({QStringLiteral("keypair")});
            QCOMPARE(run.exitCode, 0);
            QVERIFY2(run.err.isEmpty(), run.err.constData());
            const QRegularExpressionMatch m = line.match(QString::fromLatin1(run.out));
            QVERIFY2(m.hasMatch(), run.out.constData());
            const QByteArray privateRaw = QByteArray::fromBase64(m.captured(1).toLatin1());
            const QByteArray publicRaw = QByteArray::fromBase64(m.captured(2).toLatin1());
            QCOMPARE(privateRaw.toBase64() + publicRaw.toBase64(),
                     (m.captured(1) + m.captured(2)).toLatin1());
            QCOMPARE(privateRaw.size(), 32);
            QCOMPARE(derivePublicKey(privateRaw), publicRaw);
            // A fresh pair every run.
            QVERIFY(!seen.contains(privateRaw) && !seen.contains(publicRaw));
            seen << privateRaw << publicRaw;
        }
    }

    void anythingElseIsAUsageError_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no argument") << QStringList{};
        QTest::newRow("extra argument") << QStringList{QStringLiteral("keypair"), QStringLiteral("keypair")};
        QTest::newRow("upper case") << QStringList{QStringLiteral("KEYPAIR")};
        QTest::newRow("prefix") << QStringList{QStringLiteral("keypai")};
        QTest::newRow("help") << QStringList{QStringLiteral("--help")};
        QTest::newRow("empty") << QStringList{QString()};
    }

    void anythingElseIsAUsageError()
    {
        QFETCH(QStringList, arguments);
        const Run run = runPairgen(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.startsWith("usage: pairgen.exe keypair"), run.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestPairgen)
#include "tst_pairgen.moc"
