#include "decisions.h"

#include <QHash>
#include <QJsonArray>
#include <QVersionNumber>

#include <algorithm>

MembershipKind membershipKindOf(const QString &kind)
{
    if (kind == QLatin1String("trial"))
        return MembershipKind::Trial;
    if (kind == QLatin1String("grant"))
        return MembershipKind::Grant;
    return MembershipKind::Official;
}

qint64 membershipDaysRemaining(const QDateTime &now, const QDateTime &expiry)
{
    if (!now.isValid() || !expiry.isValid())
        return 0;
    return std::max<qint64>(0, now.toUTC().date().daysTo(expiry.toUTC().date()));
}

int roundTripValue(const QJsonValue &score)
{
    return std::max(1, score.toInt(100));
}

QJsonObject buildStartPayload(const QJsonObject &session, const QString &privateKey)
{
    QJsonObject payload = session;
    payload.insert(QLatin1String("private_key"), privateKey);
    if (!session.value(QLatin1String("game_processes")).toArray().isEmpty())
        payload.insert(QLatin1String("route_mode"), QLatin1String("process-beta"));
    return payload;
}

bool isSplitRouting(const QJsonObject &startPayload)
{
    return startPayload.value(QLatin1String("route_mode")).toString() == QLatin1String("process-beta");
}

ServiceState serviceStateOf(const QString &replyText)
{
    if (replyText.contains(QLatin1String("\"accelerating\"")))
        return ServiceState::Accelerating;
    if (replyText.contains(QLatin1String("\"idle\"")))
        return ServiceState::Idle;
    return ServiceState::Unknown;
}

std::optional<qint64> downloadPercent(qint64 received, qint64 total)
{
    if (total <= 0)
        return std::nullopt;
    return received * 100 / total;
}

bool isNewerRelease(const QString &offered, const QString &running)
{
    QString comparable = offered;
    comparable.remove(QLatin1String("-alpha")).remove(QLatin1String("-beta"));
    const QVersionNumber offeredVersion = QVersionNumber::fromString(comparable);
    if (offeredVersion.isNull())
        return false;
    return QVersionNumber::compare(offeredVersion, QVersionNumber::fromString(running)) > 0;
}

QString steamAppIdForSlug(const QString &slug)
{
    static const QHash<QString, QString> launchTable = {
        {QStringLiteral("cs2"), QStringLiteral("730")},
        {QStringLiteral("pubg"), QStringLiteral("578080")},
        {QStringLiteral("apex-legends"), QStringLiteral("1172470")},
        {QStringLiteral("delta-force"), QStringLiteral("2507950")},
        {QStringLiteral("repo"), QStringLiteral("3241660")},
        {QStringLiteral("vrchat"), QStringLiteral("438100")},
        {QStringLiteral("war-thunder-international"), QStringLiteral("236390")},
        {QStringLiteral("yugioh-master-duel"), QStringLiteral("1449850")},
        {QStringLiteral("goose-goose-duck"), QStringLiteral("1568590")},
        {QStringLiteral("naraka-bladepoint"), QStringLiteral("1203220")},
        {QStringLiteral("a-way-out"), QStringLiteral("1222700")},
        {QStringLiteral("call-of-duty"), QStringLiteral("1938090")},
    };
    return launchTable.value(slug);
}
