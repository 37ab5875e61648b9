// The client's parts below the window against real counterparts: the API client against a loopback
// server (what each operation puts on the wire, how each reply is judged, the saved installer), the
// control channel against local listeners and who may serve it, the key-pair runner with real child
// programs, and the small decisions at their boundaries.
#include "clienttest.h"
#include "serveridentity.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

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

// What each operation sends, signed in with the token "tök": METHOD target|Authorization|Content-Type|body
// ("-": none). The identifiers are text: a "%" in them is encoded like a space, a "%2" in the game id is
// not filled in.
const char Wire[] = R"(
Login | POST /api/v1/auth/login?tenant=7|-|application/json|{"account":"玩家 one","device_id":"7b0c2d4e-5f60-4a7b-8c9d-0e1f2a3b4c5d","password":" p@ss \"w\" "}
LoadProfile | GET /api/v1/me?tenant=7|Bearer tök|-|
LoadGames | GET /api/v1/games?tenant=7|Bearer tök|-|
LoadRegions | GET /api/v1/games/a%2520b%20c/regions?tenant=7|Bearer tök|-|
LoadNodes | GET /api/v1/games/g%252/regions/r%201/nodes?tenant=7|Bearer tök|-|
CreateSession | POST /api/v1/acceleration/sessions?tenant=7|Bearer tök|application/json|{"client_public_key":"k","game_id":"g","preferred_node_id":"n","probes":[{"jitter_ms":0,"loss_rate":0,"node_id":"n","rtt_ms":35}],"region_id":"r"}
StopSession | DELETE /api/v1/acceleration/sessions/s%201?tenant=7|Bearer tök|-|
CheckForUpdate | GET /api/v1/client/releases/latest?channel=alpha&platform=windows-x64|-|-|
)";

QString text(const QVariant &value)
{
    const QJsonValue json = QJsonValue::fromVariant(value);
    return json.isObject()  ? QJsonDocument(json.toObject()).toJson(QJsonDocument::Compact)
           : json.isArray() ? QJsonDocument(json.toArray()).toJson(QJsonDocument::Compact)
                            : value.toString();
}

// A server, a client pointed at it with a path and a query in its base URL, and what the client
// signalled: one line of name and arguments per signal.
struct Rig
{
    explicit Rig(bool https = false) : server(https)
    {
        qputenv("DIVE_DIZUVIVIVID_API_URL", server.url("/prefix/?tenant=7").toEncoded());
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
            .reply(ScriptedReply(200, R"({"access_token":")" + token.toUtf8() + R"(","refresh_token":"r"})"));
        client->Login("m", "pw");
        const bool in = wait() && log() == QStringList{"LoginSucceeded m"};
        for (const auto &spy : spies)
            spy->clear();
        finished->clear();
        server.requests.clear();
        return in;
    }

    TestServer server;
    std::unique_ptr<ApiClient> client;
    QNetworkAccessManager *manager;
    std::unique_ptr<QSignalSpy> finished;
    std::vector<std::unique_ptr<QSignalSpy>> spies;
};

QString outcome(const ServiceReply &got)
{
    return QString::number(got.ok) + '|' + got.text + '|' + got.error;
}

FakeReply idle(std::function<void(uchar *)> edit, int trickleMs = -1)
{
    FakeReply reply(0, "\"idle\"");
    reply.edit = std::move(edit), reply.trickleMs = trickleMs;
    return reply;
}

} // namespace

class TstClient : public QObject
{
    Q_OBJECT

private slots:
    void init() { QSettings().setValue("device/id", "7b0c2d4e-5f60-4a7b-8c9d-0e1f2a3b4c5d"); }
    void cleanup() { qunsetenv("DIVE_DIZUVIVIVID_API_URL"); }

    void baseUrl()
    {
        QCOMPARE(ApiClient().EndpointUrl("/api/v1/games").scheme(), "https"); // built in
        // Set but empty is kept: no host, so every request fails at the transport.
        qputenv("DIVE_DIZUVIVIVID_API_URL", "");
        QCOMPARE(ApiClient().EndpointUrl("/api/v1/games"), QUrl("/api/v1/games"));
    }

    void replies_data()
    {
        // operation and case | status (0: the connection closes without a reply) | body | the signals ("-":
        // none) | signed in afterwards. Half a sign-in signs out completely; a refused one leaves the earlier
        // one alone. The running version is 0.4.0; a newer release is passed on as received, suffix and all.
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
StopSession 204 with body | 204 | {"message":"x"} | SessionStopped | 1
StopSession 404, already over | 404 | {"message":"会话不存在"} | SessionStopped | 1
StopSession 410, already over | 410 | - | SessionStopped | 1
StopSession 200 | 200 | - | RequestFailed 停止加速会话失败 | 1
CheckForUpdate 0.4.0 | 200 | {"version":"0.4.0"} | - | 1
CheckForUpdate 0.4 | 200 | {"version":"0.4"} | - | 1
CheckForUpdate 0.4.0-beta | 200 | {"version":"0.4.0-beta"} | - | 1
CheckForUpdate v1.0 | 200 | {"version":"v1.0"} | - | 1
CheckForUpdate 0.4.0.1 | 200 | {"version":"0.4.0.1"} | UpdateAvailable 0.4.0.1   false  0 | 1
CheckForUpdate all members | 200 | {"version":"0.4.1-beta","download_url":"https:h/a b","release_notes":"修复","mandatory":true,"sha256":"ABCdef","size_bytes":5000000000} | UpdateAvailable 0.4.1-beta https:h/a b 修复 true ABCdef 5000000000 | 1
CheckForUpdate mistyped | 200 | {"version":"0.5","download_url":7,"mandatory":"true","sha256":1,"size_bytes":2.5} | UpdateAvailable 0.5   false  0 | 1
CheckForUpdate 201 | 201 | {"version":"9.9"} | - | 1
CheckForUpdate 404 | 404 | {"version":"9.9"} | - | 1
)");
    }

    void replies()
    {
        QFETCH(QStringList, row);
        const QString operation = QString(QTest::currentDataTag()).section(' ', 0, 0);
        Rig rig;
        QVERIFY(rig.signIn("tök"));
        const QByteArray body = row[1] == "-" ? "" : row[1].toUtf8();
        rig.server.on("*", Operations[operation].first).always(ScriptedReply(row[0].toInt(), body));
        QNetworkReply *reply = rig.call(Operations[operation].second);
        // A server that stops answering ends the request after 30 s without a byte.
        QVERIFY(reply && reply->request().transferTimeout() == 30000 && rig.wait());
        const RecordedRequest r = rig.server.requests.last();
        const auto header = [&](const char *name) { return QString(r.headers.value(name, "-")); };
        QCOMPARE(r.method + ' ' + r.target + '|' + header("authorization") + '|' + header("content-type") +
                     '|' + r.body,
                 QString(Wire).section("\n" + operation + " | ", 1, 1).section('\n', 0, 0));
        QCOMPARE(rig.log().join('\n'), row[2] == "-" ? "" : row[2]);
        QCOMPARE(rig.client->IsLoggedIn(), row[3] == "1");
    }

    void redirects_data()
    {
        // operation | the 302 points to another origin or within this one | the signal starts with | what the
        // redirect's target heard ("-": nothing). Neither the token nor the password leaves the backend's
        // origin.
        ClientTest::rows(R"(
profile elsewhere | LoadProfile | other | RequestFailed 读取会员信息失败 | -
stop elsewhere | StopSession | other | RequestFailed 停止加速会话失败 | -
sign-in elsewhere | Login | other | RequestFailed 登录失败 | -
profile at home | LoadProfile | same | ProfileLoaded | GET /moved Bearer tök
)");
    }
    void redirects()
    {
        QFETCH(QStringList, row);
        Rig rig(true);
        TestServer other(true);
        TestServer &target = row[1] == "same" ? rig.server : other;
        QVERIFY(rig.signIn("tök"));
        ScriptedReply moved(302);
        moved.location = target.url("/moved").toEncoded();
        rig.server.on("*", Operations[row[0]].first).reply(moved);
        target.on("*", "/moved").always(ClientTest::json(200, {}));
        rig.call(Operations[row[0]].second);
        QVERIFY(rig.wait());
        QStringList heard{"-"};
        for (const RecordedRequest &r : target.requests)
            heard << r.method + ' ' + r.path() + ' ' + r.header("Authorization");
        QVERIFY2(rig.log().value(0).startsWith(row[2]), qPrintable(rig.log().join('\n')));
        QCOMPARE(heard.last(), row[3]);
    }

    void signedOutSendsNothing()
    {
        Rig rig;
        QVERIFY(rig.signIn("t"));
        rig.client->Logout();
        // Refused from within the call, without a request.
        QVERIFY(!rig.call(Operations["LoadProfile"].second) && !rig.call(Operations["LoadGames"].second));
        QCOMPARE(rig.log(), QStringList(2, "RequestFailed 请先登录"));
    }

    void download_data()
    {
        // serving (0 whole, 1 in pieces, 2 in pieces with no length, 3 trickling on) | status | bytes beyond
        // the 30000 expected | change | the signal starts with. A transfer without a network error reports
        // the reply's plain error string.
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
folder of another account | 0 | 200 | 0 | nobody | UpdateDownloadFailed 无法创建更新临时目录
installer is a folder | 0 | 200 | 0 | installer | UpdateDownloadFailed 无法保存更新安装程序
http | 0 | 200 | 0 | http | UpdateDownloadFailed 更新信息不完整
63-character digest | 0 | 200 | 0 | 63 | UpdateDownloadFailed 更新信息不完整
65-character digest | 0 | 200 | 0 | 65 | UpdateDownloadFailed 更新信息不完整
size 0 | 0 | 200 | 0 | size 0 | UpdateDownloadFailed 更新信息不完整
)");
    }

    void download()
    {
        QFETCH(QStringList, row);
        const int serving = row[0].toInt(), extra = row[2].toInt();
        const QString change = row[3], outcome = row[4];
        // An earlier installer in a folder open to all: kept on failure, replaced only once the folder is
        // the owner's alone.
        const QString path = QStandardPaths::writableLocation(QStandardPaths::TempLocation) +
                             "/Zumvari/Zumvari-Update-Setup.exe",
                      folder = QFileInfo(path).path();
        QDir(folder).removeRecursively();
        QFile::remove(folder);
        QFile earlier(path);
        QVERIFY(QDir().mkpath(folder) && QFile::setPermissions(folder, QFileDevice::Permissions(0x7777)));
        QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("earlier") == 7);
        earlier.close();
        const QByteArray temp = qgetenv("TMPDIR");
        if (change == "folder")
            QVERIFY(earlier.rename(temp + "/f") && QDir(folder).removeRecursively() &&
                    QFile::rename(temp + "/f", folder));
        if (change == "installer")
            QVERIFY(earlier.remove() && QDir().mkpath(path + "/x"));
        if (change == "temp")
            qputenv("TMPDIR", temp + "/gone"); // no such folder: no temporary location at all
        if (change == "nobody" && chown(QFile::encodeName(folder), getpwnam("nobody")->pw_uid, gid_t(-1)))
            return QTest::qSkip("giving the folder to `nobody` needs root: not root", __FILE__, __LINE__);
        Rig rig(true);
        const QByteArray expected(30000, 'i');
        const QString digest = QCryptographicHash::hash(expected, QCryptographicHash::Sha256).toHex();
        ScriptedReply reply(row[1].toInt(),
                            extra > 0 ? expected + QByteArray(extra, 'x') : expected.left(30000 + extra));
        if (serving)
            reply.chunkBytes = serving == 3 ? 20000 : 10000, reply.chunkMs = serving == 3 ? 100 : 150,
            reply.withLength = serving != 2;
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
        QFile installer(path);
        const bool saved = outcome == "UpdateDownloaded";
        const QByteArray kept =
            saved ? expected : QByteArray(change == "folder" || change == "installer" ? "none" : "earlier");
        QCOMPARE(installer.open(QIODevice::ReadOnly) ? installer.readAll() : "none", kept);
        if (saved) {
            QCOMPARE(rig.log()[0], "UpdateDownloaded " + path);
            for (const QString &made : {folder, path}) // the owner's alone; the installer can run
                QCOMPARE(QFileInfo(made).permissions() & 0x7777, 0x7700);
            // The reply's own progress, with a total of -1 while it is unknown.
            const QStringList progress = rig.log(true);
            QVERIFY2(progress.size() >= 2 && progress.last() == "UpdateDownloadProgress 30000 30000" &&
                         progress.first().endsWith(serving == 2 ? " -1" : " 30000"),
                     qPrintable(progress.join('\n')));
        }
    }

    void requestFrames()
    {
        FakeService service;
        QByteArray large(4 << 20, 'x'); // far more than a local socket buffers: written out while waiting
        large[4097] = 'y';
        for (const QByteArray &payload : {QByteArray(), large, QByteArray("{}")}) {
            const auto command =
                payload.isEmpty() ? ServiceCommand::Status : ServiceCommand(2 + (payload.size() < 4));
            const quint64 before = QDateTime::currentMSecsSinceEpoch();
            QVERIFY(callControlService(command, payload).ok);
            const ServiceRequestRecord sent = service.requests().last();
            // Magic, version 1, the command, the time in milliseconds as its id, the payload's length.
            QCOMPARE(sent.header.left(8).toHex(), "4343414701000" + QByteArray::number(int(command)) + "00");
            const quint64 id = qFromLittleEndian<quint64>(sent.header.constData() + 8);
            QVERIFY(id >= before && id <= quint64(QDateTime::currentMSecsSinceEpoch()));
            QCOMPARE(qFromLittleEndian<quint32>(sent.header.constData() + 16), quint32(payload.size()));
            QVERIFY(sent.payload == payload);
        }
        QVERIFY(!decodeReplyHeader(QByteArray(23, '\0'))); // a reply header is 24 bytes
    }

    void serviceReplies()
    {
        const QString malformed = "0||服务响应格式不正确";
        const QByteArray largest(65536, 'a');
        const struct
        {
            const char *what;
            FakeReply reply;
            QString result; // ok|text|error
        } rows[] = {
            {"status 0", FakeReply{0, R"({"state":"accelerating"})"}, R"(1|{"state":"accelerating"}|)"},
            {"no payload", FakeReply{0, {}}, "1||"},
            {"65536 bytes", FakeReply{0, largest}, "1|" + largest + '|'},
            {"65537 bytes", FakeReply{0, largest + 'a'}, malformed},
            {"refused, status 1", FakeReply{1, "满载"}, "0|满载|服务拒绝了请求"},
            {"refused, highest status", FakeReply{~0u, {}}, "0||服务拒绝了请求"},
            {"reserved set", idle([](uchar *h) { h[6] = h[7] = 0xFF; }), "1|\"idle\"|"},
            // Each arrival restarts the wait: 1.2 s in all, never a second without a byte.
            {"byte by byte", idle({}, 40), "1|\"idle\"|"},
            {"magic byte-swapped", idle([](uchar *h) { qToBigEndian(ControlChannel::Magic, h); }), malformed},
            {"version 2", idle([](uchar *h) { h[4] = 2; }), malformed},
            {"stale request id", idle([](uchar *h) { --h[8]; }), malformed},
            {"length 2^32 - 1", idle([](uchar *h) { qToLittleEndian(~0u, h + 20); }), malformed},
            {"hang-up", FakeReply{0, {}, true}, malformed},
            {"23 bytes, hang-up", FakeReply{0, QByteArray(23, 'C'), true}, malformed},
            {"payload stops arriving", idle([](uchar *h) { h[16] = 3, h[20] = 16; }), "0||读取服务响应失败"},
        };
        for (const auto &row : rows) {
            FakeService service;
            service.queue(row.reply);
            QCOMPARE(outcome(callControlService(ServiceCommand::Status, {})) + " (" + row.what + ')',
                     row.result + " (" + row.what + ')');
        }
    }

    void unserved()
    {
        // A listener on this thread, which the call blocks, takes the connection but never serves it.
        for (const auto &[payload, error] :
             {std::pair<int, QString>{0, "服务响应格式不正确"}, {16 << 20, "发送服务请求失败"}}) {
            QLocalServer::removeServer(ControlChannel::ServerName);
            QLocalServer server;
            QVERIFY(server.listen(ControlChannel::ServerName));
            QCOMPARE(outcome(callControlService(ServiceCommand::Start, QByteArray(payload, 'k'))),
                     "0||" + error);
        }
    }

    void keyPair_data()
    {
        // the program installed as pairgen.exe beside this suite, PAIR printing both keys |
        // outcome (0 made, 1 program failed, 2 keys missing), private key, public key
        ClientTest::rows(R"(
both keys | PAIR; exit 0 | 0,cHJpdg==,cHVi
one argument, keypair | printf '{"private_key":"%s %s.","public_key":"p"}' $# "$@" | 0,1 keypair.,p
4 MiB of diagnostics first | head -c 4194304 /dev/zero >&2; PAIR | 0,cHJpdg==,cHVi
too slow | PAIR; exec sleep 30 | 1,,
only private_key | printf '{"private_key":"cHJpdg=="}' | 2,cHJpdg==,
keys on standard error | PAIR >&2 | 2,,
)");
    }

    void keyPair()
    {
        QFETCH(QStringList, row);
        const QByteArray script =
            row[0].toUtf8().replace("PAIR", R"(printf '{"private_key":"cHJpdg==","public_key":"cHVi"}')");
        QVERIFY(ClientTest::installProgram("#!/bin/sh\n" + script));
        QElapsedTimer clock;
        clock.start();
        const KeyPairRun run = runKeyPairProgram(keyPairProgramPath());
        QCOMPARE(QString::number(int(run.outcome)) + ',' + run.privateKey + ',' + run.publicKey, row[1]);
        // The keys came at once, but the program outlived the 5 s limit.
        if (script.contains("sleep"))
            QVERIFY2(clock.elapsed() >= 4900 && clock.elapsed() < 8000,
                     qPrintable(QString::number(clock.elapsed())));
    }

    // Boundaries where an off-by-one or a lax comparison would show only on some days or for some backends.

    void decisions()
    {
        const auto days = [](const char *now, const char *expiry) {
            return membershipDaysRemaining(QDateTime::fromString(now, Qt::ISODate),
                                           QDateTime::fromString(expiry, Qt::ISODate));
        };
        const auto start = [](const char *session) {
            return QJsonDocument(buildStartPayload(QJsonDocument::fromJson(session).object(), "k"))
                .toJson(QJsonDocument::Compact);
        };
        QCOMPARE(days("2025-03-10T00:00:00Z", "2025-03-10T23:59:00Z"), 0); // a minute before midnight
        QCOMPARE(days("2025-03-10T23:59:59Z", "2025-03-11T00:00:00Z"), 1);
        QCOMPARE(days("2025-03-11T07:00:00+08:00", "2025-03-12T07:59:00+08:00"), 1); // whole days in UTC
        QCOMPARE(days("2025-03-10T00:00:00Z", "2025-03-09T12:00:00Z"), 0);
        QCOMPARE(days("2025-03-10T00:00:00Z", "next Tuesday"), 0);
        QCOMPARE(roundTripValue(0), 1);
        QCOMPARE(roundTripValue(2), 2);
        QCOMPARE(roundTripValue(87.5), 100);
        QCOMPARE(roundTripValue(QJsonValue::Undefined), 100);
        // A "-beta" or "-alpha" anywhere.
        QVERIFY(isNewerRelease("0-beta.5", "0.4.0") && isNewerRelease("0-alpha.5", "0.4.0"));
        QVERIFY(!isNewerRelease("0.4.0-alpha", "0.4.0"));
        QVERIFY(isNewerRelease("0.10", "0.9.9"));
        QCOMPARE(downloadPercent(2, 3), 66);
        QCOMPARE(start(R"({"game_processes":[],"private_key":"old"})"),
                 R"({"game_processes":[],"private_key":"k"})");
        QCOMPARE(start(R"({"game_processes":["a.exe"]})"),
                 R"({"game_processes":["a.exe"],"private_key":"k","route_mode":"process-beta"})");
    }

    // The token users that may receive the private key on Windows ("+"), and others ("-").
    void serviceAccounts()
    {
        const QString sids =
            "+S-1-5-18 +S-1-5-19 +S-1-5-20 +S-1-5-80-1-2-3-4-5 -S-1-5-80-0 -S-1-5-80-1-2-3-4 "
            "-S-1-5-80-1-2-3-4-5-6 -S-1-5-18-0 -S-1-5-19-1 -S-1-5-20-20 -S-1-5-32-544 -S-1-5 "
            "-S-1-5-21-1-2-3-1001 -S-1-16-18 -S-1-1-80-1-2-3-4-5 -S-1-1099511627781-18";
        for (const QString &sid : sids.split(' ')) {
            const QStringList parts = sid.mid(1).split('-'); // without the mark
            std::uint32_t subAuthorities[8] = {};
            for (qsizetype i = 3; i < parts.size(); ++i)
                subAuthorities[i - 3] = parts[i].toUInt();
            const bool accepted =
                isServiceAccountSid(parts[2].toULongLong(), subAuthorities, parts.size() - 3);
            QVERIFY2(accepted == sid.startsWith('+'), qPrintable(sid));
        }
        QVERIFY(!isServiceAccountSid(5, nullptr, 1)); // a count without an array
    }

    // Who may serve the control channel: real Unix sockets made and listened on by a child of this (root)
    // suite that became the account `nobody`. The mingw-w64 check compiles the Windows side.
    void otherUnixAccount()
    {
        const passwd *nobody = getpwnam("nobody");
        if (geteuid() != 0 || nobody == nullptr)
            return QTest::qSkip("serving as `nobody` needs root; this run is not root", __FILE__, __LINE__);
        char folder[] = "/tmp/zumvari-squat-XXXXXX";
        sockaddr_un address{AF_UNIX, {}};
        int rootPair[2], ownPair[2], status, bytes[8],
            server = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        QVERIFY(mkdtemp(folder) && chown(folder, nobody->pw_uid, gid_t(-1)) == 0 &&
                socketpair(AF_UNIX, SOCK_STREAM, 0, rootPair) == 0);
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s/channel", folder);
        // A child that became `nobody` trusts a socket made by root and one made by itself, and listens
        // on the channel: the listening socket, still open here, keeps the account it listened on.
        if (fork() == 0) {
            const bool trusted = setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0 &&
                                 socketPeerIsRootOrSelf(rootPair[0]) &&
                                 socketpair(AF_UNIX, SOCK_STREAM, 0, ownPair) == 0 &&
                                 socketPeerIsRootOrSelf(ownPair[0]);
            const bool listening = bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
            _exit(trusted && listening && listen(server, 1) == 0 ? 0 : 1);
        }
        QVERIFY(wait(&status) > 0 && status == 0);
        const ServiceReply reply = callControlService(ServiceCommand::Start, "{\"private_key\":\"secret\"}",
                                                      QString::fromLatin1(address.sun_path));
        // What the squatter holds now, without waiting: 0, the end of input, once the client closed
        // without a byte (a connection never made or left open fails at once, too).
        const ssize_t received = recv(accept(server, nullptr, nullptr), bytes, sizeof bytes, MSG_DONTWAIT);
        QDir(QString::fromLatin1(folder)).removeRecursively();
        QCOMPARE(received, ssize_t(0));
        QCOMPARE(reply.error, QStringLiteral("本地加速服务身份验证失败"));
    }
};

ZUMVARI_TEST_MAIN(TstClient)
#include "tst_client.moc"
