// The API client against a real loopback server: what each operation puts on the wire and how each
// reply is judged, seen through the client's signals, the recorded requests and the saved installer.
#include "apiclient.h"
#include "clienttest.h"
#include "testserver.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QUuid>

namespace {

using Call = std::function<void(ApiClient &)>;
// Each operation with ordinary arguments, and the path of its request, decoded.
const QHash<QString, QPair<QByteArray, Call>> Operations = {
    {"Login", {"/api/v1/auth/login", [](ApiClient &c) { c.Login("  玩家 one ", " p@ss \"w\" "); }}},
    {"LoadProfile", {"/api/v1/me", [](ApiClient &c) { c.LoadProfile(); }}},
    {"LoadGames", {"/api/v1/games", [](ApiClient &c) { c.LoadGames(); }}},
    {"LoadRegions", {"/api/v1/games/a%20b c/regions", [](ApiClient &c) { c.LoadRegions("a%20b c"); }}},
    {"LoadNodes", {"/api/v1/games/g%2/regions/r 1/nodes", [](ApiClient &c) { c.LoadNodes("g%2", "r 1"); }}},
    {"CreateSession",
     {"/api/v1/acceleration/sessions", [](ApiClient &c) { c.CreateSession("g", "r", "n", "k", 35); }}},
    {"StopSession", {"/api/v1/acceleration/sessions/s 1", [](ApiClient &c) { c.StopSession("s 1"); }}},
    {"CheckForUpdate", {"/api/v1/client/releases/latest", [](ApiClient &c) { c.CheckForUpdate(); }}},
};

QString text(const QVariant &value)
{
    const QJsonValue json = QJsonValue::fromVariant(value);
    QJsonDocument document(json.toObject());
    if (json.isArray())
        document.setArray(json.toArray());
    return json.isObject() || json.isArray() ? QString(document.toJson(QJsonDocument::Compact))
                                             : value.toString();
}

QString installerPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation) +
           "/Zumvari/Zumvari-Update-Setup.exe";
}

// A server, a client pointed at it with a path and a query in its base URL, and what the client
// signalled: one line of name and arguments per signal.
struct Rig
{
    explicit Rig(TestServer::Scheme scheme = TestServer::Http) : server(scheme)
    {
        qputenv("DIVE_DIZUVIVIVID_API_URL", server.baseUrl().toString().toUtf8() + "/prefix/?tenant=7");
        client = std::make_unique<ApiClient>();
        manager = client->findChild<QNetworkAccessManager *>();
        finished = std::make_unique<QSignalSpy>(manager, &QNetworkAccessManager::finished);
        const QMetaObject &meta = ApiClient::staticMetaObject;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
            spies.push_back(
                std::make_unique<QSignalSpy>(client.get(), "2" + meta.method(i).methodSignature()));
    }
    QStringList log(bool progress = false) const
    {
        QStringList lines;
        for (const auto &spy : spies) {
            for (const QVariantList &arguments : *spy) {
                QString line = spy->signal().left(spy->signal().indexOf('('));
                for (const QVariant &argument : arguments)
                    line += ' ' + text(argument);
                if (progress == line.startsWith("UpdateDownloadProgress"))
                    lines << line;
            }
        }
        return lines;
    }
    // The reply the call made, if it made one.
    QNetworkReply *call(const Call &operation)
    {
        const QList<QNetworkReply *> before = manager->findChildren<QNetworkReply *>();
        operation(*client);
        for (QNetworkReply *reply : manager->findChildren<QNetworkReply *>()) {
            if (!before.contains(reply))
                return reply;
        }
        return nullptr;
    }
    bool wait(int replies = 1)
    {
        return QTest::qWaitFor([&] { return finished->count() >= replies; }, 15000);
    }
    bool signIn(const QString &token)
    {
        server.on("POST", "/api/v1/auth/login")
            .reply(200, R"({"access_token":")" + token.toUtf8() + R"(","refresh_token":"r"})");
        client->Login("m", "pw");
        const bool in = wait() && log() == QStringList{"LoginSucceeded m"};
        for (const auto &spy : spies)
            spy->clear();
        finished->clear();
        server.clearRequests();
        return in;
    }

    TestServer server;
    std::unique_ptr<ApiClient> client;
    QNetworkAccessManager *manager;
    std::unique_ptr<QSignalSpy> finished;
    std::vector<std::unique_ptr<QSignalSpy>> spies;
};

} // namespace

class TstApiClient : public QObject
{
    Q_OBJECT

private slots:
    void init() { QSettings().setValue("device/id", "7b0c2d4e-5f60-4a7b-8c9d-0e1f2a3b4c5d"); }
    void cleanup() { qunsetenv("DIVE_DIZUVIVIVID_API_URL"); }
    void baseUrl();
    void wire_data();
    void wire();
    void replies_data();
    void replies();
    void signedOutSendsNothing();
    void deviceId_data();
    void deviceId();
    void download_data();
    void download();
};

void TstApiClient::baseUrl()
{
    const QUrl builtIn = ApiClient().EndpointUrl("/api/v1/games");
    QVERIFY(builtIn.scheme() == "https" && !builtIn.host().isEmpty());
    // Set but empty is kept: no host, so every request fails at the transport.
    qputenv("DIVE_DIZUVIVIVID_API_URL", "");
    QCOMPARE(ApiClient().EndpointUrl("/api/v1/games"), QUrl("/api/v1/games"));
}

void TstApiClient::wire_data()
{
    // operation | token (none: signed out) | METHOD target|Authorization|Content-Type|body ("-": none).
    // The identifiers are text: a "%" in them is encoded like a space, a "%2" in the game id is not filled
    // in.
    ClientTest::rows(R"(
Login | t | POST /api/v1/auth/login?tenant=7|-|application/json|{"account":"玩家 one","device_id":"7b0c2d4e-5f60-4a7b-8c9d-0e1f2a3b4c5d","password":" p@ss \"w\" "}
LoadProfile | tök | GET /api/v1/me?tenant=7|Bearer tök|-|
LoadGames | t | GET /api/v1/games?tenant=7|Bearer t|-|
LoadRegions |  | GET /api/v1/games/a%2520b%20c/regions?tenant=7|Bearer |-|
LoadNodes |  | GET /api/v1/games/g%252/regions/r%201/nodes?tenant=7|Bearer |-|
CreateSession | t | POST /api/v1/acceleration/sessions?tenant=7|Bearer t|application/json|{"client_public_key":"k","game_id":"g","preferred_node_id":"n","probes":[{"jitter_ms":0,"loss_rate":0,"node_id":"n","rtt_ms":35}],"region_id":"r"}
StopSession |  | DELETE /api/v1/acceleration/sessions/s%201?tenant=7|Bearer |-|
CheckForUpdate | t | GET /api/v1/client/releases/latest?channel=alpha&platform=windows-x64|-|-|
)");
}

void TstApiClient::wire()
{
    QFETCH(QStringList, row);
    Rig rig;
    QVERIFY(row[0].isEmpty() || rig.signIn(row[0]));
    QNetworkReply *reply = rig.call(Operations[QTest::currentDataTag()].second);
    // A server that stops answering ends the request after 30 s without a byte.
    QVERIFY(reply && reply->request().transferTimeout() == 30000);
    QVERIFY(rig.wait());
    QCOMPARE(rig.server.requestCount(), 1);
    const RecordedRequest r = rig.server.lastRequest();
    const auto header = [&](const char *name) { return r.hasHeader(name) ? QString(r.header(name)) : "-"; };
    QCOMPARE(r.method + ' ' + r.target + '|' + header("Authorization") + '|' + header("Content-Type") + '|' +
                 r.body,
             row[1]);
}

void TstApiClient::replies_data()
{
    // operation and case | status (0: the connection closes without a reply) | body | the signals ("-": none)
    // | signed in afterwards. Half a sign-in signs out completely; a refused one leaves the earlier one
    // alone. The running version is 0.4.0; a newer release is passed on as received, suffix and all.
    ClientTest::rows(R"(
Login 200 | 200 | {"access_token":"a","refresh_token":"r"} | LoginSucceeded 玩家 one | 1
Login no refresh token | 200 | {"access_token":"a"} | RequestFailed 登录响应缺少 Token | 0
Login no access token | 200 | {"refresh_token":"r"} | RequestFailed 登录响应缺少 Token | 0
Login 401 | 401 | {"message":"账号或密码错误"} | RequestFailed 账号或密码错误 | 1
Login closed | 0 | - | RequestFailed 登录失败 | 1
LoadProfile 200 | 200 | {"account":"m","x":[1]} | ProfileLoaded {"account":"m","x":[1]} | 1
LoadProfile 500 HTML | 500 | <p>{"message":"x"}</p> | RequestFailed 读取会员信息失败 | 1
LoadGames 200 | 200 | {"items":[{"id":"g1"}],"total":1} | GamesLoaded [{"id":"g1"}] | 1
LoadGames 200 not JSON | 200 | <html/> | GamesLoaded [] | 1
LoadGames 503 array | 503 | [{"message":"x"}] | RequestFailed 读取游戏失败 | 1
LoadRegions 200 | 200 | {"items":[{"id":"hk"}]} | RegionsLoaded a%20b c [{"id":"hk"}] | 1
LoadRegions 500 message | 500 | {"message":"维护中"} | RequestFailed 维护中 | 1
LoadRegions 400 empty message | 400 | {"message":""} | RequestFailed  | 1
LoadRegions 400 numeric message | 400 | {"message":42} | RequestFailed 读取游戏区服失败 | 1
LoadNodes 200 no items | 200 | {} | NodesLoaded g%2 r 1 [] | 1
LoadNodes 201 | 201 | {"items":[]} | RequestFailed 读取加速节点失败 | 1
CreateSession 201 | 201 | {"session_id":"s1"} | SessionCreated {"session_id":"s1"} | 1
CreateSession 200 | 200 | {"message":"状态不对"} | AccelerationFailed 状态不对 | 1
CreateSession closed | 0 | - | AccelerationFailed 创建加速会话失败 | 1
StopSession 204 with body | 204 | {"message":"x"} | SessionStopped | 1
StopSession 200 | 200 | - | RequestFailed 停止加速会话失败 | 1
CheckForUpdate 0.4.0 | 200 | {"version":"0.4.0"} | - | 1
CheckForUpdate 0.4 | 200 | {"version":"0.4"} | - | 1
CheckForUpdate 0.4.0-beta | 200 | {"version":"0.4.0-beta"} | - | 1
CheckForUpdate v1.0 | 200 | {"version":"v1.0"} | - | 1
CheckForUpdate 0.4.0.1 | 200 | {"version":"0.4.0.1"} | UpdateAvailable 0.4.0.1   false  0 | 1
CheckForUpdate all members | 200 | {"version":"0.4.1-beta","download_url":"https://h/a b","release_notes":"修复","mandatory":true,"sha256":"ABCdef","size_bytes":5000000000} | UpdateAvailable 0.4.1-beta https://h/a b 修复 true ABCdef 5000000000 | 1
CheckForUpdate mistyped | 200 | {"version":"0.5","download_url":7,"mandatory":"true","sha256":1,"size_bytes":2.5} | UpdateAvailable 0.5   false  0 | 1
CheckForUpdate 201 | 201 | {"version":"9.9"} | - | 1
CheckForUpdate 404 | 404 | {"version":"9.9"} | - | 1
)");
}

void TstApiClient::replies()
{
    QFETCH(QStringList, row);
    const QString operation = QString(QTest::currentDataTag()).section(' ', 0, 0);
    Rig rig;
    QVERIFY(rig.signIn("t"));
    const QByteArray body = row[1] == "-" ? "" : row[1].toUtf8();
    rig.server.on("*", Operations[operation].first)
        .always(row[0].toInt() ? ScriptedReply(row[0].toInt(), body) : ScriptedReply::close());
    rig.call(Operations[operation].second);
    QVERIFY(rig.wait());
    QCOMPARE(rig.log().join('\n'), row[2] == "-" ? "" : row[2]);
    QCOMPARE(rig.client->IsLoggedIn(), row[3] == "1");
}

void TstApiClient::signedOutSendsNothing()
{
    Rig rig;
    QVERIFY(rig.signIn("t"));
    rig.client->Logout();
    // Refused from within the call, without a request.
    QVERIFY(!rig.call(Operations["LoadProfile"].second) && !rig.call(Operations["LoadGames"].second));
    QCOMPARE(rig.log(), QStringList(2, "RequestFailed 请先登录"));
}

void TstApiClient::deviceId_data()
{
    // stored ("-": none) | sent ("-": a fresh random UUID)
    ClientTest::rows(R"(
none | - | -
empty is none |  | -
kept as stored | {0A1B2C3D-4E5F} | {0A1B2C3D-4E5F}
)");
}

void TstApiClient::deviceId()
{
    QFETCH(QStringList, row);
    QSettings().setValue("device/id", row[0]);
    if (row[0] == "-")
        QSettings().remove("device/id");
    Rig rig;
    rig.server.on("POST", "/api/v1/auth/login").always(ScriptedReply(401));
    rig.client->Login("m", "pw");
    rig.client->Login("m", "pw");
    QVERIFY(rig.wait(2));
    QStringList ids;
    for (const RecordedRequest &request : rig.server.requests())
        ids << QJsonDocument::fromJson(request.body)["device_id"].toString();
    QCOMPARE(ids, QStringList(2, QSettings().value("device/id").toString()));
    const QUuid uuid(ids[0]);
    QVERIFY2(row[1] == "-" ? uuid.version() == QUuid::Random && uuid.toString(QUuid::WithoutBraces) == ids[0]
                           : ids[0] == row[1],
             qPrintable(ids[0]));
}

void TstApiClient::download_data()
{
    // serving (0 whole, 1 in pieces, 2 in pieces with no length, 3 trickling on) | status | bytes beyond the
    // 30000 expected | change | the signal starts with. A transfer without a network error reports the
    // reply's plain error string.
    ClientTest::rows(R"(
in pieces | 1 | 200 | 0 | - | UpdateDownloaded
in pieces, total unknown | 2 | 200 | 0 | - | UpdateDownloaded
upper-case digest | 0 | 200 | 0 | upper | UpdateDownloaded
one byte short | 0 | 200 | -1 | - | UpdateDownloadFailed 更新下载失败：Unknown error
far too long, cut off | 3 | 200 | 300000 | - | UpdateDownloadFailed 更新下载失败：Operation canceled
201 | 0 | 201 | 0 | - | UpdateDownloadFailed 更新下载失败：
wrong digest | 0 | 200 | 0 | wrong | UpdateDownloadFailed 更新文件校验失败，已停止安装
folder is a file | 0 | 200 | 0 | folder | UpdateDownloadFailed 无法创建更新临时目录
no temporary folder | 0 | 200 | 0 | temp | UpdateDownloadFailed 无法创建更新临时目录
installer is a folder | 0 | 200 | 0 | installer | UpdateDownloadFailed 无法保存更新安装程序
http | 0 | 200 | 0 | http | UpdateDownloadFailed 更新信息不完整
63-character digest | 0 | 200 | 0 | 63 | UpdateDownloadFailed 更新信息不完整
65-character digest | 0 | 200 | 0 | 65 | UpdateDownloadFailed 更新信息不完整
size 0 | 0 | 200 | 0 | size 0 | UpdateDownloadFailed 更新信息不完整
)");
}

void TstApiClient::download()
{
    QFETCH(QStringList, row);
    const int serving = row[0].toInt(), extra = row[2].toInt();
    const QString change = row[3], outcome = row[4];
    trustTestCa();
    // An earlier installer in a folder open to all: kept on failure, replaced only once the folder is
    // the owner's alone.
    const QString folder = QFileInfo(installerPath()).path();
    const QByteArray temp = qgetenv("TMPDIR");
    QDir(folder).removeRecursively();
    QFile::remove(folder);
    QFile earlier(installerPath());
    QVERIFY(QDir().mkpath(folder) && QFile::setPermissions(folder, QFileDevice::Permissions(0x7777)));
    QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("earlier") == 7);
    earlier.close();
    if (change == "folder")
        QVERIFY(earlier.rename(temp + "/f") && QDir(folder).removeRecursively() &&
                QFile::rename(temp + "/f", folder));
    if (change == "installer")
        QVERIFY(earlier.remove() && QDir().mkpath(installerPath() + "/x"));
    if (change == "temp")
        qputenv("TMPDIR", temp + "/gone");

    Rig rig(TestServer::Https);
    const QByteArray expected(30000, 'i');
    const QString digest = QCryptographicHash::hash(expected, QCryptographicHash::Sha256).toHex();
    ScriptedReply reply(row[1].toInt(),
                        extra > 0 ? expected + QByteArray(extra, 'x') : expected.left(30000 + extra));
    if (serving)
        reply.inChunks(serving == 3 ? 20000 : 10000, serving == 3 ? 100 : 150)
            .lyingLength(serving == 2 ? -1 : reply.body.size());
    rig.server.on("GET", "/setup.exe").reply(reply);
    const QMap<QString, QString> digests{{"upper", digest.toUpper()},
                                         {"wrong", digest.left(63) + "0"},
                                         {"63", digest.left(63)},
                                         {"65", digest + "0"}};
    const QUrl url = rig.server.url("/setup.exe");
    QNetworkReply *sent = rig.call([&](ApiClient &c) {
        c.DownloadUpdate(change == "http" ? url.adjusted(QUrl::RemoveScheme).toString().prepend("http:")
                                          : url,
                         digests.value(change, digest), change == "size 0" ? 0 : 30000);
    });
    // Unusable arguments are refused from within the call, without a request. A server that stops
    // sending ends the download after 60 s without a byte.
    QVERIFY(sent ? sent->request().transferTimeout() == 60000 && rig.wait() : outcome.endsWith("不完整"));
    qputenv("TMPDIR", temp);
    QVERIFY2(rig.log().size() == 1 && rig.log()[0].startsWith(outcome), qPrintable(rig.log().join('\n')));
    QFile installer(installerPath());
    const bool saved = outcome == "UpdateDownloaded";
    const QByteArray kept =
        saved ? expected : QByteArray(change == "folder" || change == "installer" ? "none" : "earlier");
    QCOMPARE(installer.open(QIODevice::ReadOnly) ? installer.readAll() : "none", kept);
    if (saved) {
        QCOMPARE(rig.log()[0], "UpdateDownloaded " + installerPath());
        QCOMPARE(QFileInfo(folder).permissions() & 0x7777, 0x7700);
        // The reply's own progress, with a total of -1 while it is unknown.
        const QStringList progress = rig.log(true);
        QVERIFY2(progress.size() >= 2 && progress.last() == "UpdateDownloadProgress 30000 30000" &&
                     progress.first().endsWith(serving == 2 ? " -1" : " 30000"),
                 qPrintable(progress.join('\n')));
    }
}

ZUMVARI_TEST_MAIN(TstApiClient)
#include "tst_apiclient.moc"
