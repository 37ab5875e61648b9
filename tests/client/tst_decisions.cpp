// Boundaries of the small decisions, where an off-by-one or a lax comparison would show only on
// some days or for some backends.
#include "clienttest.h"
#include "decisions.h"

#include <QJsonDocument>

class TstDecisions : public QObject
{
    Q_OBJECT

private slots:
    void boundaries();
};

void TstDecisions::boundaries()
{
    const auto days = [](const char *now, const char *expiry) {
        return QString::number(membershipDaysRemaining(QDateTime::fromString(now, Qt::ISODate),
                                                       QDateTime::fromString(expiry, Qt::ISODate)));
    };
    const auto start = [](const char *session) {
        return QString(QJsonDocument(buildStartPayload(QJsonDocument::fromJson(session).object(), "k"))
                           .toJson(QJsonDocument::Compact));
    };
    const auto newer = [](const char *offered, const char *running) {
        return isNewerRelease(offered, running) ? "newer" : "not";
    };
    const struct
    {
        const char *what;
        QString got, expected;
    } rows[] = {
        {"a minute before midnight", days("2025-03-10T00:00:00Z", "2025-03-10T23:59:00Z"), "0"},
        {"midnight", days("2025-03-10T23:59:59Z", "2025-03-11T00:00:00Z"), "1"},
        {"whole days in UTC", days("2025-03-10T23:30:00+08:00", "2025-03-11T07:59:00+08:00"), "0"},
        {"expired", days("2025-03-10T00:00:00Z", "2025-03-09T12:00:00Z"), "0"},
        {"unparsable expiry", days("2025-03-10T00:00:00Z", "next Tuesday"), "0"},
        {"score 0", QString::number(roundTripValue(0)), "1"},
        {"score 2", QString::number(roundTripValue(2)), "2"},
        {"score 87.5", QString::number(roundTripValue(87.5)), "100"},
        {"no score", QString::number(roundTripValue(QJsonValue::Undefined)), "100"},
        {"-beta anywhere", newer("0-beta.5", "0.4.0"), "newer"},
        {"equal", newer("0.4.0-alpha", "0.4.0"), "not"},
        {"numeric segments", newer("0.10", "0.9.9"), "newer"},
        {"2 of 3", QString::number(downloadPercent(2, 3).value_or(-1)), "66"},
        {"total 0", QString::number(downloadPercent(0, 0).value_or(-1)), "-1"},
        {"no processes", start(R"({"game_processes":[],"private_key":"old"})"),
         R"({"game_processes":[],"private_key":"k"})"},
        {"processes", start(R"({"game_processes":["a.exe"]})"),
         R"({"game_processes":["a.exe"],"private_key":"k","route_mode":"process-beta"})"},
        {"both state words", QString::number(int(serviceStateOf(R"({"idle":"accelerating"})"))), "0"},
        {"slug exactly", steamAppIdForSlug("CS2") + steamAppIdForSlug("cs2"), "730"},
    };
    for (const auto &row : rows)
        QVERIFY2(row.got == row.expected, qPrintable(QString(row.what) + ": " + row.got));
}

ZUMVARI_TEST_MAIN(TstDecisions)
#include "tst_decisions.moc"
