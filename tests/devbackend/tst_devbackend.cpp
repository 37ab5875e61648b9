// The development backend as its users meet it: a real devbackend process on loopback, spoken to
// over real sockets.

#include <QtNetwork>
#include <QtTest>

namespace {

const QString Member = QStringLiteral("member@zumvari.test");
const QString Trial = QStringLiteral("trial@zumvari.test");
const QString Expired = QStringLiteral("expired@zumvari.test");
const QHash<QString, QString> Passwords = {{Member, QStringLiteral("member123")},
                                           {Trial, QStringLiteral("trial123")},
                                           {Expired, QStringLiteral("expired123")}};
const QString Login = QStringLiteral("/api/v1/auth/login");
const QString Sessions = QStringLiteral("/api/v1/acceleration/sessions");
const QString Release = QStringLiteral("/api/v1/client/releases/latest?channel=alpha&platform=windows-x64");

// The slugs the client knows how to launch through Steam.
const QStringList LaunchSlugs =
    QStringLiteral(
        "cs2 pubg apex-legends delta-force repo vrchat war-thunder-international yugioh-master-duel "
        "goose-goose-duck naraka-bladepoint a-way-out call-of-duty")
        .split(QLatin1Char(' '));

struct HttpResult
{
    int status = 0;
    QByteArray body;
    QJsonObject json;
};

bool hasChineseMessage(const QJsonObject &body)
{
    static const QRegularExpression han(QStringLiteral("[\\x{4e00}-\\x{9fff}]"));
    return han.match(body.value("message").toString()).hasMatch();
}

QByteArray compact(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray signInBody(const QString &account, const QString &password)
{
    return compact({{QStringLiteral("account"), account},
                    {QStringLiteral("password"), password},
                    {QStringLiteral("device_id"), QStringLiteral("test-device")}});
}

QJsonObject sessionRequest(const QString &gameId, const QString &regionId, const QString &nodeId)
{
    const QString text =
        QStringLiteral(R"({"game_id":"%1","region_id":"%2","preferred_node_id":"%3",)"
                       R"("client_public_key":"q1TfvVbxm5JPFkVZP0IS5ZtmJ3JgkGuCmxZ/HyMYHlo=",)"
                       R"("probes":[{"node_id":"%3","rtt_ms":35,"jitter_ms":2,"loss_rate":0}]})");
    return QJsonDocument::fromJson(text.arg(gameId, regionId, nodeId).toUtf8()).object();
}

HttpResult send(QNetworkAccessManager &nam, const QByteArray &verb, const QUrl &url,
                const QByteArray &body = {}, const QByteArray &authorization = {})
{
    QNetworkRequest request(url);
    if (!authorization.isEmpty())
        request.setRawHeader("Authorization", authorization);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    QNetworkReply *reply = nam.sendCustomRequest(request, verb, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(30000, &loop, [reply] { reply->abort(); });
    if (!reply->isFinished())
        loop.exec();
    HttpResult result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    result.json = QJsonDocument::fromJson(result.body).object();
    reply->deleteLater();
    return result;
}

// One devbackend process, its address and everything it printed.
class Backend
{
public:
    ~Backend()
    {
        process.kill();
        process.waitForFinished();
    }

    // Starts on a free port and reads the address from the first line; why not, when that fails.
    QString start(const QStringList &args = {})
    {
        process.start(QStringLiteral(DEVBACKEND_PATH),
                      QStringList{QStringLiteral("--port"), QStringLiteral("0")} + args);
        for (QDeadlineTimer deadline(15000); !process.canReadLine() && !deadline.hasExpired();)
            process.waitForReadyRead(100);
        static const QRegularExpression address(
            QStringLiteral("^devbackend listening on (https?)://127\\.0\\.0\\.1:(\\d+)\n$"));
        const QString first = QString::fromUtf8(process.readLine());
        const QRegularExpressionMatch m = address.match(first);
        base = QUrl(QStringLiteral("%1://127.0.0.1:%2").arg(m.captured(1), m.captured(2)));
        return m.hasMatch() ? QString() : first + QString::fromUtf8(process.readAllStandardError());
    }

    QUrl url(const QString &path) const { return base.resolved(QUrl(path)); }

    // What it has printed since the first line.
    QString log() { return output += QString::fromUtf8(process.readAllStandardOutput()); }

    QProcess process;
    QUrl base;
    QString output;
};

} // namespace

class TestDevBackend : public QObject
{
    Q_OBJECT

    Backend backend;
    QNetworkAccessManager nam;
    QHash<QString, QByteArray> bearer; // "Bearer <access token>" per demo account
    QByteArray refreshBearer;          // the member's refresh token, offered as if it were an access token

    HttpResult call(const QByteArray &verb, const QString &path, const QByteArray &body = {},
                    const QByteArray &authorization = {})
    {
        return send(nam, verb, backend.url(path), body, authorization);
    }

    QJsonArray items(const QString &path)
    {
        return call("GET", path, {}, bearer.value(Trial)).json.value("items").toArray();
    }

private slots:
    void initTestCase()
    {
        QCOMPARE(backend.start(), QString());
        for (auto it = Passwords.begin(); it != Passwords.end(); ++it) {
            const HttpResult r = call("POST", Login, signInBody(it.key(), it.value()));
            QCOMPARE(r.status, 200);
            bearer.insert(it.key(), "Bearer " + r.json.value("access_token").toString().toUtf8());
            if (it.key() == Member)
                refreshBearer = "Bearer " + r.json.value("refresh_token").toString().toUtf8();
        }
    }

    void signIn()
    {
        for (const auto &[account, kind, active, minDays, maxDays] :
             {std::tuple{Member, QStringLiteral("paid"), true, 29.9, 30.1},
              std::tuple{Trial, QStringLiteral("trial"), true, 0.0, 29.0},
              std::tuple{Expired, QStringLiteral("paid"), false, -400.0, 0.0}}) {
            const HttpResult r = call("POST", Login, signInBody(account, Passwords.value(account)));
            QCOMPARE(r.status, 200);
            const QString access = r.json.value("access_token").toString();
            const QString refresh = r.json.value("refresh_token").toString();
            QVERIFY(!access.isEmpty() && !refresh.isEmpty() && access != refresh);
            QVERIFY(bearer.value(account) != "Bearer " + access.toUtf8()); // fresh for every sign-in
            QTRY_VERIFY(backend.log().contains(
                QStringLiteral("POST /api/v1/auth/login 200 account=%1\n").arg(account)));

            const HttpResult me = call("GET", QStringLiteral("/api/v1/me"), {}, "Bearer " + access.toUtf8());
            QCOMPARE(me.status, 200);
            QCOMPARE(me.json.value("account").toString(), account);
            const QJsonObject membership = me.json.value("membership").toObject();
            QCOMPARE(membership.value("active"), QJsonValue(active));
            QCOMPARE(membership.value("kind").toString(), kind);
            const QString expiresText = membership.value("expires_at").toString();
            const QDateTime expires = QDateTime::fromString(expiresText, Qt::ISODate);
            QVERIFY2(expires.isValid() && expiresText.endsWith(QLatin1Char('Z')), qPrintable(expiresText));
            const double days = QDateTime::currentDateTimeUtc().secsTo(expires) / 86400.0;
            QVERIFY2(days >= minDays && days <= maxDays, qPrintable(account));
        }
    }

    // Every refusal carries a Chinese "message" and nothing that was asked for.
    void refusals_data()
    {
        QTest::addColumn<QByteArray>("verb");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("authorization");
        QTest::addColumn<int>("status");
        const QByteArray member = bearer.value(Member);
        const QJsonObject valid =
            sessionRequest(QStringLiteral("1001"), QStringLiteral("asia"), QStringLiteral("hk-01"));
        const QJsonObject probe = valid.value("probes").toArray().first().toObject();
        const auto with = [](QJsonObject o, const char *key, const QJsonValue &value) {
            o.insert(QString::fromLatin1(key), value); // an undefined value removes the member
            return o;
        };
        const auto row = [](const char *name, const char *verb, const QString &path, const QByteArray &body,
                            const QByteArray &authorization, int status) {
            QTest::newRow(name) << QByteArray(verb) << path << body << authorization << status;
        };
        // Session bodies, sent by the member.
        const auto session = [&](const char *name, const QJsonObject &body, int status) {
            QTest::addRow("session: %s", name)
                << QByteArray("POST") << Sessions << compact(body) << member << status;
        };
        const auto withProbe = [&](const char *key, const QJsonValue &value) {
            return with(valid, "probes", QJsonArray{with(probe, key, value)});
        };

        row("sign-in: wrong password", "POST", Login, signInBody(Member, QStringLiteral("wrong")), {}, 401);
        row("sign-in: unknown account", "POST", Login,
            signInBody(QStringLiteral("nobody@zumvari.test"), Passwords.value(Member)), {}, 401);
        row("sign-in: invalid JSON", "POST", Login, "{\"account\":", {}, 400);

        row("bearer: none", "GET", QStringLiteral("/api/v1/games"), {}, {}, 401);
        row("bearer: unknown token", "GET", QStringLiteral("/api/v1/me"), {}, "Bearer not-a-token", 401);
        row("bearer: other scheme", "GET", QStringLiteral("/api/v1/me"), {}, "Basic " + member.mid(7), 401);
        row("bearer: refresh token", "GET", QStringLiteral("/api/v1/me"), {}, refreshBearer, 401);
        row("bearer: none for a session", "POST", Sessions, compact(valid), {}, 401);

        row("unknown route", "GET", QStringLiteral("/api/v1/nothing"), {}, member, 404);
        row("unknown game", "GET", QStringLiteral("/api/v1/games/9999/regions"), {}, member, 404);
        row("foreign region", "GET", QStringLiteral("/api/v1/games/1001/regions/kr/nodes"), {}, member, 404);

        row("session: invalid JSON", "POST", Sessions, "{\"game_id\":\"1001\",", member, 400);
        row("session: not an object", "POST", Sessions, "[{\"game_id\":\"1001\"}]", member, 400);
        row("session: huge body", "POST", Sessions, QByteArray(200 * 1024, ' '), member, 413);
        session("member missing", with(valid, "preferred_node_id", QJsonValue::Undefined), 400);
        session("member of the wrong type", with(valid, "game_id", 1001), 400);
        session("empty client key", with(valid, "client_public_key", QString()), 400);
        session("no probe", with(valid, "probes", QJsonArray()), 400);
        session("two probes", with(valid, "probes", QJsonArray{probe, probe}), 400);
        session("rtt as text", withProbe("rtt_ms", QStringLiteral("35")), 400);
        session("unknown game", with(valid, "game_id", QStringLiteral("9999")), 422);
        session("region of another game", with(valid, "region_id", QStringLiteral("kr")), 422);
        session("node of another region", with(valid, "preferred_node_id", QStringLiteral("hk-05")), 422);
        session("probe of another node", withProbe("node_id", QStringLiteral("hk-02")), 422);
        row("session: membership expired", "POST", Sessions, compact(valid), bearer.value(Expired), 403);
    }

    void refusals()
    {
        QFETCH(QByteArray, verb);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, authorization);
        QFETCH(int, status);
        const HttpResult r = call(verb, path, body, authorization);
        QCOMPARE(r.status, status);
        QVERIFY2(hasChineseMessage(r.json), r.body.constData());
        QVERIFY(!r.json.contains("access_token") && !r.json.contains("session_id"));
    }

    // The catalogue walked as the client walks it; a session on the first node of every game with a region,
    // each deleted again.
    void catalogueAndSessions()
    {
        QSet<QString> slugs, sessionIds;
        int outsideLaunchTable = 0, withoutRegions = 0, processRouted = 0, globalFallback = 0;
        for (const QJsonValue &game : items(QStringLiteral("/api/v1/games"))) {
            const QString gameId = game["id"].toString();
            const QString slug = game["slug"].toString();
            QVERIFY(!gameId.isEmpty() && !slug.isEmpty() && !game["name"].toString().isEmpty());
            slugs.insert(slug);
            outsideLaunchTable += LaunchSlugs.contains(slug) ? 0 : 1;
            const QJsonArray regions = items(QStringLiteral("/api/v1/games/%1/regions").arg(gameId));
            withoutRegions += regions.isEmpty() ? 1 : 0;
            QString nodeId; // the first of the first region
            for (const QJsonValue &region : regions) {
                QVERIFY(!region["name"].toString().isEmpty());
                const QString id = region["id"].toString();
                const QJsonArray nodes =
                    items(QStringLiteral("/api/v1/games/%1/regions/%2/nodes").arg(gameId, id));
                QVERIFY2(!nodes.isEmpty(), qPrintable(id));
                nodeId = nodeId.isEmpty() ? nodes.first()["id"].toString() : nodeId;
                for (const QJsonValue &node : nodes) {
                    QVERIFY(!node["id"].toString().isEmpty() && !node["name"].toString().isEmpty());
                    QCOMPARE(node["location"].toString(), QStringLiteral("hk"));
                    const QJsonValue score = node["score"];
                    QVERIFY(score.isDouble() && score.toDouble() == qFloor(score.toDouble()));
                }
            }
            if (regions.isEmpty())
                continue;
            const QString regionId = regions.first()["id"].toString();

            const HttpResult created = call(
                "POST", Sessions, compact(sessionRequest(gameId, regionId, nodeId)), bearer.value(Member));
            QCOMPARE(created.status, 201);
            const QJsonObject s = created.json;
            const QString sessionId = s.value("session_id").toString();
            QVERIFY(!sessionId.isEmpty() && !sessionIds.contains(sessionId));
            sessionIds.insert(sessionId);
            QCOMPARE(s.value("node_id").toString(), nodeId);
            QVERIFY(s.value("game_processes").isArray());
            const bool noProcesses = s.value("game_processes").toArray().isEmpty();
            const QString rules = s.value("rules_environment").toString();
            QVERIFY2(!rules.isEmpty() && (rules == QLatin1String("global-fallback")) == noProcesses,
                     qPrintable(rules));
            ++(noProcesses ? globalFallback : processRouted);

            // What a tunnel service needs to reach the relay.
            QHostAddress egress;
            QVERIFY(egress.setAddress(s.value("egress_ip").toString()));
            QVERIFY(egress.isInSubnet(QHostAddress(QStringLiteral("203.0.113.0")), 24));
            const auto key = QByteArray::fromBase64Encoding(
                s.value("server_public_key").toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            QVERIFY(key && key.decoded.size() == 32);
            const QUrl endpoint(QStringLiteral("udp://") + s.value("endpoint").toString());
            QVERIFY(!endpoint.host().isEmpty() && endpoint.port() > 0);
            QVERIFY(!QHostAddress::parseSubnet(s.value("client_address").toString()).first.isNull());
        }
        for (const QString &slug : LaunchSlugs)
            QVERIFY2(slugs.contains(slug), qPrintable(slug));
        QVERIFY(outsideLaunchTable >= 1 && withoutRegions >= 1);
        QVERIFY(processRouted > globalFallback && globalFallback >= 1);

        for (const QString &id : std::as_const(sessionIds)) {
            const QString path = Sessions + QLatin1Char('/') + id;
            // Another member's session is as unknown to them as one that never was.
            QCOMPARE(call("DELETE", path, {}, bearer.value(Trial)).status, 404);
            const HttpResult deleted = call("DELETE", path, {}, bearer.value(Member));
            QCOMPARE(deleted.status, 204);
            QVERIFY(deleted.body.isEmpty());
            const HttpResult again = call("DELETE", path, {}, bearer.value(Member));
            QCOMPARE(again.status, 404);
            QVERIFY(hasChineseMessage(again.json));
            // The log tells the session's story in order.
            const QString createdLine = QStringLiteral("POST %1 201 session=%2\n").arg(Sessions, id);
            QTRY_VERIFY(backend.log().indexOf(QStringLiteral("DELETE %1 204 session=%2\n").arg(path, id)) >
                        backend.log().indexOf(createdLine));
            QVERIFY(backend.log().contains(createdLine));
        }
    }

    // By default the release is the running version, so no update is offered; a configured one is served
    // as given, over TLS, with an installer large enough to be streamed in chunks.
    void release_data()
    {
        QTest::addColumn<bool>("configured");
        QTest::newRow("default") << false;
        QTest::newRow("configured, over TLS") << true;
    }

    void release()
    {
        QFETCH(bool, configured);
        QTemporaryDir dir;
        QFile installer(dir.filePath(QStringLiteral("Zumvari Setup 0.5.0-beta.exe"))); // needs URL encoding
        const QString notes = QStringLiteral("修复了若干问题，提升了稳定性。");
        Backend tls;
        const QSslConfiguration original = QSslConfiguration::defaultConfiguration();
        auto restore = qScopeGuard([&original] { QSslConfiguration::setDefaultConfiguration(original); });
        if (configured) {
            QProcess makeCert;
            makeCert.start(QStringLiteral("/bin/sh"), {QStringLiteral(MAKE_DEV_CERT_PATH), dir.path()});
            QVERIFY(makeCert.waitForFinished(60000) && makeCert.exitCode() == 0);
            QByteArray bytes = "MZ";
            while (bytes.size() < 3 * 1024 * 1024)
                bytes += QCryptographicHash::hash(bytes.right(64), QCryptographicHash::Sha512);
            QVERIFY(installer.open(QIODevice::WriteOnly) && installer.write(bytes) == bytes.size());
            installer.close();
            QCOMPARE(
                tls.start({QStringLiteral("--tls-cert"), dir.filePath(QStringLiteral("server.pem")),
                           QStringLiteral("--tls-key"), dir.filePath(QStringLiteral("server-key.pem")),
                           QStringLiteral("--release-version"), QStringLiteral("0.5.0-beta"),
                           QStringLiteral("--release-notes"), notes, QStringLiteral("--release-mandatory"),
                           QStringLiteral("--installer"), installer.fileName()}),
                QString());
            QSslConfiguration trusting = original;
            QVERIFY(trusting.addCaCertificates(dir.filePath(QStringLiteral("ca.pem"))));
            QSslConfiguration::setDefaultConfiguration(trusting);
        }
        const Backend &server = configured ? tls : backend;
        QCOMPARE(server.base.scheme(), QLatin1String(configured ? "https" : "http"));
        QNetworkAccessManager client;
        const HttpResult r = send(client, "GET", server.url(Release));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.json.value("version").toString(), QLatin1String(configured ? "0.5.0-beta" : "0.4.0"));
        QCOMPARE(r.json.value("mandatory"), QJsonValue(configured));
        QVERIFY(r.json.value("release_notes").isString());

        // The advertised installer is really there, as advertised.
        const QUrl download(r.json.value("download_url").toString());
        QCOMPARE(download.adjusted(QUrl::RemovePath), server.base);
        const HttpResult file = send(client, "GET", download);
        QCOMPARE(file.status, 200);
        QCOMPARE(double(file.body.size()), r.json.value("size_bytes").toDouble());
        QCOMPARE(QCryptographicHash::hash(file.body, QCryptographicHash::Sha256).toHex(),
                 r.json.value("sha256").toString().toLatin1());
        if (configured) {
            QCOMPARE(r.json.value("release_notes").toString(), notes);
            QCOMPARE(download.path(QUrl::FullyEncoded),
                     QStringLiteral("/downloads/Zumvari%20Setup%200.5.0-beta.exe"));
            QVERIFY(installer.open(QIODevice::ReadOnly) && file.body == installer.readAll());
        }
    }
};

QTEST_GUILESS_MAIN(TestDevBackend)
#include "tst_devbackend.moc"
