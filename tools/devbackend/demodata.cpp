#include "demodata.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cmath>

namespace {

// Collects the first problem found while reading the seed, with where it was found.
struct Reader
{
    QString error;

    bool fail(const QString &where, const QString &what)
    {
        if (error.isEmpty())
            error = where + QStringLiteral(": ") + what;
        return false;
    }

    bool string(const QJsonObject &o, const char *key, const QString &where, QString *out,
                bool allowEmpty = false)
    {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!v.isString() || (!allowEmpty && v.toString().isEmpty()))
            return fail(where, QStringLiteral("\"%1\" must be a non-empty string").arg(QLatin1String(key)));
        *out = v.toString();
        return true;
    }

    bool stringList(const QJsonObject &o, const char *key, const QString &where, QStringList *out)
    {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!v.isArray())
            return fail(where, QStringLiteral("\"%1\" must be an array of strings").arg(QLatin1String(key)));
        for (const QJsonValue &item : v.toArray()) {
            if (!item.isString() || item.toString().isEmpty())
                return fail(where,
                            QStringLiteral("\"%1\" must hold non-empty strings").arg(QLatin1String(key)));
            out->append(item.toString());
        }
        return true;
    }

    bool objects(const QJsonObject &o, const char *key, const QString &where, QList<QJsonObject> *out)
    {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!v.isArray())
            return fail(where, QStringLiteral("\"%1\" must be an array of objects").arg(QLatin1String(key)));
        for (const QJsonValue &item : v.toArray()) {
            if (!item.isObject())
                return fail(where, QStringLiteral("\"%1\" must hold objects").arg(QLatin1String(key)));
            out->append(item.toObject());
        }
        return true;
    }
};

bool isInteger(const QJsonValue &v)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    return std::trunc(d) == d && std::fabs(d) <= 1e9;
}

} // namespace

const DemoAccount *DemoData::findAccount(const QString &account) const
{
    for (const DemoAccount &a : accounts) {
        if (a.account == account)
            return &a;
    }
    return nullptr;
}

const DemoNode *DemoData::findNode(const QString &id) const
{
    for (const DemoNode &n : nodes) {
        if (n.id == id)
            return &n;
    }
    return nullptr;
}

const DemoGame *DemoData::findGame(const QString &id) const
{
    for (const DemoGame &g : games) {
        if (g.id == id)
            return &g;
    }
    return nullptr;
}

const DemoRegion *DemoData::findRegion(const DemoGame &game, const QString &id)
{
    for (const DemoRegion &r : game.regions) {
        if (r.id == id)
            return &r;
    }
    return nullptr;
}

bool membershipActive(const DemoAccount &account, const QDateTime &now)
{
    return account.active && account.expiresAt > now;
}

std::optional<DemoData> parseDemoData(const QByteArray &json, const QDateTime &now, QString *error)
{
    Reader r;
    DemoData data;

    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("seed: invalid JSON at offset %1: %2")
                     .arg(parseError.offset)
                     .arg(parseError.errorString());
        return std::nullopt;
    }
    if (!doc.isObject()) {
        *error = QStringLiteral("seed: the document must be a JSON object");
        return std::nullopt;
    }
    const QJsonObject root = doc.object();

    QList<QJsonObject> accounts, nodes, games;
    if (!r.objects(root, "accounts", QStringLiteral("seed"), &accounts) ||
        !r.objects(root, "nodes", QStringLiteral("seed"), &nodes) ||
        !r.objects(root, "games", QStringLiteral("seed"), &games)) {
        *error = r.error;
        return std::nullopt;
    }

    QSet<QString> seen;
    for (qsizetype i = 0; i < accounts.size(); ++i) {
        const QJsonObject &o = accounts.at(i);
        const QString where = QStringLiteral("seed accounts[%1]").arg(i);
        DemoAccount a;
        if (!r.string(o, "account", where, &a.account) || !r.string(o, "password", where, &a.password) ||
            !r.string(o, "kind", where, &a.kind))
            break;
        if (!o.value(QLatin1String("active")).isBool()) {
            r.fail(where, QStringLiteral("\"active\" must be a bool"));
            break;
        }
        a.active = o.value(QLatin1String("active")).toBool();
        const QJsonValue days = o.value(QLatin1String("expires_in_days"));
        if (!days.isDouble() || std::fabs(days.toDouble()) > 36500) {
            r.fail(where, QStringLiteral("\"expires_in_days\" must be a number of days"));
            break;
        }
        a.expiresAt = now.toUTC().addSecs(qint64(std::llround(days.toDouble() * 86400.0)));
        if (seen.contains(a.account)) {
            r.fail(where, QStringLiteral("duplicate account"));
            break;
        }
        seen.insert(a.account);
        data.accounts.append(a);
    }

    seen.clear();
    for (qsizetype i = 0; r.error.isEmpty() && i < nodes.size(); ++i) {
        const QJsonObject &o = nodes.at(i);
        const QString where = QStringLiteral("seed nodes[%1]").arg(i);
        DemoNode n;
        if (!r.string(o, "id", where, &n.id) || !r.string(o, "name", where, &n.name) ||
            !r.string(o, "location", where, &n.location) || !r.string(o, "endpoint", where, &n.endpoint) ||
            !r.string(o, "public_key", where, &n.publicKey) || !r.string(o, "egress_ip", where, &n.egressIp))
            break;
        if (!isInteger(o.value(QLatin1String("score")))) {
            r.fail(where, QStringLiteral("\"score\" must be an integer"));
            break;
        }
        n.score = o.value(QLatin1String("score")).toInt();
        if (QByteArray::fromBase64(n.publicKey.toLatin1()).size() != 32) {
            r.fail(where, QStringLiteral("\"public_key\" must be the base64 of 32 bytes"));
            break;
        }
        if (seen.contains(n.id)) {
            r.fail(where, QStringLiteral("duplicate node id"));
            break;
        }
        seen.insert(n.id);
        data.nodes.append(n);
    }

    const QSet<QString> nodeIds = seen;
    seen.clear();
    for (qsizetype i = 0; r.error.isEmpty() && i < games.size(); ++i) {
        const QJsonObject &o = games.at(i);
        const QString where = QStringLiteral("seed games[%1]").arg(i);
        DemoGame g;
        QList<QJsonObject> regions;
        if (!r.string(o, "id", where, &g.id) || !r.string(o, "slug", where, &g.slug) ||
            !r.string(o, "name", where, &g.name) ||
            !r.stringList(o, "game_processes", where, &g.gameProcesses) ||
            !r.objects(o, "regions", where, &regions))
            break;
        if (seen.contains(g.id)) {
            r.fail(where, QStringLiteral("duplicate game id"));
            break;
        }
        seen.insert(g.id);
        QSet<QString> regionIds;
        for (qsizetype j = 0; r.error.isEmpty() && j < regions.size(); ++j) {
            const QString regionWhere = where + QStringLiteral(" regions[%1]").arg(j);
            DemoRegion region;
            if (!r.string(regions.at(j), "id", regionWhere, &region.id) ||
                !r.string(regions.at(j), "name", regionWhere, &region.name) ||
                !r.stringList(regions.at(j), "nodes", regionWhere, &region.nodeIds))
                break;
            if (regionIds.contains(region.id)) {
                r.fail(regionWhere, QStringLiteral("duplicate region id"));
                break;
            }
            regionIds.insert(region.id);
            for (const QString &nodeId : std::as_const(region.nodeIds)) {
                if (!nodeIds.contains(nodeId)) {
                    r.fail(regionWhere, QStringLiteral("unknown node \"%1\"").arg(nodeId));
                    break;
                }
            }
            g.regions.append(region);
        }
        data.games.append(g);
    }

    if (!r.error.isEmpty()) {
        *error = r.error;
        return std::nullopt;
    }
    return data;
}
