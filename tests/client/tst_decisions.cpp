// Boundaries of the window's and the client's small decisions, where an off-by-one or a lax
// comparison would show only on some days or for some backends.
#include "clienttest.h"
#include "decisions.h"

#include <QJsonValue>
#include <QtTest>

#include <limits>

Q_DECLARE_METATYPE(std::optional<qint64>)

class TstDecisions : public QObject
{
    Q_OBJECT

private slots:
    void membershipDaysRemaining_data();
    void membershipDaysRemaining();
    void roundTripValue_data();
    void roundTripValue();
    void isNewerRelease_data();
    void isNewerRelease();
    void downloadPercent_data();
    void downloadPercent();
    void steamAppIdForSlug_data();
    void steamAppIdForSlug();
};

void TstDecisions::membershipDaysRemaining_data()
{
    QTest::addColumn<QString>("now");
    QTest::addColumn<QString>("expiry");
    QTest::addColumn<qint64>("days");

    // Midnights in UTC between the two; the time of day does not count.
    QTest::newRow("later the same UTC day") << "2025-03-10T00:00:01Z"
                                            << "2025-03-10T23:59:59Z" << qint64(0);
    QTest::newRow("00:01 tomorrow") << "2025-03-10T23:59:00Z"
                                    << "2025-03-11T00:01:00Z" << qint64(1);
    QTest::newRow("exactly midnight") << "2025-03-10T23:59:59Z"
                                      << "2025-03-11T00:00:00Z" << qint64(1);
    QTest::newRow("a minute before midnight") << "2025-03-10T00:00:00Z"
                                              << "2025-03-10T23:59:00Z" << qint64(0);
    // Offsets are converted to UTC before the dates are compared.
    QTest::newRow("+08:00, same UTC day") << "2025-03-10T23:30:00+08:00"
                                          << "2025-03-11T07:59:00+08:00" << qint64(0);
    QTest::newRow("+08:00, next UTC day") << "2025-03-10T23:30:00+08:00"
                                          << "2025-03-11T08:00:00+08:00" << qint64(1);
    QTest::newRow("-05:00 now already tomorrow in UTC") << "2025-03-10T20:00:00-05:00"
                                                        << "2025-03-11T23:00:00Z" << qint64(0);
    QTest::newRow("across a year end") << "2024-12-31T12:00:00Z"
                                       << "2025-03-01T00:00:00Z" << qint64(60);
    QTest::newRow("leap day") << "2024-02-28T00:00:00Z"
                              << "2024-03-01T00:00:00Z" << qint64(2);
    QTest::newRow("expired yesterday") << "2025-03-10T00:00:00Z"
                                       << "2025-03-09T12:00:00Z" << qint64(0);
    QTest::newRow("expired years ago") << "2025-03-10T00:00:00Z"
                                       << "2001-01-01T00:00:00Z" << qint64(0);
    QTest::newRow("unparseable expiry") << "2025-03-10T00:00:00Z"
                                        << "next Tuesday" << qint64(0);
}

void TstDecisions::membershipDaysRemaining()
{
    QFETCH(QString, now);
    QFETCH(QString, expiry);
    QFETCH(qint64, days);
    const QDateTime nowTime = QDateTime::fromString(now, Qt::ISODate);
    QVERIFY(nowTime.isValid());
    QCOMPARE(::membershipDaysRemaining(nowTime, QDateTime::fromString(expiry, Qt::ISODate)), days);
}

void TstDecisions::roundTripValue_data()
{
    QTest::addColumn<QJsonValue>("score");
    QTest::addColumn<int>("value");

    QTest::newRow("0") << QJsonValue(0) << 1;
    QTest::newRow("-5") << QJsonValue(-5) << 1;
    QTest::newRow("1") << QJsonValue(1) << 1;
    QTest::newRow("2") << QJsonValue(2) << 2;
    QTest::newRow("250") << QJsonValue(250) << 250;
    QTest::newRow("87.5") << QJsonValue(87.5) << 100;
    QTest::newRow("0.5") << QJsonValue(0.5) << 100;
    QTest::newRow("\"35\"") << QJsonValue(QStringLiteral("35")) << 100;
    QTest::newRow("absent") << QJsonValue(QJsonValue::Undefined) << 100;
    QTest::newRow("null") << QJsonValue() << 100;
    QTest::newRow("true") << QJsonValue(true) << 100;
    QTest::newRow("largest int") << QJsonValue(std::numeric_limits<int>::max())
                                 << std::numeric_limits<int>::max();
    // A whole number beyond int is not a usable integer either.
    QTest::newRow("one past int") << QJsonValue(qint64(std::numeric_limits<int>::max()) + 1) << 100;
    QTest::newRow("huge") << QJsonValue(1e300) << 100;
    QTest::newRow("huge negative") << QJsonValue(-1e12) << 100;
}

void TstDecisions::roundTripValue()
{
    QFETCH(QJsonValue, score);
    QFETCH(int, value);
    QCOMPARE(::roundTripValue(score), value);
}

void TstDecisions::isNewerRelease_data()
{
    QTest::addColumn<QString>("offered");
    QTest::addColumn<QString>("running");
    QTest::addColumn<bool>("newer");

    // Every "-alpha" and "-beta" goes before the number is read, wherever it stands.
    QTest::newRow("suffix inside the number") << "0-beta.5"
                                              << "0.4.0" << true;
    QTest::newRow("both suffixes") << "0.4.0-beta-alpha"
                                   << "0.4.0" << false;
    QTest::newRow("other suffix ignored after the number") << "0.4.0-rc2"
                                                           << "0.4.0" << false;
    QTest::newRow("9 vs 10") << "0.10"
                             << "0.9.9" << true;
    QTest::newRow("longer is newer") << "0.4.0"
                                     << "0.4" << true;
}

void TstDecisions::isNewerRelease()
{
    QFETCH(QString, offered);
    QFETCH(QString, running);
    QFETCH(bool, newer);
    QCOMPARE(::isNewerRelease(offered, running), newer);
}

void TstDecisions::downloadPercent_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<std::optional<qint64>>("percent");

    QTest::newRow("512 of 2048") << qint64(512) << qint64(2048) << std::optional<qint64>(25);
    QTest::newRow("1 of 3 truncates") << qint64(1) << qint64(3) << std::optional<qint64>(33);
    QTest::newRow("2 of 3 truncates") << qint64(2) << qint64(3) << std::optional<qint64>(66);
    QTest::newRow("all") << qint64(2048) << qint64(2048) << std::optional<qint64>(100);
    QTest::newRow("nothing yet") << qint64(0) << qint64(2048) << std::optional<qint64>(0);
    QTest::newRow("beyond 32 bits") << qint64(5000000000) << qint64(10000000000) << std::optional<qint64>(50);
    QTest::newRow("total 0") << qint64(0) << qint64(0) << std::optional<qint64>();
    QTest::newRow("total -1") << qint64(4096) << qint64(-1) << std::optional<qint64>();
}

void TstDecisions::downloadPercent()
{
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(std::optional<qint64>, percent);
    const std::optional<qint64> got = ::downloadPercent(received, total);
    QCOMPARE(got.has_value(), percent.has_value());
    if (percent)
        QCOMPARE(*got, *percent);
}

void TstDecisions::steamAppIdForSlug_data()
{
    QTest::addColumn<QString>("slug");
    QTest::addColumn<QString>("appId");

    QTest::newRow("cs2") << "cs2"
                         << "730";
    QTest::newRow("pubg") << "pubg"
                          << "578080";
    QTest::newRow("call-of-duty") << "call-of-duty"
                                  << "1938090";
    QTest::newRow("capitals") << "CS2"
                              << "";
    QTest::newRow("surrounding space") << " cs2 "
                                       << "";
    QTest::newRow("prefix of a slug") << "apex"
                                      << "";
    QTest::newRow("empty") << ""
                           << "";
}

void TstDecisions::steamAppIdForSlug()
{
    QFETCH(QString, slug);
    QFETCH(QString, appId);
    QCOMPARE(::steamAppIdForSlug(slug), appId);
}

ZUMVARI_TEST_MAIN(TstDecisions)
#include "tst_decisions.moc"
