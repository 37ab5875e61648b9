// The API client against a real loopback server: what every operation puts on the wire, and how
// every kind of reply is judged, seen only through the client's signals and the recorded requests.
#include "apiclient.h"
#include "apiclientwatch.h"
#include "clienttest.h"
#include "testserver.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const char ApiUrlVariable[] = "DIVE_DIZUVIVIVID_API_URL";
const char DeviceIdKey[] = "device/id";

// Every request any server of this process has seen, for the check that the device id goes nowhere
// but into sign-in bodies.
QList<RecordedRequest> &everyRequest()
{
    static QList<RecordedRequest> all;
    return all;
}

// A server, a client pointed at it (the base URL is read at construction) and the client's signals.
struct Rig
{
    explicit Rig(TestServer::Scheme scheme = TestServer::Http, const QString &baseSuffix = {})
        : server(std::make_unique<TestServer>(scheme))
    {
        QObject::connect(server.get(), &TestServer::requestReceived,
                         [](const RecordedRequest &request) { everyRequest().append(request); });
        qputenv(ApiUrlVariable, (server->baseUrl().toString() + baseSuffix).toUtf8());
        client = std::make_unique<ApiClient>();
        log = std::make_unique<SignalLog>(client.get());
        watch = std::make_unique<ReplyWatch>(client.get());
    }

    // Signs in through a real sign-in reply carrying these tokens; the log and the reply count start
    // afresh afterwards.
    bool signIn(const QByteArray &accessToken = "tok-1")
    {
        QJsonObject tokens{{QStringLiteral("access_token"), QString::fromUtf8(accessToken)},
                           {QStringLiteral("refresh_token"), QStringLiteral("ref-1")}};
        server->on("POST", "/api/v1/auth/login")
            .reply(200, QJsonDocument(tokens).toJson(QJsonDocument::Compact));
        watch->reset();
        client->Login(QStringLiteral("member"), QStringLiteral("pw"));
        const bool ok = watch->waitFor(1) && log->names() == QStringList{QStringLiteral("LoginSucceeded")} &&
                        client->IsLoggedIn();
        log->clear();
        watch->reset();
        return ok;
    }

    std::unique_ptr<TestServer> server;
    std::unique_ptr<ApiClient> client;
    std::unique_ptr<SignalLog> log;
    std::unique_ptr<ReplyWatch> watch;
};

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString stored(const char *key = DeviceIdKey)
{
    return QSettings().value(QLatin1String(key)).toString();
}

bool isFreshDeviceId(const QString &id)
{
    static const QRegularExpression form(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"));
    return form.match(id).hasMatch();
}

QString deviceIdOfSignIn(const RecordedRequest &request)
{
    return QJsonDocument::fromJson(request.body).object().value(QLatin1String("device_id")).toString();
}

// One backend operation as the tests drive it: how it is called with ordinary arguments and what its
// reply is judged against.
struct Operation
{
    QByteArray method;
    QByteArray path; // decoded, as the server's routes match it
    int successStatus = 200;
    QString failureSignal;
    QString fallback;
    bool checksSignIn = false;
    std::function<void(ApiClient &)> call;
};

const QMap<QString, Operation> &operations()
{
    static const QMap<QString, Operation> table = {
        {QStringLiteral("Login"),
         {"POST", "/api/v1/auth/login", 200, QStringLiteral("RequestFailed"), QStringLiteral("登录失败"),
          false,
          [](ApiClient &c) { c.Login(QStringLiteral("  玩家 one  "), QStringLiteral("  p@ss \"w\"  ")); }}},
        {QStringLiteral("LoadProfile"),
         {"GET", "/api/v1/me", 200, QStringLiteral("RequestFailed"), QStringLiteral("读取会员信息失败"), true,
          [](ApiClient &c) { c.LoadProfile(); }}},
        {QStringLiteral("LoadGames"),
         {"GET", "/api/v1/games", 200, QStringLiteral("RequestFailed"), QStringLiteral("读取游戏失败"), true,
          [](ApiClient &c) { c.LoadGames(); }}},
        {QStringLiteral("LoadRegions"),
         {"GET", "/api/v1/games/g1/regions", 200, QStringLiteral("RequestFailed"),
          QStringLiteral("读取游戏区服失败"), false,
          [](ApiClient &c) { c.LoadRegions(QStringLiteral("g1")); }}},
        {QStringLiteral("LoadNodes"),
         {"GET", "/api/v1/games/g1/regions/r1/nodes", 200, QStringLiteral("RequestFailed"),
          QStringLiteral("读取加速节点失败"), false,
          [](ApiClient &c) { c.LoadNodes(QStringLiteral("g1"), QStringLiteral("r1")); }}},
        {QStringLiteral("CreateSession"),
         {"POST", "/api/v1/acceleration/sessions", 201, QStringLiteral("AccelerationFailed"),
          QStringLiteral("创建加速会话失败"), false,
          [](ApiClient &c) {
              c.CreateSession(QStringLiteral("g1"), QStringLiteral("r1"), QStringLiteral("n1"),
                              QStringLiteral("pk+/="), 35);
          }}},
        {QStringLiteral("StopSession"),
         {"DELETE", "/api/v1/acceleration/sessions/s1", 204, QStringLiteral("RequestFailed"),
          QStringLiteral("停止加速会话失败"), false,
          [](ApiClient &c) { c.StopSession(QStringLiteral("s1")); }}},
    };
    return table;
}

const char KnownDeviceId[] = "7b0c2d4e-5f60-4a7b-8c9d-0e1f2a3b4c5d";

} // namespace

class TstApiClient : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void signalTable();
    void baseUrlUnsetUsesBuiltInHttpsBackend();
    void baseUrlKeepsSchemeHostPortAndQueryDropsPath();
    void baseUrlSetButEmptyFailsEveryOperation();

    void requestsOnTheWire_data();
    void requestsOnTheWire();
    void identifiersInPaths_data();
    void identifiersInPaths();

    void successReplies_data();
    void successReplies();
    void failedReplies_data();
    void failedReplies();
    void stalledReplyEndsAtInactivityTimeout();
    void profileAndGamesNeedSignIn_data();
    void profileAndGamesNeedSignIn();
    void regionRepliesFinishInReplyOrder();

    void signInWithoutBothTokensSignsOut_data();
    void signInWithoutBothTokensSignsOut();
    void rejectedSignInKeepsEarlierTokens_data();
    void rejectedSignInKeepsEarlierTokens();
    void logoutSendsNothing();

    void deviceIdCreatedOnceAndReused();
    void storedDeviceIdSentAsStored_data();
    void storedDeviceIdSentAsStored();
    void emptyStoredDeviceIdReplaced();
    // Last: it also checks the requests of every test before it.
    void deviceIdTravelsOnlyInSignInBodies();
};

void TstApiClient::init()
{
    QSettings().setValue(QLatin1String(DeviceIdKey), QLatin1String(KnownDeviceId));
}

void TstApiClient::cleanup()
{
    qunsetenv(ApiUrlVariable);
}

void TstApiClient::signalTable()
{
    struct Expected
    {
        const char *name;
        QList<QByteArray> types;
        QList<QByteArray> names;
    };
    const QList<Expected> expected = {
        {"LoginSucceeded", {"QString"}, {"account"}},
        {"ProfileLoaded", {"QJsonObject"}, {"profile"}},
        {"GamesLoaded", {"QJsonArray"}, {"games"}},
        {"RegionsLoaded", {"QString", "QJsonArray"}, {"gameId", "regions"}},
        {"NodesLoaded", {"QString", "QString", "QJsonArray"}, {"gameId", "regionId", "nodes"}},
        {"SessionCreated", {"QJsonObject"}, {"session"}},
        {"AccelerationFailed", {"QString"}, {"message"}},
        {"SessionStopped", {}, {}},
        {"UpdateAvailable",
         {"QString", "QUrl", "QString", "bool", "QString", "qlonglong"},
         {"version", "downloadUrl", "releaseNotes", "mandatory", "sha256", "sizeBytes"}},
        {"UpdateDownloadProgress", {"qlonglong", "qlonglong"}, {"received", "total"}},
        {"UpdateDownloaded", {"QString"}, {"installerPath"}},
        {"UpdateDownloadFailed", {"QString"}, {"message"}},
        {"RequestFailed", {"QString"}, {"message"}},
    };

    const QMetaObject &meta = ApiClient::staticMetaObject;
    QCOMPARE(meta.superClass(), &QObject::staticMetaObject);
    QCOMPARE(meta.methodCount() - meta.methodOffset(), int(expected.size()));
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.constructorCount(), 0);
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodType(), QMetaMethod::Signal);
        QCOMPARE(method.name(), QByteArray(expected[i].name));
        QCOMPARE(method.parameterTypes(), expected[i].types);
        QCOMPARE(method.parameterNames(), expected[i].names);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
    }
}

void TstApiClient::baseUrlUnsetUsesBuiltInHttpsBackend()
{
    qunsetenv(ApiUrlVariable);
    ApiClient client;
    // Only the URL is looked at: nothing may leave this machine.
    const QUrl url = client.EndpointUrl(QStringLiteral("/api/v1/games"));
    QVERIFY2(url.isValid(), qPrintable(url.toString()));
    QCOMPARE(url.scheme(), QStringLiteral("https"));
    QVERIFY(!url.host().isEmpty());
    QVERIFY(url.host() != QLatin1String("127.0.0.1") && url.host() != QLatin1String("localhost"));
    QCOMPARE(url.path(), QStringLiteral("/api/v1/games"));
    QVERIFY(!url.hasQuery());
}

void TstApiClient::baseUrlKeepsSchemeHostPortAndQueryDropsPath()
{
    trustTestCa();
    {
        Rig rig(TestServer::Https, QStringLiteral("/prefix/"));
        const quint16 port = rig.server->port();
        QCOMPARE(rig.client->EndpointUrl(QStringLiteral("/api/v1/games")),
                 QUrl(QStringLiteral("https://127.0.0.1:%1/api/v1/games").arg(port)));
        QVERIFY(rig.signIn());
        rig.server->on("GET", "/api/v1/games").reply(200, R"({"items":[{"id":"g1"}]})");
        rig.client->LoadGames();
        QVERIFY(rig.watch->waitFor(1));
        QCOMPARE(rig.log->names(), QStringList{QStringLiteral("GamesLoaded")});
        const QList<RecordedRequest> requests = rig.server->requests();
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests[0].target, QByteArray("/api/v1/auth/login"));
        QCOMPARE(requests[1].target, QByteArray("/api/v1/games"));
        QVERIFY(requests[1].encrypted);
        QCOMPARE(requests[1].header("Host"), QByteArray("127.0.0.1:") + QByteArray::number(port));
    }
    {
        // A query of the base URL travels with every request; its path still does not.
        Rig rig(TestServer::Http, QStringLiteral("/prefix?tenant=7"));
        rig.client->LoadRegions(QStringLiteral("g1"));
        QVERIFY(rig.watch->waitFor(1));
        QCOMPARE(rig.server->lastRequest().target, QByteArray("/api/v1/games/g1/regions?tenant=7"));
    }
}

void TstApiClient::baseUrlSetButEmptyFailsEveryOperation()
{
    qputenv(ApiUrlVariable, QByteArray());
    ApiClient client;
    SignalLog log(&client);
    ReplyWatch watch(&client);
    QVERIFY(client.EndpointUrl(QStringLiteral("/api/v1/games")).host().isEmpty());

    client.LoadProfile();
    client.LoadGames();
    // The two sign-in checks answer before anything is sent.
    QCOMPARE(log.names(), (QStringList{QStringLiteral("RequestFailed"), QStringLiteral("RequestFailed")}));
    log.clear();

    for (const QString &name :
         {QStringLiteral("Login"), QStringLiteral("LoadRegions"), QStringLiteral("LoadNodes"),
          QStringLiteral("CreateSession"), QStringLiteral("StopSession")})
        operations()[name].call(client);
    client.CheckForUpdate();
    QVERIFY(watch.waitFor(6));

    QStringList seen;
    for (const Emission &e : log.entries) {
        QCOMPARE(e.args.size(), 1);
        seen.append(e.signal + QLatin1Char(':') + e.args[0].toString());
    }
    seen.sort();
    QStringList expected;
    for (const QString &name :
         {QStringLiteral("Login"), QStringLiteral("LoadRegions"), QStringLiteral("LoadNodes"),
          QStringLiteral("CreateSession"), QStringLiteral("StopSession")})
        expected.append(operations()[name].failureSignal + QLatin1Char(':') + operations()[name].fallback);
    expected.sort();
    QCOMPARE(seen, expected);
}

void TstApiClient::requestsOnTheWire_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QByteArray>("token"); // empty: signed out
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("authorization"); // null: no header
    QTest::addColumn<QByteArray>("contentType");   // null: no header
    QTest::addColumn<QByteArray>("body");

    const QByteArray login = QByteArrayLiteral(R"({"account":"玩家 one","device_id":")") + KnownDeviceId +
                             R"(","password":"  p@ss \"w\"  "})";
    const QByteArray session =
        R"({"client_public_key":"pk+/=","game_id":"g1","preferred_node_id":"n1",)"
        R"("probes":[{"jitter_ms":0,"loss_rate":0,"node_id":"n1","rtt_ms":35}],"region_id":"r1"})";
    const QByteArray none;
    const QByteArray json("application/json");

    QTest::newRow("Login signed out")
        << "Login" << none << QByteArray("POST") << QByteArray("/api/v1/auth/login") << none << json << login;
    QTest::newRow("Login signed in") << "Login" << QByteArray("tok-1") << QByteArray("POST")
                                     << QByteArray("/api/v1/auth/login") << none << json << login;
    QTest::newRow("LoadProfile") << "LoadProfile" << QByteArray("tok-1") << QByteArray("GET")
                                 << QByteArray("/api/v1/me") << QByteArray("Bearer tok-1") << none << none;
    QTest::newRow("LoadGames") << "LoadGames" << QByteArray("tok-1") << QByteArray("GET")
                               << QByteArray("/api/v1/games") << QByteArray("Bearer tok-1") << none << none;
    // The token goes out as its UTF-8 bytes.
    QTest::newRow("LoadGames UTF-8 token")
        << "LoadGames" << QByteArray("tök-2") << QByteArray("GET") << QByteArray("/api/v1/games")
        << QByteArray("Bearer tök-2") << none << none;
    for (const QByteArray &token : {QByteArray("tok-1"), QByteArray()}) {
        const char *state = token.isEmpty() ? "signed out" : "signed in";
        const QByteArray bearer = "Bearer " + token;
        QTest::addRow("LoadRegions %s", state)
            << "LoadRegions" << token << QByteArray("GET") << QByteArray("/api/v1/games/g1/regions") << bearer
            << none << none;
        QTest::addRow("LoadNodes %s", state)
            << "LoadNodes" << token << QByteArray("GET") << QByteArray("/api/v1/games/g1/regions/r1/nodes")
            << bearer << none << none;
        QTest::addRow("CreateSession %s", state)
            << "CreateSession" << token << QByteArray("POST") << QByteArray("/api/v1/acceleration/sessions")
            << bearer << json << session;
        QTest::addRow("StopSession %s", state)
            << "StopSession" << token << QByteArray("DELETE")
            << QByteArray("/api/v1/acceleration/sessions/s1") << bearer << none << none;
    }
}

void TstApiClient::requestsOnTheWire()
{
    QFETCH(QString, operation);
    QFETCH(QByteArray, token);
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, authorization);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);

    Rig rig;
    if (!token.isEmpty())
        QVERIFY(rig.signIn(token));
    rig.server->clearRequests();
    operations()[operation].call(*rig.client);
    QVERIFY(rig.watch->waitFor(1));

    QCOMPARE(rig.server->requestCount(), 1);
    const RecordedRequest request = rig.server->lastRequest();
    QCOMPARE(request.method, method);
    QCOMPARE(request.target, target);
    QCOMPARE(request.headerValues("Authorization").size(), authorization.isNull() ? 0 : 1);
    QCOMPARE(request.header("Authorization"), authorization);
    QCOMPARE(request.headerValues("Content-Type").size(), contentType.isNull() ? 0 : 1);
    QCOMPARE(request.header("Content-Type"), contentType);
    QCOMPARE(request.body, body);
}

void TstApiClient::identifiersInPaths_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QByteArray>("target");

    QTest::newRow("space in game id") << "regions"
                                      << "a b" << QString() << QByteArray("/api/v1/games/a%20b/regions");
    QTest::newRow("? and # in game id")
        << "regions"
        << "a?b#c" << QString() << QByteArray("/api/v1/games/a%3Fb%23c/regions");
    // An id that looks percent-encoded is still plain text: its "%" is encoded once more.
    QTest::newRow("encoded-looking game id")
        << "regions"
        << "a%20b" << QString() << QByteArray("/api/v1/games/a%2520b/regions");
    QTest::newRow("non-ASCII game id")
        << "regions"
        << "游戏" << QString() << QByteArray("/api/v1/games/%E6%B8%B8%E6%88%8F/regions");
    // Both identifiers go in in one pass: a "%2" of the game id is not filled in again.
    QTest::newRow("%2 in game id") << "nodes"
                                   << "g%2"
                                   << "r 1" << QByteArray("/api/v1/games/g%252/regions/r%201/nodes");
    QTest::newRow("%1 in region id") << "nodes"
                                     << "g1"
                                     << "%1x" << QByteArray("/api/v1/games/g1/regions/%251x/nodes");
    QTest::newRow("space in session id")
        << "stop"
        << "s 1" << QString() << QByteArray("/api/v1/acceleration/sessions/s%201");
}

void TstApiClient::identifiersInPaths()
{
    QFETCH(QString, operation);
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QByteArray, target);

    Rig rig;
    const QByteArray items = R"({"items":[{"id":"x"}]})";
    const QJsonArray itemArray{QJsonObject{{QStringLiteral("id"), QStringLiteral("x")}}};
    if (operation == QLatin1String("regions")) {
        rig.server->on("GET", "/api/v1/games/" + first.toUtf8() + "/regions").reply(200, items);
        rig.client->LoadRegions(first);
    } else if (operation == QLatin1String("nodes")) {
        rig.server->on("GET", "/api/v1/games/" + first.toUtf8() + "/regions/" + second.toUtf8() + "/nodes")
            .reply(200, items);
        rig.client->LoadNodes(first, second);
    } else {
        rig.server->on("DELETE", "/api/v1/acceleration/sessions/" + first.toUtf8()).reply(204);
        rig.client->StopSession(first);
    }
    QVERIFY(rig.watch->waitFor(1));
    QCOMPARE(rig.server->lastRequest().target, target);

    // The identifiers come back in the signal exactly as they were passed.
    QCOMPARE(rig.log->entries.size(), 1);
    const Emission &e = rig.log->entries.first();
    if (operation == QLatin1String("regions")) {
        QCOMPARE(e.signal, QStringLiteral("RegionsLoaded"));
        QCOMPARE(e.args, (QVariantList{first, itemArray}));
    } else if (operation == QLatin1String("nodes")) {
        QCOMPARE(e.signal, QStringLiteral("NodesLoaded"));
        QCOMPARE(e.args, (QVariantList{first, second, itemArray}));
    } else {
        QCOMPARE(e.signal, QStringLiteral("SessionStopped"));
    }
}

void TstApiClient::successReplies_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QVariantList>("args");

    const QByteArray profile =
        R"({"account":"member","membership":{"active":true,"kind":"trial","expires_at":"2030-01-01T00:00:00Z"},"x":[1]})";
    const QByteArray items =
        R"({"items":[{"id":"g1","name":"反恐精英","slug":"cs2"},{"id":"g2"}],"total":2})";
    const QJsonArray itemArray =
        QJsonDocument::fromJson(items).object().value(QLatin1String("items")).toArray();
    const QByteArray session =
        R"({"session_id":"s1","game_processes":["cs2.exe"],"rules_environment":"global-fallback","egress_ip":"","extra":{"k":1}})";

    QTest::newRow("Login trims the account")
        << "Login" << 200 << QByteArray(R"({"access_token":"a","refresh_token":"r"})") << "LoginSucceeded"
        << QVariantList{QStringLiteral("玩家 one")};
    QTest::newRow("LoadProfile whole body") << "LoadProfile" << 200 << profile << "ProfileLoaded"
                                            << QVariantList{QJsonDocument::fromJson(profile).object()};
    QTest::newRow("LoadProfile array body") << "LoadProfile" << 200 << QByteArray(R"([{"account":"x"}])")
                                            << "ProfileLoaded" << QVariantList{QJsonObject()};
    QTest::newRow("LoadProfile empty body")
        << "LoadProfile" << 200 << QByteArray() << "ProfileLoaded" << QVariantList{QJsonObject()};
    QTest::newRow("LoadGames items") << "LoadGames" << 200 << items << "GamesLoaded"
                                     << QVariantList{itemArray};
    QTest::newRow("LoadGames not JSON") << "LoadGames" << 200 << QByteArray("<html>games</html>")
                                        << "GamesLoaded" << QVariantList{QJsonArray()};
    QTest::newRow("LoadGames no items")
        << "LoadGames" << 200 << QByteArray(R"({"total":0})") << "GamesLoaded" << QVariantList{QJsonArray()};
    QTest::newRow("LoadGames items not an array")
        << "LoadGames" << 200 << QByteArray(R"({"items":{"id":"g1"}})") << "GamesLoaded"
        << QVariantList{QJsonArray()};
    QTest::newRow("LoadRegions items")
        << "LoadRegions" << 200 << items << "RegionsLoaded" << QVariantList{QStringLiteral("g1"), itemArray};
    QTest::newRow("LoadRegions empty body") << "LoadRegions" << 200 << QByteArray() << "RegionsLoaded"
                                            << QVariantList{QStringLiteral("g1"), QJsonArray()};
    QTest::newRow("LoadNodes items") << "LoadNodes" << 200 << items << "NodesLoaded"
                                     << QVariantList{QStringLiteral("g1"), QStringLiteral("r1"), itemArray};
    QTest::newRow("LoadNodes no items")
        << "LoadNodes" << 200 << QByteArray("{}") << "NodesLoaded"
        << QVariantList{QStringLiteral("g1"), QStringLiteral("r1"), QJsonArray()};
    QTest::newRow("CreateSession 201") << "CreateSession" << 201 << session << "SessionCreated"
                                       << QVariantList{QJsonDocument::fromJson(session).object()};
    QTest::newRow("StopSession 204") << "StopSession" << 204 << QByteArray() << "SessionStopped"
                                     << QVariantList{};
    // The body of a 204 is not looked at.
    QTest::newRow("StopSession 204 with body")
        << "StopSession" << 204 << QByteArray(R"({"message":"ignored"})") << "SessionStopped"
        << QVariantList{};
}

void TstApiClient::successReplies()
{
    QFETCH(QString, operation);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, signal);
    QFETCH(QVariantList, args);

    const Operation &op = operations()[operation];
    Rig rig;
    if (op.checksSignIn)
        QVERIFY(rig.signIn());
    rig.server->on(op.method, op.path).reply(status, body);
    op.call(*rig.client);
    QVERIFY(rig.watch->waitFor(1));

    QCOMPARE(rig.log->names(), QStringList{signal});
    QCOMPARE(rig.log->entries.first().args, args);
}

void TstApiClient::failedReplies_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("kind"); // "answer", "closed" or "refused"
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<bool>("fallback");
    QTest::addColumn<QString>("message"); // when not the fallback

    const auto ops = operations();
    for (auto it = ops.cbegin(); it != ops.cend(); ++it) {
        const QByteArray name = it.key().toLatin1();
        const char *n = name.constData();
        const QByteArray json("application/json");
        QTest::addRow("%s 500 JSON message", n)
            << it.key() << "answer" << 500 << QByteArray(R"({"message":"服务器维护中，请稍后"})") << json
            << false << QStringLiteral("服务器维护中，请稍后");
        QTest::addRow("%s 500 HTML", n)
            << it.key() << "answer" << 500 << QByteArray(R"(<html><body>{"message":"no"}</body></html>)")
            << QByteArray("text/html") << true << QString();
        QTest::addRow("%s empty message", n) << it.key() << "answer" << 400 << QByteArray(R"({"message":""})")
                                             << json << false << QString(QLatin1String(""));
        QTest::addRow("%s numeric message", n)
            << it.key() << "answer" << 400 << QByteArray(R"({"message":42})") << json << true << QString();
        QTest::addRow("%s null message", n)
            << it.key() << "answer" << 409 << QByteArray(R"({"message":null})") << json << true << QString();
        QTest::addRow("%s message in array", n)
            << it.key() << "answer" << 422 << QByteArray(R"([{"message":"no"}])") << json << true
            << QString();
        QTest::addRow("%s 502 empty body", n)
            << it.key() << "answer" << 502 << QByteArray() << QByteArray() << true << QString();
        // Only the exact success status counts; another 2xx is a failure like any other.
        const int otherSuccess = it->successStatus == 200 ? 201 : 200;
        QTest::addRow("%s %d with message", n, otherSuccess)
            << it.key() << "answer" << otherSuccess << QByteArray(R"({"message":"状态不对"})") << json
            << false << QStringLiteral("状态不对");
        QTest::addRow("%s %d without message", n, otherSuccess)
            << it.key() << "answer" << otherSuccess << QByteArray(R"({"session_id":"s1","items":[]})") << json
            << true << QString();
        QTest::addRow("%s connection closed", n)
            << it.key() << "closed" << 0 << QByteArray() << QByteArray() << true << QString();
        QTest::addRow("%s no listener", n)
            << it.key() << "refused" << 0 << QByteArray() << QByteArray() << true << QString();
    }
}

void TstApiClient::failedReplies()
{
    QFETCH(QString, operation);
    QFETCH(QString, kind);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);
    QFETCH(bool, fallback);
    QFETCH(QString, message);

    const Operation &op = operations()[operation];
    Rig rig;
    if (op.checksSignIn)
        QVERIFY(rig.signIn());
    if (kind == QLatin1String("answer")) {
        ScriptedReply reply(status, body);
        reply.contentType = contentType;
        rig.server->on(op.method, op.path).reply(reply);
    } else if (kind == QLatin1String("closed")) {
        rig.server->on(op.method, op.path).always(ScriptedReply::close());
    } else {
        // The server goes away with its listener and connections: its port refuses.
        rig.server.reset();
    }
    op.call(*rig.client);
    QVERIFY(rig.watch->waitFor(1));

    QCOMPARE(rig.log->names(), QStringList{op.failureSignal});
    const QString expected = fallback ? op.fallback : message;
    QCOMPARE(rig.log->entries.first().args, QVariantList{expected});
    if (operation == QLatin1String("Login"))
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
    const qint64 elapsed = clock.elapsed();

    QCOMPARE(rig.log->names(), QStringList{QStringLiteral("RequestFailed")});
    QCOMPARE(rig.log->entries.first().args, QVariantList{QStringLiteral("读取游戏区服失败")});
    QVERIFY2(elapsed >= 29000, qPrintable(QString::number(elapsed)));
}

void TstApiClient::profileAndGamesNeedSignIn_data()
{
    QTest::addColumn<QString>("operation");
    QTest::newRow("LoadProfile") << "LoadProfile";
    QTest::newRow("LoadGames") << "LoadGames";
}

void TstApiClient::profileAndGamesNeedSignIn()
{
    QFETCH(QString, operation);
    const Operation &op = operations()[operation];
    Rig rig;
    rig.server->on(op.method, op.path).always(ScriptedReply(200, R"({"items":[]})"));

    const int replies = rig.watch->replyObjects();
    op.call(*rig.client);
    // Answered from within the call, and no reply object was made.
    QCOMPARE(rig.log->names(), QStringList{QStringLiteral("RequestFailed")});
    QCOMPARE(rig.log->entries.first().args, QVariantList{QStringLiteral("请先登录")});
    QCOMPARE(rig.watch->replyObjects(), replies);

    // A request sent after it is the first and only one the server sees.
    rig.client->LoadRegions(QStringLiteral("g1"));
    QVERIFY(rig.watch->waitFor(1));
    QCOMPARE(rig.server->requestCount(), 1);
    QCOMPARE(rig.server->lastRequest().path(), QByteArray("/api/v1/games/g1/regions"));
    QCOMPARE(rig.log->entries.size(), 2);
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

    QCOMPARE(rig.log->names(),
             (QStringList{QStringLiteral("RegionsLoaded"), QStringLiteral("RegionsLoaded")}));
    const auto region = [](const char *id) {
        return QJsonArray{QJsonObject{{QStringLiteral("id"), QLatin1String(id)}}};
    };
    QCOMPARE(rig.log->entries[0].args, (QVariantList{QStringLiteral("fast"), region("jp")}));
    QCOMPARE(rig.log->entries[1].args, (QVariantList{QStringLiteral("slow"), region("hk")}));
}

void TstApiClient::signInWithoutBothTokensSignsOut_data()
{
    QTest::addColumn<bool>("signedInBefore");
    QTest::addColumn<QByteArray>("body");

    const QList<QPair<const char *, QByteArray>> bodies = {
        {"access token only", R"({"access_token":"a2"})"},
        {"refresh token only", R"({"refresh_token":"r2"})"},
        {"neither", R"({})"},
        {"empty refresh token", R"({"access_token":"a2","refresh_token":""})"},
        {"numeric refresh token", R"({"access_token":"a2","refresh_token":7})"},
        {"not JSON", "signed in"},
    };
    for (const auto &b : bodies) {
        QTest::addRow("%s", b.first) << false << b.second;
        QTest::addRow("%s after a good sign-in", b.first) << true << b.second;
    }
}

void TstApiClient::signInWithoutBothTokensSignsOut()
{
    QFETCH(bool, signedInBefore);
    QFETCH(QByteArray, body);

    Rig rig;
    if (signedInBefore)
        QVERIFY(rig.signIn("tok-good"));
    rig.server->on("POST", "/api/v1/auth/login").reply(200, body);
    rig.client->Login(QStringLiteral("member"), QStringLiteral("pw"));
    QVERIFY(rig.watch->waitFor(1));

    QCOMPARE(rig.log->names(), QStringList{QStringLiteral("RequestFailed")});
    QCOMPARE(rig.log->entries.first().args, QVariantList{QStringLiteral("登录响应缺少 Token")});
    QVERIFY(!rig.client->IsLoggedIn());

    // No token of either sign-in is used afterwards.
    rig.client->LoadNodes(QStringLiteral("g1"), QStringLiteral("r1"));
    QVERIFY(rig.watch->waitFor(2));
    QCOMPARE(rig.server->lastRequest().header("Authorization"), QByteArray("Bearer "));
    rig.log->clear();
    rig.client->LoadGames();
    QCOMPARE(rig.log->names(), QStringList{QStringLiteral("RequestFailed")});
    QCOMPARE(rig.log->entries.first().args, QVariantList{QStringLiteral("请先登录")});
}

void TstApiClient::rejectedSignInKeepsEarlierTokens_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");
    QTest::newRow("401 with message")
        << QByteArray(R"({"message":"账号或密码错误"})") << QStringLiteral("账号或密码错误");
    QTest::newRow("401 empty body") << QByteArray() << QStringLiteral("登录失败");
}

void TstApiClient::rejectedSignInKeepsEarlierTokens()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, message);

    Rig rig;
    QVERIFY(rig.signIn("tok-good"));
    rig.server->on("POST", "/api/v1/auth/login").reply(401, body);
    rig.client->Login(QStringLiteral("member"), QStringLiteral("wrong"));
    QVERIFY(rig.watch->waitFor(1));

    QCOMPARE(rig.log->names(), QStringList{QStringLiteral("RequestFailed")});
    QCOMPARE(rig.log->entries.first().args, QVariantList{message});
    QVERIFY(rig.client->IsLoggedIn());
    rig.client->LoadRegions(QStringLiteral("g1"));
    QVERIFY(rig.watch->waitFor(2));
    QCOMPARE(rig.server->lastRequest().header("Authorization"), QByteArray("Bearer tok-good"));
}

void TstApiClient::logoutSendsNothing()
{
    Rig rig;
    QVERIFY(rig.signIn());
    const int before = rig.server->requestCount();
    const int replies = rig.watch->replyObjects();
    rig.client->Logout();
    QVERIFY(!rig.client->IsLoggedIn());
    QVERIFY(rig.log->entries.isEmpty());
    QCOMPARE(rig.watch->replyObjects(), replies);

    rig.client->LoadProfile();
    QCOMPARE(rig.log->names(), QStringList{QStringLiteral("RequestFailed")});
    QCOMPARE(rig.log->entries.first().args, QVariantList{QStringLiteral("请先登录")});
    rig.client->StopSession(QStringLiteral("s1"));
    QVERIFY(rig.watch->waitFor(1));
    QCOMPARE(rig.server->requestCount(), before + 1);
    QCOMPARE(rig.server->lastRequest().header("Authorization"), QByteArray("Bearer "));
    QCOMPARE(stored(), QString::fromLatin1(KnownDeviceId));
}

void TstApiClient::deviceIdCreatedOnceAndReused()
{
    QSettings().remove(QLatin1String(DeviceIdKey));
    QVERIFY(!QSettings().contains(QLatin1String(DeviceIdKey)));

    Rig rig;
    rig.server->on("POST", "/api/v1/auth/login").always(ScriptedReply(401));
    rig.client->Login(QStringLiteral("member"), QStringLiteral("pw"));
    // Made and stored before the sign-in goes out, whatever its outcome.
    const QString created = stored();
    QVERIFY2(isFreshDeviceId(created), qPrintable(created));
    QVERIFY(rig.watch->waitFor(1));
    QCOMPARE(deviceIdOfSignIn(rig.server->lastRequest()), created);

    rig.client->Login(QStringLiteral("member"), QStringLiteral("pw"));
    QVERIFY(rig.watch->waitFor(2));
    QCOMPARE(deviceIdOfSignIn(rig.server->lastRequest()), created);
    QCOMPARE(rig.client->DeviceId(), created);

    // Another client of the same user (a later program start) keeps it.
    ApiClient later;
    QCOMPARE(later.DeviceId(), created);
    QCOMPARE(stored(), created);
}

void TstApiClient::storedDeviceIdSentAsStored_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("braces and upper case") << "{0A1B2C3D-4E5F-4061-8A9B-0C1D2E3F4A5B}";
    QTest::newRow("upper case") << "0A1B2C3D-4E5F-4061-8A9B-0C1D2E3F4A5B";
    QTest::newRow("not a UUID, spaces kept") << " my-pc ";
}

void TstApiClient::storedDeviceIdSentAsStored()
{
    QFETCH(QString, value);
    QSettings().setValue(QLatin1String(DeviceIdKey), value);

    Rig rig;
    rig.server->on("POST", "/api/v1/auth/login").always(ScriptedReply(401));
    rig.client->Login(QStringLiteral("member"), QStringLiteral("pw"));
    QVERIFY(rig.watch->waitFor(1));
    QCOMPARE(deviceIdOfSignIn(rig.server->lastRequest()), value);
    QCOMPARE(stored(), value);
}

void TstApiClient::emptyStoredDeviceIdReplaced()
{
    QSettings().setValue(QLatin1String(DeviceIdKey), QString());

    Rig rig;
    rig.server->on("POST", "/api/v1/auth/login").always(ScriptedReply(401));
    rig.client->Login(QStringLiteral("member"), QStringLiteral("pw"));
    QVERIFY(rig.watch->waitFor(1));
    const QString sent = deviceIdOfSignIn(rig.server->lastRequest());
    QVERIFY2(isFreshDeviceId(sent), qPrintable(sent));
    QCOMPARE(stored(), sent);
}

void TstApiClient::deviceIdTravelsOnlyInSignInBodies()
{
    // A whole road on a fresh profile, then a look at every request of this run.
    QSettings().remove(QLatin1String(DeviceIdKey));
    Rig rig;
    rig.server->on("GET", "/api/v1/me").reply(200, R"({"account":"member"})");
    rig.server->on("GET", "/api/v1/games").reply(200, R"({"items":[{"id":"g1"}]})");
    rig.server->on("GET", "/api/v1/games/g1/regions").reply(200, R"({"items":[{"id":"r1"}]})");
    rig.server->on("GET", "/api/v1/games/g1/regions/r1/nodes").reply(200, R"({"items":[{"id":"n1"}]})");
    rig.server->on("POST", "/api/v1/acceleration/sessions").reply(201, R"({"session_id":"s1"})");
    rig.server->on("DELETE", "/api/v1/acceleration/sessions/s1").reply(204);
    QVERIFY(rig.signIn());
    const QString deviceId = stored();
    QVERIFY(isFreshDeviceId(deviceId));
    rig.client->LoadProfile();
    rig.client->LoadGames();
    rig.client->LoadRegions(QStringLiteral("g1"));
    rig.client->LoadNodes(QStringLiteral("g1"), QStringLiteral("r1"));
    rig.client->CreateSession(QStringLiteral("g1"), QStringLiteral("r1"), QStringLiteral("n1"),
                              QStringLiteral("pk"), 20);
    rig.client->StopSession(QStringLiteral("s1"));
    rig.client->CheckForUpdate();
    QVERIFY(rig.watch->waitFor(7));
    QCOMPARE(rig.server->requestCount(), 8);
    QCOMPARE(rig.log->entries.size(), 6);

    QSet<QByteArray> ids;
    for (const RecordedRequest &r : everyRequest()) {
        if (r.path() == "/api/v1/auth/login")
            ids.insert(deviceIdOfSignIn(r).toUtf8());
    }
    QVERIFY(ids.contains(deviceId.toUtf8()));
    ids.remove(QByteArray());

    for (const RecordedRequest &r : everyRequest()) {
        const bool signIn = r.path() == "/api/v1/auth/login";
        for (const QByteArray &id : std::as_const(ids)) {
            const QByteArray encoded = QUrl::toPercentEncoding(QString::fromUtf8(id));
            QVERIFY2(!r.target.contains(id) && !r.target.contains(encoded), r.target.constData());
            for (const auto &h : r.headers)
                QVERIFY2(!h.second.contains(id), h.first.constData());
            if (signIn) {
                QJsonObject body = QJsonDocument::fromJson(r.body).object();
                body.remove(QLatin1String("device_id"));
                QVERIFY(!compact(body).contains(id));
            } else {
                QVERIFY2(!r.body.contains(id), r.body.constData());
            }
        }
    }
}

ZUMVARI_TEST_MAIN(TstApiClient)
#include "tst_apiclient.moc"
