// The development backend as its users meet it: a real devbackend process on loopback, spoken to
// over real sockets (QNetworkAccessManager, and a raw socket where HTTP clients are too polite).

#include <QtNetwork>
#include <QtTest>

#include <algorithm>
#include <cmath>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace {

const QString Member = QStringLiteral("member@zumvari.test");
const QString MemberPassword = QStringLiteral("member123");
const QString Trial = QStringLiteral("trial@zumvari.test");
const QString TrialPassword = QStringLiteral("trial123");
const QString Expired = QStringLiteral("expired@zumvari.test");
const QString ExpiredPassword = QStringLiteral("expired123");

// The slugs the client knows how to launch through Steam.
const QStringList LaunchSlugs = {
    QStringLiteral("cs2"),
    QStringLiteral("pubg"),
    QStringLiteral("apex-legends"),
    QStringLiteral("delta-force"),
    QStringLiteral("repo"),
    QStringLiteral("vrchat"),
    QStringLiteral("war-thunder-international"),
    QStringLiteral("yugioh-master-duel"),
    QStringLiteral("goose-goose-duck"),
    QStringLiteral("naraka-bladepoint"),
    QStringLiteral("a-way-out"),
    QStringLiteral("call-of-duty"),
};

struct HttpResult
{
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
    QJsonObject json;
    qint64 contentLength = -1;
};

bool hasChineseMessage(const QJsonObject &body)
{
    const QJsonValue message = body.value(QLatin1String("message"));
    if (!message.isString())
        return false;
    const QString text = message.toString();
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() >= 0x4e00 && c.unicode() <= 0x9fff; });
}

bool isInteger(const QJsonValue &v)
{
    return v.isDouble() && std::trunc(v.toDouble()) == v.toDouble();
}

HttpResult send(QNetworkAccessManager &nam, const QByteArray &verb, const QUrl &url,
                const QByteArray &body = {}, const QByteArray &authorization = {})
{
    QNetworkRequest request(url);
    if (!authorization.isNull())
        request.setRawHeader("Authorization", authorization);
    QNetworkReply *reply = nullptr;
    if (body.isNull()) {
        reply = nam.sendCustomRequest(request, verb);
    } else {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        reply = nam.sendCustomRequest(request, verb, body);
    }
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(30000, &loop, [reply] { reply->abort(); });
    if (!reply->isFinished())
        loop.exec();

    HttpResult result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.error = reply->error();
    result.body = reply->readAll();
    result.json = QJsonDocument::fromJson(result.body).object();
    if (reply->hasRawHeader("Content-Length"))
        result.contentLength = reply->rawHeader("Content-Length").toLongLong();
    reply->deleteLater();
    return result;
}

QByteArray compact(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QJsonObject sessionRequest(const QString &gameId, const QString &regionId, const QString &nodeId,
                           int rttMs = 35)
{
    return QJsonObject{
        {QStringLiteral("game_id"), gameId},
        {QStringLiteral("region_id"), regionId},
        {QStringLiteral("preferred_node_id"), nodeId},
        {QStringLiteral("client_public_key"), QStringLiteral("q1TfvVbxm5JPFkVZP0IS5ZtmJ3JgkGuCmxZ/HyMYHlo=")},
        {QStringLiteral("probes"), QJsonArray{QJsonObject{{QStringLiteral("node_id"), nodeId},
                                                          {QStringLiteral("rtt_ms"), rttMs},
                                                          {QStringLiteral("jitter_ms"), 0},
                                                          {QStringLiteral("loss_rate"), 0.0}}}},
    };
}

// One devbackend process, its address and everything it printed.
class Backend
{
public:
    Backend() = default;
    Backend(const Backend &) = delete;
    Backend &operator=(const Backend &) = delete;

    ~Backend()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
            process.waitForFinished(5000);
        }
    }

    // Starts on a free port and waits for the first line; false (and why) when that fails.
    bool start(const QStringList &args, QString *why)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { collect(); });
        process.setProgram(QStringLiteral(DEVBACKEND_PATH));
        process.setArguments(QStringList{QStringLiteral("--port"), QStringLiteral("0")} + args);
        process.start();
        if (!process.waitForStarted(10000)) {
            *why = process.errorString();
            return false;
        }
        QDeadlineTimer deadline(15000);
        while (lines.isEmpty() && !deadline.hasExpired() && process.state() == QProcess::Running)
            process.waitForReadyRead(100);
        if (lines.isEmpty()) {
            *why =
                QStringLiteral("no first line; stderr: ") + QString::fromUtf8(process.readAllStandardError());
            return false;
        }
        static const QRegularExpression address(QStringLiteral("(https?)://127\\.0\\.0\\.1:(\\d+)"));
        const QRegularExpressionMatch m = address.match(lines.first());
        if (!m.hasMatch() || !lines.first().contains(QStringLiteral("127.0.0.1:") + m.captured(2))) {
            *why = QStringLiteral("first line without 127.0.0.1:PORT: ") + lines.first();
            return false;
        }
        base.setScheme(m.captured(1));
        base.setHost(QStringLiteral("127.0.0.1"));
        base.setPort(m.captured(2).toInt());
        return true;
    }

    QUrl url(const QString &path, const QString &query = QString()) const
    {
        QUrl u = base;
        u.setPath(path);
        if (!query.isEmpty())
            u.setQuery(query);
        return u;
    }

    QProcess process;
    QUrl base;
    QStringList lines;

    // Moves what the process has printed so far into `lines`.
    void collect()
    {
        partial += process.readAllStandardOutput();
        qsizetype end;
        while ((end = partial.indexOf('\n')) >= 0) {
            lines.append(QString::fromUtf8(partial.left(end)));
            partial.remove(0, end + 1);
        }
    }

    QByteArray partial;
};

} // namespace

class TestDevBackend : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Backend> backend;
    QNetworkAccessManager nam;

    // "Bearer <access token>" for the account, or empty when the sign-in fails.
    QByteArray bearer(const QString &account, const QString &password)
    {
        const HttpResult r = send(nam, "POST", backend->url(QStringLiteral("/api/v1/auth/login")),
                                  compact({{QStringLiteral("account"), account},
                                           {QStringLiteral("password"), password},
                                           {QStringLiteral("device_id"), QStringLiteral("test-device")}}));
        if (r.status != 200)
            return {};
        return "Bearer " + r.json.value(QLatin1String("access_token")).toString().toUtf8();
    }

    HttpResult createSession(const QByteArray &auth, const QJsonObject &body)
    {
        return send(nam, "POST", backend->url(QStringLiteral("/api/v1/acceleration/sessions")), compact(body),
                    auth);
    }

private slots:
    void initTestCase()
    {
        backend = std::make_unique<Backend>();
        QString why;
        QVERIFY2(backend->start({}, &why), qPrintable(why));
    }

    void cleanupTestCase() { backend.reset(); }

    void startupNamesTheDemoAccounts()
    {
        // The accounts come after the address line, with their passwords and standing.
        static const QRegularExpression line(QStringLiteral(
            "^demo account: (\\S+) password: (\\S+) \\((\\S+), (active|inactive), expires (\\S+)\\)$"));
        const QRegularExpression releaseLine(
            QStringLiteral("^release: 0\\.4\\.0 mandatory=false size=\\d+ sha256=[0-9a-f]{64} "
                           "url=http://127\\.0\\.0\\.1:%1/downloads/\\S+$")
                .arg(backend->base.port()));
        QTRY_VERIFY(!backend->lines.filter(releaseLine).isEmpty());
        QHash<QString, QStringList> accounts;
        for (const QString &l : std::as_const(backend->lines)) {
            const QRegularExpressionMatch m = line.match(l);
            if (m.hasMatch())
                accounts.insert(m.captured(1), m.capturedTexts().mid(2));
        }
        QCOMPARE(accounts.value(Member).value(0), MemberPassword);
        QCOMPARE(accounts.value(Member).value(2), QStringLiteral("active"));
        QCOMPARE(accounts.value(Trial).value(0), TrialPassword);
        QCOMPARE(accounts.value(Trial).value(1), QStringLiteral("trial"));
        QCOMPARE(accounts.value(Expired).value(0), ExpiredPassword);
        QCOMPARE(accounts.value(Expired).value(2), QStringLiteral("inactive"));
        QVERIFY(backend->lines.value(1).startsWith(QStringLiteral("demo account: ")));
    }

    void signIn()
    {
        const QUrl url = backend->url(QStringLiteral("/api/v1/auth/login"));
        const QByteArray good = compact({{QStringLiteral("account"), Member},
                                         {QStringLiteral("password"), MemberPassword},
                                         {QStringLiteral("device_id"), QStringLiteral("device-1")}});
        const HttpResult first = send(nam, "POST", url, good);
        const HttpResult second = send(nam, "POST", url, good);
        QCOMPARE(first.status, 200);
        QCOMPARE(second.status, 200);
        const QString access1 = first.json.value(QLatin1String("access_token")).toString();
        const QString refresh1 = first.json.value(QLatin1String("refresh_token")).toString();
        const QString access2 = second.json.value(QLatin1String("access_token")).toString();
        const QString refresh2 = second.json.value(QLatin1String("refresh_token")).toString();
        QVERIFY(!access1.isEmpty() && !refresh1.isEmpty());
        QVERIFY(access1 != access2);
        QVERIFY(refresh1 != refresh2);
        QVERIFY(access1 != refresh1);
        QTRY_VERIFY(backend->lines.contains(QStringLiteral("POST /api/v1/auth/login 200 account=") + Member));

        // The access token opens the protected routes; the refresh token does not.
        QCOMPARE(
            send(nam, "GET", backend->url(QStringLiteral("/api/v1/me")), {}, "Bearer " + access1.toUtf8())
                .status,
            200);
        QCOMPARE(
            send(nam, "GET", backend->url(QStringLiteral("/api/v1/me")), {}, "Bearer " + refresh1.toUtf8())
                .status,
            401);

        for (const auto &[account, password] :
             {std::pair{Member, QStringLiteral("wrong")},
              std::pair{QStringLiteral("nobody@zumvari.test"), MemberPassword},
              std::pair{Member, MemberPassword + QLatin1Char(' ')}}) {
            const HttpResult bad = send(nam, "POST", url,
                                        compact({{QStringLiteral("account"), account},
                                                 {QStringLiteral("password"), password},
                                                 {QStringLiteral("device_id"), QStringLiteral("device-1")}}));
            QCOMPARE(bad.status, 401);
            QVERIFY2(hasChineseMessage(bad.json), bad.body.constData());
            QVERIFY(!bad.json.contains(QLatin1String("access_token")));
        }
        QTRY_VERIFY(backend->lines.contains(QStringLiteral("POST /api/v1/auth/login 401")));
    }

    void signInRejectsMalformedBodies_data()
    {
        QTest::addColumn<QByteArray>("body");
        const auto without = [](const char *key) {
            QJsonObject o{{QStringLiteral("account"), Member},
                          {QStringLiteral("password"), MemberPassword},
                          {QStringLiteral("device_id"), QStringLiteral("d")}};
            o.remove(QLatin1String(key));
            return compact(o);
        };
        QTest::newRow("invalid JSON") << QByteArrayLiteral("{\"account\":");
        QTest::newRow("empty body") << QByteArray("");
        QTest::newRow("array") << QByteArrayLiteral("[\"member@zumvari.test\",\"member123\"]");
        QTest::newRow("no account") << without("account");
        QTest::newRow("no password") << without("password");
        QTest::newRow("no device id") << without("device_id");
        QTest::newRow("numeric account")
            << QByteArrayLiteral("{\"account\":1001,\"password\":\"member123\",\"device_id\":\"d\"}");
        QTest::newRow("null password") << QByteArrayLiteral(
            "{\"account\":\"member@zumvari.test\",\"password\":null,\"device_id\":\"d\"}");
    }

    void signInRejectsMalformedBodies()
    {
        QFETCH(QByteArray, body);
        const HttpResult r = send(nam, "POST", backend->url(QStringLiteral("/api/v1/auth/login")), body);
        QCOMPARE(r.status, 400);
        QVERIFY2(hasChineseMessage(r.json), r.body.constData());
        QVERIFY(!r.json.contains(QLatin1String("access_token")));
    }

    void bearerTokenIsRequired_data()
    {
        QTest::addColumn<QByteArray>("verb");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("authorization");
        const QByteArray valid = bearer(Member, MemberPassword);
        QVERIFY(!valid.isEmpty());
        const QString sessions = QStringLiteral("/api/v1/acceleration/sessions");

        QTest::newRow("no header") << QByteArray("GET") << QStringLiteral("/api/v1/games") << QByteArray();
        QTest::newRow("empty token") << QByteArray("GET") << QStringLiteral("/api/v1/games")
                                     << QByteArray("Bearer ");
        QTest::newRow("unknown token")
            << QByteArray("GET") << QStringLiteral("/api/v1/games") << QByteArray("Bearer not-a-token");
        QTest::newRow("other scheme")
            << QByteArray("GET") << QStringLiteral("/api/v1/games") << QByteArray("Basic " + valid.mid(7));
        QTest::newRow("token without scheme")
            << QByteArray("GET") << QStringLiteral("/api/v1/games") << valid.mid(7);
        QTest::newRow("token with a byte more")
            << QByteArray("GET") << QStringLiteral("/api/v1/games") << QByteArray(valid + "x");
        QTest::newRow("profile") << QByteArray("GET") << QStringLiteral("/api/v1/me") << QByteArray();
        QTest::newRow("regions") << QByteArray("GET") << QStringLiteral("/api/v1/games/1001/regions")
                                 << QByteArray();
        QTest::newRow("nodes") << QByteArray("GET") << QStringLiteral("/api/v1/games/1001/regions/asia/nodes")
                               << QByteArray();
        QTest::newRow("create session") << QByteArray("POST") << sessions << QByteArray();
        QTest::newRow("delete session")
            << QByteArray("DELETE") << sessions + QStringLiteral("/abc") << QByteArray();
    }

    void bearerTokenIsRequired()
    {
        QFETCH(QByteArray, verb);
        QFETCH(QString, path);
        QFETCH(QByteArray, authorization);
        const QByteArray body = verb == "POST"
                                    ? compact(sessionRequest(QStringLiteral("1001"), QStringLiteral("asia"),
                                                             QStringLiteral("hk-01")))
                                    : QByteArray();
        const HttpResult r = send(nam, verb, backend->url(path), body, authorization);
        QCOMPARE(r.status, 401);
        QVERIFY2(hasChineseMessage(r.json), r.body.constData());
    }

    void profileShowsMembership_data()
    {
        QTest::addColumn<QString>("account");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("active");
        QTest::addColumn<double>("minDays");
        QTest::addColumn<double>("maxDays");
        QTest::newRow("paid") << Member << MemberPassword << QStringLiteral("paid") << true << 29.9 << 30.1;
        QTest::newRow("trial") << Trial << TrialPassword << QStringLiteral("trial") << true << 0.0 << 29.0;
        QTest::newRow("expired") << Expired << ExpiredPassword << QStringLiteral("paid") << false << -400.0
                                 << 0.0;
    }

    void profileShowsMembership()
    {
        QFETCH(QString, account);
        QFETCH(QString, password);
        QFETCH(QString, kind);
        QFETCH(bool, active);
        QFETCH(double, minDays);
        QFETCH(double, maxDays);
        const QByteArray auth = bearer(account, password);
        QVERIFY(!auth.isEmpty());
        const HttpResult r = send(nam, "GET", backend->url(QStringLiteral("/api/v1/me")), {}, auth);
        QCOMPARE(r.status, 200);
        QCOMPARE(r.json.value(QLatin1String("account")).toString(), account);
        const QJsonObject membership = r.json.value(QLatin1String("membership")).toObject();
        QCOMPARE(membership.value(QLatin1String("active")), QJsonValue(active));
        QCOMPARE(membership.value(QLatin1String("kind")).toString(), kind);
        const QString expiresText = membership.value(QLatin1String("expires_at")).toString();
        QVERIFY2(expiresText.endsWith(QLatin1Char('Z')), qPrintable(expiresText));
        const QDateTime expires = QDateTime::fromString(expiresText, Qt::ISODate);
        QVERIFY(expires.isValid());
        const double days = QDateTime::currentDateTimeUtc().secsTo(expires) / 86400.0;
        QVERIFY2(days >= minDays && days <= maxDays, qPrintable(QString::number(days)));
    }

    void catalogueShapes()
    {
        const QByteArray auth = bearer(Trial, TrialPassword);
        QVERIFY(!auth.isEmpty());
        const HttpResult games = send(nam, "GET", backend->url(QStringLiteral("/api/v1/games")), {}, auth);
        QCOMPARE(games.status, 200);
        const QJsonArray items = games.json.value(QLatin1String("items")).toArray();

        QSet<QString> ids, slugs;
        int withoutRegions = 0, outsideLaunchTable = 0, nodesSeen = 0;
        for (const QJsonValue &item : items) {
            const QJsonObject game = item.toObject();
            const QString id = game.value(QLatin1String("id")).toString();
            const QString slug = game.value(QLatin1String("slug")).toString();
            QVERIFY(!id.isEmpty() && !slug.isEmpty() &&
                    !game.value(QLatin1String("name")).toString().isEmpty());
            QVERIFY2(!ids.contains(id), qPrintable(id));
            ids.insert(id);
            slugs.insert(slug);
            outsideLaunchTable += LaunchSlugs.contains(slug) ? 0 : 1;

            const HttpResult regions =
                send(nam, "GET", backend->url(QStringLiteral("/api/v1/games/%1/regions").arg(id)), {}, auth);
            QCOMPARE(regions.status, 200);
            QVERIFY(regions.json.value(QLatin1String("items")).isArray());
            const QJsonArray regionItems = regions.json.value(QLatin1String("items")).toArray();
            withoutRegions += regionItems.isEmpty() ? 1 : 0;
            for (const QJsonValue &r : regionItems) {
                const QString regionId = r.toObject().value(QLatin1String("id")).toString();
                QVERIFY(!regionId.isEmpty() &&
                        !r.toObject().value(QLatin1String("name")).toString().isEmpty());
                const HttpResult nodes =
                    send(nam, "GET",
                         backend->url(QStringLiteral("/api/v1/games/%1/regions/%2/nodes").arg(id, regionId)),
                         {}, auth);
                QCOMPARE(nodes.status, 200);
                const QJsonArray nodeItems = nodes.json.value(QLatin1String("items")).toArray();
                QVERIFY(!nodeItems.isEmpty());
                for (const QJsonValue &n : nodeItems) {
                    const QJsonObject node = n.toObject();
                    QVERIFY(!node.value(QLatin1String("id")).toString().isEmpty());
                    QVERIFY(!node.value(QLatin1String("name")).toString().isEmpty());
                    QCOMPARE(node.value(QLatin1String("location")).toString(), QStringLiteral("hk"));
                    QVERIFY2(isInteger(node.value(QLatin1String("score"))), compact(node).constData());
                    ++nodesSeen;
                }
            }
        }
        for (const QString &slug : LaunchSlugs)
            QVERIFY2(slugs.contains(slug), qPrintable(slug));
        QVERIFY(outsideLaunchTable >= 1);
        QVERIFY(withoutRegions >= 1);
        QVERIFY(nodesSeen > 0);
    }

    void catalogueUnknownIds_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("unknown game") << QStringLiteral("/api/v1/games/9999/regions");
        QTest::newRow("game id with a space") << QStringLiteral("/api/v1/games/10 01/regions");
        QTest::newRow("nodes of unknown game") << QStringLiteral("/api/v1/games/9999/regions/asia/nodes");
        QTest::newRow("unknown region") << QStringLiteral("/api/v1/games/1001/regions/nowhere/nodes");
        QTest::newRow("region of another game") << QStringLiteral("/api/v1/games/1001/regions/kr/nodes");
    }

    void catalogueUnknownIds()
    {
        QFETCH(QString, path);
        const QByteArray auth = bearer(Member, MemberPassword);
        const HttpResult r = send(nam, "GET", backend->url(path), {}, auth);
        QCOMPARE(r.status, 404);
        QVERIFY2(hasChineseMessage(r.json), r.body.constData());
    }

    void createSessionGrantsRelayDetails()
    {
        const QByteArray auth = bearer(Member, MemberPassword);
        const HttpResult games = send(nam, "GET", backend->url(QStringLiteral("/api/v1/games")), {}, auth);
        QCOMPARE(games.status, 200);

        // One session per game with a region, each on the first node of the first region.
        QSet<QString> sessionIds, clientAddresses;
        int processRouted = 0, globalFallback = 0;
        for (const QJsonValue &item : games.json.value(QLatin1String("items")).toArray()) {
            const QString gameId = item.toObject().value(QLatin1String("id")).toString();
            const QJsonArray regions =
                send(nam, "GET", backend->url(QStringLiteral("/api/v1/games/%1/regions").arg(gameId)), {},
                     auth)
                    .json.value(QLatin1String("items"))
                    .toArray();
            if (regions.isEmpty())
                continue;
            const QString regionId = regions.first().toObject().value(QLatin1String("id")).toString();
            const QJsonArray nodes =
                send(nam, "GET",
                     backend->url(QStringLiteral("/api/v1/games/%1/regions/%2/nodes").arg(gameId, regionId)),
                     {}, auth)
                    .json.value(QLatin1String("items"))
                    .toArray();
            const QString nodeId = nodes.first().toObject().value(QLatin1String("id")).toString();

            const HttpResult r = createSession(auth, sessionRequest(gameId, regionId, nodeId));
            QCOMPARE(r.status, 201);
            const QJsonObject s = r.json;
            const QString sessionId = s.value(QLatin1String("session_id")).toString();
            QVERIFY(!sessionId.isEmpty());
            QVERIFY2(!sessionIds.contains(sessionId), qPrintable(sessionId));
            sessionIds.insert(sessionId);
            QCOMPARE(s.value(QLatin1String("node_id")).toString(), nodeId);

            QVERIFY(s.value(QLatin1String("game_processes")).isArray());
            const QJsonArray processes = s.value(QLatin1String("game_processes")).toArray();
            for (const QJsonValue &p : processes)
                QVERIFY(p.isString() && p.toString().endsWith(QLatin1String(".exe")));
            const QString rules = s.value(QLatin1String("rules_environment")).toString();
            if (processes.isEmpty()) {
                QCOMPARE(rules, QStringLiteral("global-fallback"));
                ++globalFallback;
            } else {
                QVERIFY(!rules.isEmpty() && rules != QLatin1String("global-fallback"));
                ++processRouted;
            }

            QHostAddress egress;
            QVERIFY(egress.setAddress(s.value(QLatin1String("egress_ip")).toString()));
            QVERIFY(egress.isInSubnet(QHostAddress(QStringLiteral("203.0.113.0")), 24));
            const auto key = QByteArray::fromBase64Encoding(
                s.value(QLatin1String("server_public_key")).toString().toLatin1(),
                QByteArray::AbortOnBase64DecodingErrors);
            QVERIFY(key);
            QCOMPARE(key.decoded.size(), qsizetype(32));
            const QUrl endpoint =
                QUrl::fromUserInput(QStringLiteral("udp://") + s.value(QLatin1String("endpoint")).toString());
            QVERIFY(!endpoint.host().isEmpty());
            QVERIFY(endpoint.port() > 0);
            const QString clientAddress = s.value(QLatin1String("client_address")).toString();
            QVERIFY2(QRegularExpression(QStringLiteral("^10\\.77\\.\\d{1,3}\\.\\d{1,3}/32$"))
                         .match(clientAddress)
                         .hasMatch(),
                     qPrintable(clientAddress));
            QVERIFY2(!clientAddresses.contains(clientAddress), qPrintable(clientAddress));
            clientAddresses.insert(clientAddress);

            QTRY_VERIFY(backend->lines.contains(
                QStringLiteral("POST /api/v1/acceleration/sessions 201 session=") + sessionId));
        }
        QVERIFY(processRouted > globalFallback);
        QVERIFY(globalFallback >= 1);

        for (const QString &id : std::as_const(sessionIds)) {
            QCOMPARE(send(nam, "DELETE", backend->url(QStringLiteral("/api/v1/acceleration/sessions/") + id),
                          {}, auth)
                         .status,
                     204);
        }
    }

    void createSessionValidatesBody_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        const QJsonObject valid =
            sessionRequest(QStringLiteral("1001"), QStringLiteral("asia"), QStringLiteral("hk-01"));
        const auto with = [&valid](const char *key, const QJsonValue &value) {
            QJsonObject o = valid;
            o.insert(QLatin1String(key), value);
            return compact(o);
        };
        const auto without = [&valid](const char *key) {
            QJsonObject o = valid;
            o.remove(QLatin1String(key));
            return compact(o);
        };
        const QJsonObject probe = valid.value(QLatin1String("probes")).toArray().first().toObject();
        const auto withProbe = [&](const char *key, const QJsonValue &value) {
            QJsonObject p = probe;
            if (value.isUndefined())
                p.remove(QLatin1String(key));
            else
                p.insert(QLatin1String(key), value);
            return with("probes", QJsonArray{p});
        };

        QTest::newRow("invalid JSON") << QByteArrayLiteral("{\"game_id\":\"1001\",") << 400;
        QTest::newRow("empty body") << QByteArray("") << 400;
        QTest::newRow("not an object") << QByteArrayLiteral("[{\"game_id\":\"1001\"}]") << 400;
        QTest::newRow("no game id") << without("game_id") << 400;
        QTest::newRow("numeric game id") << with("game_id", 1001) << 400;
        QTest::newRow("null region id") << with("region_id", QJsonValue::Null) << 400;
        QTest::newRow("no preferred node") << without("preferred_node_id") << 400;
        QTest::newRow("no client key") << without("client_public_key") << 400;
        QTest::newRow("empty client key") << with("client_public_key", QString()) << 400;
        QTest::newRow("no probes") << without("probes") << 400;
        QTest::newRow("probes not an array") << with("probes", probe) << 400;
        QTest::newRow("no probe") << with("probes", QJsonArray()) << 400;
        QTest::newRow("two probes") << with("probes", QJsonArray{probe, probe}) << 400;
        QTest::newRow("probe not an object") << with("probes", QJsonArray{QStringLiteral("hk-01")}) << 400;
        QTest::newRow("probe without node") << withProbe("node_id", QJsonValue::Undefined) << 400;
        QTest::newRow("probe without rtt") << withProbe("rtt_ms", QJsonValue::Undefined) << 400;
        QTest::newRow("rtt as text") << withProbe("rtt_ms", QStringLiteral("35")) << 400;
        QTest::newRow("fractional rtt") << withProbe("rtt_ms", 35.5) << 400;
        QTest::newRow("negative rtt") << withProbe("rtt_ms", -1) << 400;
        QTest::newRow("unknown game") << with("game_id", QStringLiteral("9999")) << 422;
        QTest::newRow("region of another game") << with("region_id", QStringLiteral("kr")) << 422;
        QTest::newRow("node outside the region") << with("preferred_node_id", QStringLiteral("hk-05")) << 422;
        QTest::newRow("probe of another node") << withProbe("node_id", QStringLiteral("hk-02")) << 422;
    }

    void createSessionValidatesBody()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        const QByteArray auth = bearer(Member, MemberPassword);
        const HttpResult r =
            send(nam, "POST", backend->url(QStringLiteral("/api/v1/acceleration/sessions")), body, auth);
        QCOMPARE(r.status, status);
        QVERIFY2(hasChineseMessage(r.json), r.body.constData());
        QVERIFY(!r.json.contains(QLatin1String("session_id")));
    }

    void createSessionRefusesInactiveMembership()
    {
        const QByteArray auth = bearer(Expired, ExpiredPassword);
        QVERIFY(!auth.isEmpty());
        const HttpResult r = createSession(
            auth, sessionRequest(QStringLiteral("1001"), QStringLiteral("asia"), QStringLiteral("hk-01")));
        QCOMPARE(r.status, 403);
        QVERIFY2(hasChineseMessage(r.json), r.body.constData());
        QVERIFY(!r.json.contains(QLatin1String("session_id")));
    }

    void deleteSession()
    {
        const QByteArray member = bearer(Member, MemberPassword);
        const QByteArray trial = bearer(Trial, TrialPassword);
        const HttpResult created = createSession(
            member, sessionRequest(QStringLiteral("1002"), QStringLiteral("asia"), QStringLiteral("hk-02")));
        QCOMPARE(created.status, 201);
        const QString id = created.json.value(QLatin1String("session_id")).toString();
        const QUrl url = backend->url(QStringLiteral("/api/v1/acceleration/sessions/") + id);

        const HttpResult foreign = send(nam, "DELETE", url, {}, trial);
        QCOMPARE(foreign.status, 404);
        QVERIFY(hasChineseMessage(foreign.json));

        const HttpResult deleted = send(nam, "DELETE", url, {}, member);
        QCOMPARE(deleted.status, 204);
        QVERIFY(deleted.body.isEmpty());
        QTRY_VERIFY(backend->lines.contains(
            QStringLiteral("DELETE /api/v1/acceleration/sessions/%1 204 session=%1").arg(id)));

        const HttpResult again = send(nam, "DELETE", url, {}, member);
        QCOMPARE(again.status, 404);
        QVERIFY(hasChineseMessage(again.json));
        const HttpResult unknown =
            send(nam, "DELETE", backend->url(QStringLiteral("/api/v1/acceleration/sessions/no-such-session")),
                 {}, member);
        QCOMPARE(unknown.status, 404);
        QVERIFY(hasChineseMessage(unknown.json));
    }

    void malformedRequests_data()
    {
        QTest::addColumn<QByteArray>("verb");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        const QString login = QStringLiteral("/api/v1/auth/login");
        // A sign-in body of exactly 64 KiB is still read (and refused for its credentials).
        QJsonObject padded{{QStringLiteral("account"), Member},
                           {QStringLiteral("password"), QStringLiteral("wrong")},
                           {QStringLiteral("device_id"), QStringLiteral("d")},
                           {QStringLiteral("padding"), QString()}};
        const int fill = 64 * 1024 - int(compact(padded).size());
        padded.insert(QStringLiteral("padding"), QString(fill, QLatin1Char('x')));
        const QByteArray limit = compact(padded);
        QCOMPARE(limit.size(), qsizetype(64 * 1024));

        QTest::newRow("unknown route")
            << QByteArray("GET") << QStringLiteral("/api/v1/nothing") << QByteArray() << 404;
        QTest::newRow("root") << QByteArray("GET") << QStringLiteral("/") << QByteArray() << 404;
        QTest::newRow("trailing slash")
            << QByteArray("GET") << QStringLiteral("/api/v1/games/") << QByteArray() << 404;
        QTest::newRow("GET sign-in") << QByteArray("GET") << login << QByteArray() << 405;
        QTest::newRow("PUT games") << QByteArray("PUT") << QStringLiteral("/api/v1/games") << QByteArray("{}")
                                   << 405;
        QTest::newRow("POST profile")
            << QByteArray("POST") << QStringLiteral("/api/v1/me") << QByteArray("{}") << 405;
        QTest::newRow("GET sessions")
            << QByteArray("GET") << QStringLiteral("/api/v1/acceleration/sessions") << QByteArray() << 405;
        QTest::newRow("DELETE release")
            << QByteArray("DELETE") << QStringLiteral("/api/v1/client/releases/latest") << QByteArray()
            << 405;
        QTest::newRow("body at the limit") << QByteArray("POST") << login << limit << 401;
        QTest::newRow("body over the limit") << QByteArray("POST") << login << QByteArray(limit + ' ') << 413;
        QTest::newRow("large session body")
            << QByteArray("POST") << QStringLiteral("/api/v1/acceleration/sessions")
            << QByteArray(200 * 1024, ' ') << 413;
    }

    void malformedRequests()
    {
        QFETCH(QByteArray, verb);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        const HttpResult r = send(nam, verb, backend->url(path), body, bearer(Member, MemberPassword));
        QCOMPARE(r.status, status);
        QVERIFY2(hasChineseMessage(r.json), r.body.constData());
    }

    void oversizedUploadIsCutOff()
    {
        // A client that announces and keeps sending megabytes gets its answer before the body ends,
        // and the backend goes on serving others.
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, quint16(backend->base.port()));
        QVERIFY(socket.waitForConnected(5000));
        socket.write(
            "POST /api/v1/auth/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
            "Content-Length: 67108864\r\n\r\n");
        socket.write(QByteArray(4 * 1024 * 1024, 'a'));

        QByteArray response;
        QDeadlineTimer deadline(20000);
        while (!response.contains("}") && !deadline.hasExpired() &&
               socket.state() == QAbstractSocket::ConnectedState) {
            socket.waitForReadyRead(100);
            response += socket.readAll();
        }
        QVERIFY2(response.startsWith("HTTP/1.1 413"), response.left(200).constData());
        const QByteArray body = response.mid(response.indexOf("\r\n\r\n") + 4);
        QVERIFY2(hasChineseMessage(QJsonDocument::fromJson(body).object()), body.constData());
        QTRY_VERIFY(backend->lines.contains(QStringLiteral("POST /api/v1/auth/login 413")));

        const HttpResult after =
            send(nam, "GET", backend->url(QStringLiteral("/api/v1/client/releases/latest")), QByteArray());
        QCOMPARE(after.status, 200);
        if (socket.state() != QAbstractSocket::UnconnectedState)
            QVERIFY(socket.waitForDisconnected(10000));
    }

    void releaseDefaultsToRunningVersion()
    {
        const HttpResult r = send(nam, "GET",
                                  backend->url(QStringLiteral("/api/v1/client/releases/latest"),
                                               QStringLiteral("channel=alpha&platform=windows-x64")));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.json.value(QLatin1String("version")).toString(), QStringLiteral("0.4.0"));
        QCOMPARE(r.json.value(QLatin1String("mandatory")), QJsonValue(false));
        QVERIFY(r.json.value(QLatin1String("release_notes")).isString());
        const QJsonValue size = r.json.value(QLatin1String("size_bytes"));
        QVERIFY(isInteger(size) && size.toDouble() >= 1);
        const QString sha256 = r.json.value(QLatin1String("sha256")).toString();
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(sha256).hasMatch(),
                 qPrintable(sha256));

        // The advertised installer is really there, as advertised.
        const QUrl download(r.json.value(QLatin1String("download_url")).toString());
        QCOMPARE(download.scheme(), QStringLiteral("http"));
        QCOMPARE(download.host(), QStringLiteral("127.0.0.1"));
        QCOMPARE(download.port(), backend->base.port());
        const HttpResult file = send(nam, "GET", download);
        QCOMPARE(file.status, 200);
        QCOMPARE(file.body.size(), qsizetype(size.toDouble()));
        QCOMPARE(QString::fromLatin1(QCryptographicHash::hash(file.body, QCryptographicHash::Sha256).toHex()),
                 sha256);

        const HttpResult missing = send(nam, "GET", backend->url(QStringLiteral("/downloads/other.exe")));
        QCOMPARE(missing.status, 404);
        QVERIFY(hasChineseMessage(missing.json));
    }

    void configuredReleaseOverTls()
    {
#ifdef Q_OS_WIN
        QSKIP("make-dev-cert.sh needs a POSIX shell");
#endif
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QProcess makeCert;
        makeCert.start(QStringLiteral("/bin/sh"),
                       {QStringLiteral(MAKE_DEV_CERT_PATH), dir.filePath(QStringLiteral("certs"))});
        QVERIFY(makeCert.waitForFinished(60000));
        QVERIFY2(makeCert.exitStatus() == QProcess::NormalExit && makeCert.exitCode() == 0,
                 makeCert.readAllStandardError().constData());

        // An installer of a few megabytes, with a name that needs encoding in a URL.
        const QString installerPath = dir.filePath(QStringLiteral("Zumvari Setup 0.5.0-beta.exe"));
        QByteArray installer(3 * 1024 * 1024 + 17, Qt::Uninitialized);
        QRandomGenerator generator(42);
        for (char &c : installer)
            c = char(generator.bounded(256));
        {
            QFile f(installerPath);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QCOMPARE(f.write(installer), qint64(installer.size()));
        }
        const QString digest =
            QString::fromLatin1(QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex());
        const QString notes = QStringLiteral("修复了若干问题，提升了稳定性。");

        Backend tls;
        QString why;
        QVERIFY2(tls.start({QStringLiteral("--tls-cert"), dir.filePath(QStringLiteral("certs/server.pem")),
                            QStringLiteral("--tls-key"), dir.filePath(QStringLiteral("certs/server-key.pem")),
                            QStringLiteral("--release-version"), QStringLiteral("0.5.0-beta"),
                            QStringLiteral("--release-notes"), notes, QStringLiteral("--release-mandatory"),
                            QStringLiteral("--installer"), installerPath},
                           &why),
                 qPrintable(why));
        QCOMPARE(tls.base.scheme(), QStringLiteral("https"));
        const QUrl releaseUrl = tls.url(QStringLiteral("/api/v1/client/releases/latest"),
                                        QStringLiteral("channel=alpha&platform=windows-x64"));

        // Without the test's authority the certificate is not trusted: this really is TLS.
        {
            QNetworkAccessManager untrusting;
            const HttpResult refused = send(untrusting, "GET", releaseUrl);
            QCOMPARE(refused.status, 0);
            QCOMPARE(refused.error, QNetworkReply::SslHandshakeFailedError);
        }

        const QSslConfiguration original = QSslConfiguration::defaultConfiguration();
        const auto restore =
            qScopeGuard([&original] { QSslConfiguration::setDefaultConfiguration(original); });
        QSslConfiguration trusting = original;
        QVERIFY(trusting.addCaCertificates(dir.filePath(QStringLiteral("certs/ca.pem"))));
        QSslConfiguration::setDefaultConfiguration(trusting);
        QNetworkAccessManager client;

        const HttpResult r = send(client, "GET", releaseUrl);
        QCOMPARE(r.status, 200);
        QCOMPARE(r.json.value(QLatin1String("version")).toString(), QStringLiteral("0.5.0-beta"));
        QCOMPARE(r.json.value(QLatin1String("mandatory")), QJsonValue(true));
        QCOMPARE(r.json.value(QLatin1String("release_notes")).toString(), notes);
        QCOMPARE(r.json.value(QLatin1String("size_bytes")).toDouble(), double(installer.size()));
        QCOMPARE(r.json.value(QLatin1String("sha256")).toString(), digest);

        const QUrl download(r.json.value(QLatin1String("download_url")).toString());
        QCOMPARE(download.scheme(), QStringLiteral("https"));
        QCOMPARE(download.port(), tls.base.port());
        QCOMPARE(download.path(QUrl::FullyEncoded),
                 QStringLiteral("/downloads/Zumvari%20Setup%200.5.0-beta.exe"));

        const HttpResult file = send(client, "GET", download);
        QCOMPARE(file.status, 200);
        QCOMPARE(file.contentLength, qint64(installer.size()));
        QCOMPARE(file.body.size(), installer.size());
        QVERIFY(file.body == installer);
        QCOMPARE(QString::fromLatin1(QCryptographicHash::hash(file.body, QCryptographicHash::Sha256).toHex()),
                 digest);

        // Sign-in works over the same TLS port.
        const HttpResult login = send(client, "POST", tls.url(QStringLiteral("/api/v1/auth/login")),
                                      compact({{QStringLiteral("account"), Member},
                                               {QStringLiteral("password"), MemberPassword},
                                               {QStringLiteral("device_id"), QStringLiteral("d")}}));
        QCOMPARE(login.status, 200);
    }

    void customSeed()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QJsonObject seed{
            {QStringLiteral("accounts"),
             QJsonArray{QJsonObject{{QStringLiteral("account"), QStringLiteral("solo")},
                                    {QStringLiteral("password"), QStringLiteral("pw")},
                                    {QStringLiteral("kind"), QStringLiteral("grant")},
                                    {QStringLiteral("active"), true},
                                    {QStringLiteral("expires_in_days"), 1}}}},
            {QStringLiteral("nodes"),
             QJsonArray{QJsonObject{
                 {QStringLiteral("id"), QStringLiteral("n1")},
                 {QStringLiteral("name"), QStringLiteral("香港 测试")},
                 {QStringLiteral("location"), QStringLiteral("hk")},
                 {QStringLiteral("score"), 12},
                 {QStringLiteral("endpoint"), QStringLiteral("198.51.100.1:51820")},
                 {QStringLiteral("public_key"), QString::fromLatin1(QByteArray(32, 'k').toBase64())},
                 {QStringLiteral("egress_ip"), QStringLiteral("203.0.113.1")}}}},
            {QStringLiteral("games"),
             QJsonArray{QJsonObject{
                 {QStringLiteral("id"), QStringLiteral("g1")},
                 {QStringLiteral("slug"), QStringLiteral("cs2")},
                 {QStringLiteral("name"), QStringLiteral("测试游戏")},
                 {QStringLiteral("game_processes"), QJsonArray{QStringLiteral("game.exe")}},
                 {QStringLiteral("regions"),
                  QJsonArray{QJsonObject{{QStringLiteral("id"), QStringLiteral("r1")},
                                         {QStringLiteral("name"), QStringLiteral("测试服")},
                                         {QStringLiteral("nodes"), QJsonArray{QStringLiteral("n1")}}}}}}}},
        };
        const QString seedPath = dir.filePath(QStringLiteral("seed.json"));
        {
            QFile f(seedPath);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QJsonDocument(seed).toJson());
        }

        Backend custom;
        QString why;
        QVERIFY2(custom.start({QStringLiteral("--seed"), seedPath}, &why), qPrintable(why));
        const HttpResult login = send(nam, "POST", custom.url(QStringLiteral("/api/v1/auth/login")),
                                      compact({{QStringLiteral("account"), QStringLiteral("solo")},
                                               {QStringLiteral("password"), QStringLiteral("pw")},
                                               {QStringLiteral("device_id"), QStringLiteral("d")}}));
        QCOMPARE(login.status, 200);
        const QByteArray auth =
            "Bearer " + login.json.value(QLatin1String("access_token")).toString().toUtf8();
        const HttpResult games = send(nam, "GET", custom.url(QStringLiteral("/api/v1/games")), {}, auth);
        QCOMPARE(compact(games.json),
                 QByteArray(R"({"items":[{"id":"g1","name":"测试游戏","slug":"cs2"}]})"));

        // A seed that points at a node it does not define is refused at start, with the reason.
        QJsonObject broken = seed;
        broken.insert(QStringLiteral("nodes"), QJsonArray());
        {
            QFile f(seedPath);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(QJsonDocument(broken).toJson());
        }
        QProcess refused;
        refused.start(QStringLiteral(DEVBACKEND_PATH),
                      {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--seed"), seedPath});
        QVERIFY(refused.waitForFinished(10000));
        QCOMPARE(refused.exitCode(), 2);
        QVERIFY(refused.readAllStandardOutput().isEmpty());
        QVERIFY(refused.readAllStandardError().contains("unknown node"));
    }

    void stopsCleanlyOnSignal_data()
    {
        QTest::addColumn<int>("signalNumber");
#ifdef Q_OS_UNIX
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
#endif
    }

    void stopsCleanlyOnSignal()
    {
#ifdef Q_OS_UNIX
        QFETCH(int, signalNumber);
        Backend b;
        QString why;
        QVERIFY2(b.start({}, &why), qPrintable(why));
        QCOMPARE(send(nam, "GET", b.url(QStringLiteral("/api/v1/client/releases/latest"))).status, 200);
        QCOMPARE(::kill(pid_t(b.process.processId()), signalNumber), 0);
        QVERIFY(b.process.waitForFinished(10000));
        b.collect();
        QCOMPARE(b.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(b.process.exitCode(), 0);
        QCOMPARE(b.lines.last(), QStringLiteral("devbackend stopped"));
#else
        QSKIP("POSIX signals only");
#endif
    }
};

QTEST_GUILESS_MAIN(TestDevBackend)
#include "tst_devbackend.moc"
