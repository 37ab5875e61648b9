// Boundaries of the window's and the client's small decisions, where an off-by-one or a lax
// comparison would show only on some days or for some backends.
#include "clienttest.h"
#include "decisions.h"

#include <QJsonValue>
#include <QtTest>

#include <limits>

class TstDecisions : public QObject
{
    Q_OBJECT

private slots:
    void membershipDaysRemaining_data();
    void membershipDaysRemaining();
    void roundTripValue_data();
    void roundTripValue();
    void isNewerRelease();
    void downloadPercent_data();
    void downloadPercent();
    void steamAppIdForSlug();
};

void TstDecisions::membershipDaysRemaining_data()
{
    QTest::addColumn<QString>("now");
    QTest::addColumn<QString>("expiry");
    QTest::addColumn<qint64>("days");
    const auto row = [](const char *tag, const char *now, const char *expiry, qint64 days) {
        QTest::newRow(tag) << QString::fromLatin1(now) << QString::fromLatin1(expiry) << days;
    };
    // Midnights in UTC between the two; the time of day does not count.
    row("a minute before midnight", "2025-03-10T00:00:00Z", "2025-03-10T23:59:00Z", 0);
    row("exactly midnight", "2025-03-10T23:59:59Z", "2025-03-11T00:00:00Z", 1);
    // Offsets are converted to UTC before the dates are compared.
    row("+08:00, same UTC day", "2025-03-10T23:30:00+08:00", "2025-03-11T07:59:00+08:00", 0);
    row("+08:00, next UTC day", "2025-03-10T23:30:00+08:00", "2025-03-11T08:00:00+08:00", 1);
    row("-05:00 now already tomorrow in UTC", "2025-03-10T20:00:00-05:00", "2025-03-11T23:00:00Z", 0);
    row("expired yesterday", "2025-03-10T00:00:00Z", "2025-03-09T12:00:00Z", 0);
    row("unparseable expiry", "2025-03-10T00:00:00Z", "next Tuesday", 0);
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
    QTest::newRow("0 is raised to 1") << QJsonValue(0) << 1;
    QTest::newRow("-5 is raised to 1") << QJsonValue(-5) << 1;
    QTest::newRow("2") << QJsonValue(2) << 2;
    // Not a whole number, or none at all: 100.
    QTest::newRow("87.5") << QJsonValue(87.5) << 100;
    QTest::newRow("\"35\"") << QJsonValue(QStringLiteral("35")) << 100;
    QTest::newRow("absent") << QJsonValue(QJsonValue::Undefined) << 100;
    QTest::newRow("one past int") << QJsonValue(qint64(std::numeric_limits<int>::max()) + 1) << 100;
}

void TstDecisions::roundTripValue()
{
    QFETCH(QJsonValue, score);
    QFETCH(int, value);
    QCOMPARE(::roundTripValue(score), value);
}

void TstDecisions::isNewerRelease()
{
    const QString running = QStringLiteral("0.4.0");
    // Every "-alpha" and "-beta" goes before the number is read, wherever it stands.
    QVERIFY(::isNewerRelease(QStringLiteral("0-beta.5"), running));
    QVERIFY(!::isNewerRelease(QStringLiteral("0.4.0-beta-alpha"), running));
    QVERIFY(!::isNewerRelease(QStringLiteral("0.4.0-rc2"), running)); // other suffixes just end the number
    QVERIFY(::isNewerRelease(QStringLiteral("0.10"), QStringLiteral("0.9.9")));
    QVERIFY(::isNewerRelease(running, QStringLiteral("0.4"))); // the longer one is newer
}

void TstDecisions::downloadPercent_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<qint64>("percent"); // -1: none, the total is not known
    QTest::newRow("512 of 2048") << qint64(512) << qint64(2048) << qint64(25);
    QTest::newRow("1 of 3 truncates") << qint64(1) << qint64(3) << qint64(33);
    QTest::newRow("2 of 3 truncates") << qint64(2) << qint64(3) << qint64(66);
    QTest::newRow("beyond 32 bits") << qint64(5000000000) << qint64(10000000000) << qint64(50);
    QTest::newRow("total 0") << qint64(0) << qint64(0) << qint64(-1);
    QTest::newRow("total -1") << qint64(4096) << qint64(-1) << qint64(-1);
}

void TstDecisions::downloadPercent()
{
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(qint64, percent);
    QCOMPARE(::downloadPercent(received, total).value_or(-1), percent);
}

void TstDecisions::steamAppIdForSlug()
{
    QCOMPARE(::steamAppIdForSlug(QStringLiteral("cs2")), QStringLiteral("730"));
    QCOMPARE(::steamAppIdForSlug(QStringLiteral("call-of-duty")), QStringLiteral("1938090"));
    // Exact matches only.
    for (const char *slug : {"CS2", " cs2 ", "apex", ""})
        QVERIFY2(::steamAppIdForSlug(QString::fromLatin1(slug)).isEmpty(), slug);
}

ZUMVARI_TEST_MAIN(TstDecisions)
#include "tst_decisions.moc"
