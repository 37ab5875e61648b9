// The API client against a real loopback server: what every operation puts on the wire, and how
// every kind of reply is judged, seen only through the client's signals and the recorded requests.
#include "apiclient.h"
#include "apiclientwatch.h"
#include "clienttest.h"
#include "testserver.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QMetaMethod>
#include <QSettings>
#include <QUuid>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

const char ApiUrlVariable[] = "DIVE_DIZUVIVIVID_API_URL";
const char DeviceIdKey[] = "device/id";
const char KnownDeviceId[] = "7b0c2d4e-5f60-4a7b-8c9d-0e1f2a3b4c5d";
const char LoginPath[] = "/api/v1/auth/login";

using Rig = ApiRig;

QString stored()
{
    return QSettings().value(QLatin1String(DeviceIdKey)).toString();
}

// One backend operation, called with ordinary arguments, and what its reply is judged against.
struct Operation
{
    const char *name;
    QByteArray method;
    QByteArray path; // decoded, as the server's routes match it
    int successStatus;
    QString failureSignal;
    QString fallback;
    bool checksSignIn;
    std::function<void(ApiClient &)> call;
};

const QList<Operation> &operations()
{
    const QString failed = QStringLiteral("RequestFailed");
    static const QList<Operation> table = {
        {"Login", "POST", LoginPath, 200, failed, QStringLiteral("登录失败"), false,
         [](ApiClient &c) { c.Login(QStringLiteral("  玩家 one  "), QStringLiteral("  p@ss \"w\"  ")); }},
        {"LoadProfile", "GET", "/api/v1/me", 200, failed, QStringLiteral("读取会员信息失败"), true,
         [](ApiClient &c) { c.LoadProfile(); }},
        {"LoadGames", "GET", "/api/v1/games", 200, failed, QStringLiteral("读取游戏失败"), true,
         [](ApiClient &c) { c.LoadGames(); }},
        {"LoadRegions", "GET", "/api/v1/games/g1/regions", 200, failed, QStringLiteral("读取游戏区服失败"),
         false, [](ApiClient &c) { c.LoadRegions(QStringLiteral("g1")); }},
        {"LoadNodes", "GET", "/api/v1/games/g1/regions/r1/nodes", 200, failed,
         QStringLiteral("读取加速节点失败"), false,
         [](ApiClient &c) { c.LoadNodes(QStringLiteral("g1"), QStringLiteral("r1")); }},
        {"CreateSession", "POST", "/api/v1/acceleration/sessions", 201, QStringLiteral("AccelerationFailed"),
         QStringLiteral("创建加速会话失败"), false,
         [](ApiClient &c) {
             c.CreateSession(QStringLiteral("g1"), QStringLiteral("r1"), QStringLiteral("n1"),
                             QStringLiteral("pk+/="), 35);
         }},
        {"StopSession", "DELETE", "/api/v1/acceleration/sessions/s1", 204, failed,
         QStringLiteral("停止加速会话失败"), false,
         [](ApiClient &c) { c.StopSession(QStringLiteral("s1")); }},
    };
    return table;
}

const Operation &operation(const QString &name)
{
    const QList<Operation> &ops = operations();
    return *std::find_if(ops.begin(), ops.end(),
                         [&](const Operation &op) { return name == QLatin1String(op.name); });
}

} // namespace

class TstApiClient : public QObject
{
    Q_OBJECT

private slots:
    void init() { QSettings().setValue(QLatin1String(DeviceIdKey), QLatin1String(KnownDeviceId)); }
    void cleanup() { qunsetenv(ApiUrlVariable); }

    void signalTable();
    void baseUrl();
    void requestsOnTheWire_data();
    void requestsOnTheWire();
    void identifiersInPaths_data();
    void identifiersInPaths();
    void replies_data();
    void replies();
    void stalledReplyEndsAtInactivityTimeout();
    void signedOutProfileAndGamesSendNothing();
    void regionRepliesFinishInReplyOrder();
    void signInTokens_data();
    void signInTokens();
    void deviceId_data();
    void deviceId();
};

void TstApiClient::signalTable()
{
    // The order is the meta-object's; the parameter names are part of the interface.
    const QStringList expected = {
        "LoginSucceeded(QString account)",
        "ProfileLoaded(QJsonObject profile)",
        "GamesLoaded(QJsonArray games)",
        "RegionsLoaded(QString gameId, QJsonArray regions)",
        "NodesLoaded(QString gameId, QString regionId, QJsonArray nodes)",
        "SessionCreated(QJsonObject session)",
        "AccelerationFailed(QString message)",
        "SessionStopped()",
        "UpdateAvailable(QString version, QUrl downloadUrl, QString releaseNotes, bool mandatory, "
        "QString sha256, qlonglong sizeBytes)",
        "UpdateDownloadProgress(qlonglong received, qlonglong total)",
        "UpdateDownloaded(QString installerPath)",
        "UpdateDownloadFailed(QString message)",
        "RequestFailed(QString message)"};
    const QMetaObject &meta = ApiClient::staticMetaObject;
    QCOMPARE(meta.superClass(), &QObject::staticMetaObject);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QStringList seen;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod m = meta.method(i);
        QCOMPARE(m.methodType(), QMetaMethod::Signal);
        QStringList parameters;
        for (int p = 0; p < m.parameterCount(); ++p)
            parameters.append(QString::fromLatin1(m.parameterTypes()[p] + ' ' + m.parameterNames()[p]));
        seen.append(QString::fromLatin1(m.name()) + '(' + parameters.join(QStringLiteral(", ")) + ')');
    }
    QCOMPARE(seen, expected);
}

void TstApiClient::baseUrl()
{
    {
        // Unset: the built-in backend. Only the URL is looked at: nothing may leave this machine.
        qunsetenv(ApiUrlVariable);
        const QUrl url = ApiClient().EndpointUrl(QStringLiteral("/api/v1/games"));
        QCOMPARE(url.scheme(), QStringLiteral("https"));
        QVERIFY2(!url.host().isEmpty() && url.host() != QLatin1String("127.0.0.1"),
                 qPrintable(url.toString()));
        QCOMPARE(url.path(), QStringLiteral("/api/v1/games"));
    }
    trustTestCa();
    Rig rig(TestServer::Https, QStringLiteral("/prefix/"));
    QVERIFY(rig.signIn());
    QVERIFY(rig.finish([&] { rig.client->LoadGames(); }));
    const RecordedRequest games = rig.server->lastRequest();
    QCOMPARE(games.target, QByteArray("/api/v1/games"));
    QVERIFY(games.encrypted);
    QCOMPARE(games.header("Host"), "127.0.0.1:" + QByteArray::number(rig.server->port()));

    // A query of the base URL travels with every request; its path still does not.
    Rig withQuery(TestServer::Http, QStringLiteral("/prefix?tenant=7"));
    QVERIFY(withQuery.finish([&] { withQuery.client->LoadRegions(QStringLiteral("g1")); }));
    QCOMPARE(withQuery.server->lastRequest().target, QByteArray("/api/v1/games/g1/regions?tenant=7"));

    // Set but empty: no host, so every request fails at the transport and reports its fallback.
    qputenv(ApiUrlVariable, QByteArray());
    ApiClient client;
    SignalLog log(&client);
    ReplyWatch watch(&client);
    for (const Operation &op : operations()) {
        log.clear();
        watch.reset();
        op.call(client);
        QVERIFY(op.checksSignIn || watch.waitFor(1));
        QCOMPARE(log.names(), QStringList{op.failureSignal});
        QCOMPARE(log.entries.first().args,
                 QVariantList{op.checksSignIn ? QStringLiteral("请先登录") : op.fallback});
    }
}

void TstApiClient::requestsOnTheWire_data()
{
    QTest::addColumn<QString>("operation"); // sent with the method and to the path of the table above
    QTest::addColumn<QByteArray>("token");  // empty: signed out
    QTest::addColumn<QList<QByteArray>>("authorization");
    QTest::addColumn<QList<QByteArray>>("contentType");
    QTest::addColumn<QByteArray>("body");
    const QByteArray none;
    const QList<QByteArray> no, json{"application/json"};

    // Sign-in never carries the token it holds; the account is trimmed, the password is not.
    QTest::newRow("Login signed in") << "Login" << QByteArray("tok-1") << no << json
                                     << QByteArray(R"({"account":"玩家 one","device_id":")") + KnownDeviceId +
                                            R"(","password":"  p@ss \"w\"  "})";
    QTest::newRow("LoadProfile UTF-8 token")
        << "LoadProfile" << QByteArray("tök-2") << QList<QByteArray>{"Bearer tök-2"} << no << none;
    QTest::newRow("LoadGames") << "LoadGames" << QByteArray("tok-1") << QList<QByteArray>{"Bearer tok-1"}
                               << no << none;
    const QByteArray session =
        R"({"client_public_key":"pk+/=","game_id":"g1","preferred_node_id":"n1",)"
        R"("probes":[{"jitter_ms":0,"loss_rate":0,"node_id":"n1","rtt_ms":35}],"region_id":"r1"})";
    // The others check nothing first: signed out they send "Bearer " with an empty token.
    for (const QByteArray &token : {QByteArray("tok-1"), QByteArray()}) {
        const char *state = token.isEmpty() ? "signed out" : "signed in";
        for (const char *op : {"LoadRegions", "LoadNodes", "CreateSession", "StopSession"}) {
            const bool post = op == QLatin1String("CreateSession");
            QTest::addRow("%s %s", op, state)
                << QString::fromLatin1(op) << token << QList<QByteArray>{"Bearer " + token}
                << (post ? json : no) << (post ? session : none);
        }
    }
}

void TstApiClient::requestsOnTheWire()
{
    QFETCH(QString, operation);
    QFETCH(QByteArray, token);
    QFETCH(QList<QByteArray>, authorization);
    QFETCH(QList<QByteArray>, contentType);
    QFETCH(QByteArray, body);

    const Operation &op = ::operation(operation);
    Rig rig;
    if (!token.isEmpty())
        QVERIFY(rig.signIn(token));
    rig.server->clearRequests();
    QVERIFY(rig.finish([&] { op.call(*rig.client); }));

    QCOMPARE(rig.server->requestCount(), 1);
    const RecordedRequest request = rig.server->lastRequest();
    QCOMPARE(request.method, op.method);
    QCOMPARE(request.target, op.path);
    QCOMPARE(request.headerValues("Authorization"), authorization);
    QCOMPARE(request.headerValues("Content-Type"), contentType);
    QCOMPARE(request.body, body);
    // The device id travels in the sign-in body only (target and body are exact above).
    for (const auto &header : request.headers)
        QVERIFY2(!header.second.contains(KnownDeviceId), header.first.constData());
}

void TstApiClient::identifiersInPaths_data()
{
    QTest::addColumn<QString>("gameId");
    QTest::addColumn<QString>("regionId"); // null: a regions request
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("space") << "a b" << QString() << QByteArray("/api/v1/games/a%20b/regions");
    QTest::newRow("? and #") << "a?b#c" << QString() << QByteArray("/api/v1/games/a%3Fb%23c/regions");
    // An id that looks percent-encoded is plain text: its "%" is encoded once more.
    QTest::newRow("encoded-looking") << "a%20b" << QString() << QByteArray("/api/v1/games/a%2520b/regions");
    // Both identifiers go in in one pass: a "%2" of the game id is not filled in again.
    QTest::newRow("%2 in game id") << "g%2"
                                   << "r 1" << QByteArray("/api/v1/games/g%252/regions/r%201/nodes");
}

void TstApiClient::identifiersInPaths()
{
    QFETCH(QString, gameId);
    QFETCH(QString, regionId);
    QFETCH(QByteArray, target);

    Rig rig;
    rig.server->on("GET", QByteArray::fromPercentEncoding(target)).reply(200, R"({"items":[{"id":"x"}]})");
    QVERIFY(rig.finish([&] {
        if (regionId.isNull())
            rig.client->LoadRegions(gameId);
        else
            rig.client->LoadNodes(gameId, regionId);
    }));
    QCOMPARE(rig.server->lastRequest().target, target);
    // The identifiers come back exactly as they were passed.
    const QJsonArray items{QJsonObject{{QStringLiteral("id"), QStringLiteral("x")}}};
    QCOMPARE(rig.log->entries.size(), 1);
    const QVariantList ids = regionId.isNull() ? QVariantList{gameId} : QVariantList{gameId, regionId};
    QCOMPARE(rig.log->entries.first().args, ids + QVariantList{items});
}

void TstApiClient::replies_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("status"); // 0: the connection closes without a reply; -1: nothing listens
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("signal");    // empty: the operation's failure signal...
    QTest::addColumn<QVariantList>("args"); // ...with this message, or with its fallback when empty
    const auto row = [](const QString &op, const char *tag, int status, const QByteArray &body,
                        const char *signal, const QVariantList &args) {
        QTest::addRow("%s %s", qPrintable(op), tag)
            << op << status << body << QString::fromLatin1(signal) << args;
    };
    const auto object = [](const QByteArray &json) { return QJsonDocument::fromJson(json).object(); };
    const QByteArray profile =
        R"({"account":"member","membership":{"active":true,"kind":"trial","expires_at":"2030-01-01T00:00:00Z"}})";
    const QByteArray items =
        R"({"items":[{"id":"g1","name":"反恐精英","slug":"cs2"},{"id":"g2"}],"total":2})";
    const QJsonArray itemArray = object(items).value(QLatin1String("items")).toArray();
    const QByteArray session =
        R"({"session_id":"s1","game_processes":["cs2.exe"],"egress_ip":"","x":{"k":1}})";
    const QString g1 = QStringLiteral("g1"), r1 = QStringLiteral("r1");

    row("Login", "trims the account", 200, R"({"access_token":"a","refresh_token":"r"})", "LoginSucceeded",
        {QStringLiteral("玩家 one")});
    row("LoadProfile", "whole body", 200, profile, "ProfileLoaded", {object(profile)});
    row("LoadProfile", "array body", 200, R"([{"account":"x"}])", "ProfileLoaded", {QJsonObject()});
    row("LoadGames", "items", 200, items, "GamesLoaded", {itemArray});
    row("LoadGames", "not JSON", 200, "<html>games</html>", "GamesLoaded", {QJsonArray()});
    row("LoadGames", "no items", 200, R"({"total":0})", "GamesLoaded", {QJsonArray()});
    row("LoadRegions", "items", 200, items, "RegionsLoaded", {g1, itemArray});
    row("LoadNodes", "empty body", 200, "", "NodesLoaded", {g1, r1, QJsonArray()});
    row("CreateSession", "201", 201, session, "SessionCreated", {object(session)});
    // The body of a 204 is not looked at.
    row("StopSession", "204 with body", 204, R"({"message":"ignored"})", "SessionStopped", {});

    for (const Operation &op : operations()) {
        const QString name = QString::fromLatin1(op.name);
        row(name, "500 JSON message", 500, R"({"message":"服务器维护中"})", "",
            {QStringLiteral("服务器维护中")});
        row(name, "500 HTML", 500, R"(<html><body>{"message":"no"}</body></html>)", "", {});
        // Only the exact success status counts: 200 to CreateSession, 201 to the others.
        row(name, "other 2xx with message", op.successStatus == 200 ? 201 : 200, R"({"message":"状态不对"})",
            "", {QStringLiteral("状态不对")});
        row(name, "no listener", -1, {}, "", {});
    }
    // The message rule is shared; one operation shows each of its cases.
    const QString regions = QStringLiteral("LoadRegions");
    row(regions, "empty message", 400, R"({"message":""})", "", {QStringLiteral("")});
    row(regions, "numeric message", 400, R"({"message":42})", "", {});
    row(regions, "null message", 409, R"({"message":null})", "", {});
    row(regions, "message in an array", 422, R"([{"message":"no"}])", "", {});
    row(regions, "502 empty body", 502, {}, "", {});
    row(regions, "connection closed", 0, {}, "", {});
}

void TstApiClient::replies()
{
    QFETCH(QString, operation);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, signal);
    QFETCH(QVariantList, args);

    const Operation &op = ::operation(operation);
    Rig rig;
    if (op.checksSignIn)
        QVERIFY(rig.signIn());
    if (status > 0)
        rig.server->on(op.method, op.path).reply(status, body);
    else if (status == 0)
        rig.server->on(op.method, op.path).always(ScriptedReply::close());
    else
        rig.server.reset(); // its port now refuses
    QVERIFY(rig.finish([&] { op.call(*rig.client); }));

    const bool failed = signal.isEmpty();
    QCOMPARE(rig.log->names(), QStringList{failed ? op.failureSignal : signal});
    QCOMPARE(rig.log->entries.first().args, failed && args.isEmpty() ? QVariantList{op.fallback} : args);
    if (failed && operation == QLatin1String("Login"))
        QVERIFY(!rig.client->IsLoggedIn());
}

void TstApiClient::stalledReplyEndsAtInactivityTimeout()
{
    // The one slow test: a server that takes the request and never answers.
    Rig rig;
    rig.server->on("GET", "/api/v1/games/g1/regions").always(ScriptedReply::stall());
    QElapsedTimer clock;
    clock.start();
    rig.client->LoadRegions(QStringLiteral("g1"));
    QVERIFY(rig.watch->waitFor(1, 40000));
    QVERIFY2(clock.elapsed() >= 29000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(rig.log->names(), QStringList{QStringLiteral("RequestFailed")});
    QCOMPARE(rig.log->entries.first().args, QVariantList{QStringLiteral("读取游戏区服失败")});
}

void TstApiClient::signedOutProfileAndGamesSendNothing()
{
    Rig rig;
    rig.server->on("GET", "/api/v1/games/g1/regions").always(ScriptedReply(200, R"({"items":[]})"));
    for (const bool afterLogout : {false, true}) {
        if (afterLogout) {
            QVERIFY(rig.signIn());
            // Signing out is local: no request, no signal, and the device id stays.
            const QList<QNetworkReply *> before = rig.watch->replies();
            rig.client->Logout();
            QVERIFY(!rig.client->IsLoggedIn() && !rig.watch->newReply(before) && rig.log->entries.isEmpty());
            QCOMPARE(stored(), QString::fromLatin1(KnownDeviceId));
        }
        const int sent = rig.server->requestCount();
        const QList<QNetworkReply *> before = rig.watch->replies();
        rig.client->LoadProfile();
        rig.client->LoadGames();
        // Both answered from within the call, and no reply object was made.
        const QString failed = QStringLiteral("RequestFailed"), first = QStringLiteral("请先登录");
        QCOMPARE(rig.log->names(), (QStringList{failed, failed}));
        QCOMPARE(rig.log->entries[0].args + rig.log->entries[1].args, (QVariantList{first, first}));
        QVERIFY(!rig.watch->newReply(before));

        // The next request is the only one the server sees, with no token left.
        QVERIFY(rig.finish([&] { rig.client->LoadRegions(QStringLiteral("g1")); }));
        QCOMPARE(rig.server->requestCount(), sent + 1);
        QCOMPARE(rig.server->lastRequest().header("Authorization"), QByteArray("Bearer "));
    }
}

void TstApiClient::regionRepliesFinishInReplyOrder()
{
    Rig rig;
    rig.server->on("GET", "/api/v1/games/slow/regions")
        .reply(ScriptedReply::json(200, R"({"items":[{"id":"hk"}]})").delayed(400));
    rig.server->on("GET", "/api/v1/games/fast/regions").reply(200, R"({"items":[{"id":"jp"}]})");
    rig.client->LoadRegions(QStringLiteral("slow"));
    rig.client->LoadRegions(QStringLiteral("fast"));
    QVERIFY(rig.watch->waitFor(2));

    const auto region = [](const char *id) {
        return QJsonArray{QJsonObject{{QStringLiteral("id"), QLatin1String(id)}}};
    };
    QCOMPARE(rig.log->names(), QStringList(2, QStringLiteral("RegionsLoaded")));
    QCOMPARE(rig.log->entries[0].args, (QVariantList{QStringLiteral("fast"), region("jp")}));
    QCOMPARE(rig.log->entries[1].args, (QVariantList{QStringLiteral("slow"), region("hk")}));
}

void TstApiClient::signInTokens_data()
{
    QTest::addColumn<bool>("signedInBefore"); // with the token "good"
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QString>("message");   // or the account of LoginSucceeded
    QTest::addColumn<QByteArray>("bearer"); // what the next request carries
    const auto row = [](const char *tag, bool before, int status, const QByteArray &body, const char *signal,
                        const QString &message, const QByteArray &bearer) {
        QTest::newRow(tag) << before << status << body << QString::fromLatin1(signal) << message << bearer;
    };
    const QString missing = QStringLiteral("登录响应缺少 Token");

    row("both tokens replace the old ones", true, 200, R"({"access_token":"a2","refresh_token":"r2"})",
        "LoginSucceeded", QStringLiteral("member"), "Bearer a2");
    // Half a sign-in signs out completely, also after an earlier good one.
    row("access token only after a good one", true, 200, R"({"access_token":"a2"})", "RequestFailed", missing,
        "Bearer ");
    row("refresh token only", false, 200, R"({"refresh_token":"r2"})", "RequestFailed", missing, "Bearer ");
    row("empty refresh token", true, 200, R"({"access_token":"a2","refresh_token":""})", "RequestFailed",
        missing, "Bearer ");
    row("not JSON", true, 200, "signed in", "RequestFailed", missing, "Bearer ");
    // A refused sign-in leaves an earlier one alone.
    row("401 with message", true, 401, R"({"message":"账号或密码错误"})", "RequestFailed",
        QStringLiteral("账号或密码错误"), "Bearer good");
    row("401 empty body", true, 401, "", "RequestFailed", QStringLiteral("登录失败"), "Bearer good");
}

void TstApiClient::signInTokens()
{
    QFETCH(bool, signedInBefore);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, signal);
    QFETCH(QString, message);
    QFETCH(QByteArray, bearer);

    Rig rig;
    if (signedInBefore)
        QVERIFY(rig.signIn("good"));
    rig.server->on("POST", LoginPath).reply(status, body);
    QVERIFY(rig.finish([&] { rig.client->Login(QStringLiteral("member"), QStringLiteral("pw")); }));
    QCOMPARE(rig.log->names(), QStringList{signal});
    QCOMPARE(rig.log->entries.first().args, QVariantList{message});
    QCOMPARE(rig.client->IsLoggedIn(), bearer != "Bearer ");

    QVERIFY(rig.finish([&] { rig.client->LoadNodes(QStringLiteral("g1"), QStringLiteral("r1")); }));
    QCOMPARE(rig.server->lastRequest().header("Authorization"), bearer);
}

void TstApiClient::deviceId_data()
{
    QTest::addColumn<QVariant>("initial"); // invalid: no entry
    QTest::addColumn<QString>("expected"); // null: a fresh random UUID
    QTest::newRow("absent") << QVariant() << QString();
    QTest::newRow("empty is absent") << QVariant(QString()) << QString();
    for (const char *kept : {"{0A1B2C3D-4E5F-4061-8A9B-0C1D2E3F4A5B}", " my-pc "}) // braces, case, blanks
        QTest::newRow(kept) << QVariant(QString::fromLatin1(kept)) << QString::fromLatin1(kept);
}

void TstApiClient::deviceId()
{
    QFETCH(QVariant, initial);
    QFETCH(QString, expected);
    if (initial.isValid())
        QSettings().setValue(QLatin1String(DeviceIdKey), initial);
    else
        QSettings().remove(QLatin1String(DeviceIdKey));

    Rig rig;
    rig.server->on("POST", LoginPath).always(ScriptedReply(401));
    rig.client->Login(QStringLiteral("member"), QStringLiteral("pw"));
    // In the store before the sign-in goes out, whatever its outcome.
    const QString id = stored();
    if (expected.isNull()) // random, lower case, without braces
        QVERIFY2(QUuid(id).version() == QUuid::Random && QUuid(id).toString(QUuid::WithoutBraces) == id,
                 qPrintable(id));
    else
        QCOMPARE(id, expected);
    QVERIFY(rig.watch->waitFor(1));
    QVERIFY(rig.finish([&] { rig.client->Login(QStringLiteral("member"), QStringLiteral("pw")); }));
    QCOMPARE(ApiClient().DeviceId(), id); // a later program start keeps it
    const QList<RecordedRequest> requests = rig.server->requests();
    QCOMPARE(requests.size(), 2);
    for (const RecordedRequest &r : requests)
        QCOMPARE(QJsonDocument::fromJson(r.body).object().value(QLatin1String("device_id")).toString(), id);
}

ZUMVARI_TEST_MAIN(TstApiClient)
#include "tst_apiclient.moc"
