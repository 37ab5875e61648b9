// Starting and stopping an acceleration through the window: the start button, the service check and
// the stop and sign-out routes, against a scripted backend on loopback, a local service on the real
// channel and the real key-pair program beside this test.
#include "apiclient.h"
#include "clienttest.h"
#include "fakeservice.h"
#include "mainwindow.h"
#include "testserver.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

#include <memory>

namespace {

const QByteArray SessionsPath = "/api/v1/acceleration/sessions";
const QString ReadyText = QStringLiteral("香港节点在线，可开始加速");
const QString SplitText = QStringLiteral("正在加速 · 智能分流 Beta（仅游戏流量）");
const QString GlobalText = QStringLiteral("正在加速 · 全局模式（全部 IPv4 流量经香港）");
const QString GameRulesText = QStringLiteral("正在加速 · 游戏分流模式");
const QString IdleText = QStringLiteral("当前未加速");
const QString RollbackText = QStringLiteral("本地隧道启动失败，正在撤销会话…");
const QString NotRunningText = QStringLiteral("后台加速服务未运行");
const QString KeyProgramText = QStringLiteral("无法生成隧道密钥，请重新安装客户端");

// Three games: two with a region and a node, one the backend has no region for.
const QByteArray GamesBody =
    R"({"items":[{"id":"g1","name":"Counter-Strike 2","slug":"cs2"},)"
    R"({"id":"g2","name":"PUBG","slug":"pubg"},{"id":"g3","name":"Quiet Game","slug":"quiet"}]})";
const QByteArray SplitSession =
    R"({"session_id":"s1","game_processes":["cs2.exe"],"rules_environment":"per-game","egress_ip":"203.0.113.7"})";

QByteArray sessionWithId(const char *id)
{
    return QByteArray(R"({"session_id":")") + id +
           R"(","game_processes":["cs2.exe"],"egress_ip":"203.0.113.8"})";
}

QByteArray deletePath(const char *sessionId)
{
    return SessionsPath + '/' + sessionId;
}

void scriptBackend(TestServer &server, const QByteArray &session = SplitSession)
{
    server.on("POST", "/api/v1/auth/login")
        .always(ScriptedReply::json(200, R"({"access_token":"token-A","refresh_token":"refresh-A"})"));
    server.on("GET", "/api/v1/me")
        .always(ScriptedReply::json(
            200, R"({"account":"player@example.com","membership":{"active":true,"kind":"trial",)"
                 R"("expires_at":"2099-01-01T00:00:00Z"}})"));
    server.on("GET", "/api/v1/games").always(ScriptedReply::json(200, GamesBody));
    server.on("GET", "/api/v1/games/g1/regions")
        .always(ScriptedReply::json(200, R"({"items":[{"id":"r1","name":"亚洲服"}]})"));
    server.on("GET", "/api/v1/games/g2/regions")
        .always(ScriptedReply::json(200, R"({"items":[{"id":"r2","name":"欧洲服"}]})"));
    server.on("GET", "/api/v1/games/g3/regions").always(ScriptedReply::json(200, R"({"items":[]})"));
    const QByteArray nodes = R"({"items":[{"id":"n1","name":"Test","location":"hk","score":35}]})";
    server.on("GET", "/api/v1/games/g1/regions/r1/nodes").always(ScriptedReply::json(200, nodes));
    server.on("GET", "/api/v1/games/g2/regions/r2/nodes").always(ScriptedReply::json(200, nodes));
    server.on("POST", SessionsPath).always(ScriptedReply::json(201, session));
    for (const char *id : {"s1", "s2"})
        server.on("DELETE", deletePath(id)).always(ScriptedReply(204));
}

std::unique_ptr<MainWindow> windowFor(const TestServer &server)
{
    qputenv("DIVE_DIZUVIVIVID_API_URL", server.baseUrl().toEncoded());
    return std::make_unique<MainWindow>();
}

// Signs in through the form and waits for the given status text (by default: a region matched).
bool signIn(MainWindow &window, const QString &until = ReadyText)
{
    window.accountEdit->setText(QStringLiteral("player@example.com"));
    window.passwordEdit->setText(QStringLiteral("secret"));
    window.loginButton->click();
    return QTest::qWaitFor([&] { return window.statusLabel->text() == until; }, 5000);
}

bool isAcceleratingText(const QString &text)
{
    return text == SplitText || text == GlobalText || text == GameRulesText;
}

// Clicks start and waits until the tunnel has been started for a granted session.
bool accelerate(MainWindow &window)
{
    window.startButton->click();
    return QTest::qWaitFor(
        [&] { return !window.activeSessionId.isEmpty() && isAcceleratingText(window.statusLabel->text()); },
        5000);
}

int countRequests(const TestServer &server, const QByteArray &method, const QByteArray &path)
{
    int count = 0;
    for (const RecordedRequest &request : server.requests())
        count += request.method == method && request.path() == path;
    return count;
}

QList<RecordedRequest> requestsTo(const TestServer &server, const QByteArray &method, const QByteArray &path)
{
    QList<RecordedRequest> found;
    for (const RecordedRequest &request : server.requests())
        if (request.method == method && request.path() == path)
            found.append(request);
    return found;
}

QList<quint16> commandsOf(const FakeService &service)
{
    QList<quint16> commands;
    for (const ServiceRequestRecord &frame : service.requests())
        commands.append(frame.command);
    return commands;
}

QList<ServiceRequestRecord> framesOf(const FakeService &service, ServiceCommand command)
{
    QList<ServiceRequestRecord> frames;
    for (const ServiceRequestRecord &frame : service.requests())
        if (frame.command == quint16(command))
            frames.append(frame);
    return frames;
}

constexpr quint16 StatusCode = quint16(ServiceCommand::Status);
constexpr quint16 StartCode = quint16(ServiceCommand::Start);
constexpr quint16 StopCode = quint16(ServiceCommand::Stop);

QString besideTest(const char *name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(name);
}

bool writeProgram(const QString &path, const QByteArray &text)
{
    QFile::remove(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return false;
    file.close();
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// The key-pair program the client runs: the real one, behind a wrapper that keeps a copy of each
// pair it printed, so the test knows which keys were made.
bool installRecordingPairgen()
{
    QFile::remove(besideTest("pairgen-runs.log"));
    return writeProgram(besideTest("pairgen.exe"), "#!/bin/sh\n"
                                                   "here=$(dirname \"$0\")\n"
                                                   "out=$(\"$here/pairgen-real.exe\" \"$@\") || exit $?\n"
                                                   "printf '%s\\n' \"$out\" >> \"$here/pairgen-runs.log\"\n"
                                                   "printf '%s' \"$out\"\n");
}

struct PrintedKeys
{
    QString privateKey;
    QString publicKey;
};

QList<PrintedKeys> printedKeys()
{
    QList<PrintedKeys> runs;
    QFile log(besideTest("pairgen-runs.log"));
    if (!log.open(QIODevice::ReadOnly))
        return runs;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject keys = QJsonDocument::fromJson(line).object();
        runs.append({keys.value(QLatin1String("private_key")).toString(),
                     keys.value(QLatin1String("public_key")).toString()});
    }
    return runs;
}

QJsonObject jsonOf(const QByteArray &bytes)
{
    return QJsonDocument::fromJson(bytes).object();
}

// The private key goes only to the service, the public key only to the backend.
void verifyKeysStayApart(const TestServer &server, const FakeService &service, const PrintedKeys &keys)
{
    QVERIFY(!keys.privateKey.isEmpty() && !keys.publicKey.isEmpty());
    const QByteArray privateKey = keys.privateKey.toUtf8();
    for (const RecordedRequest &request : server.requests()) {
        QByteArray wire = request.target + '\n' + request.body;
        for (const auto &header : request.headers)
            wire += '\n' + header.first + ": " + header.second;
        QVERIFY2(!wire.contains(privateKey) && !wire.contains(QUrl::toPercentEncoding(keys.privateKey)),
                 "the private key reached the backend: " + request.method + ' ' + request.target);
    }
    for (const ServiceRequestRecord &frame : service.requests())
        QVERIFY2(!frame.payload.contains(keys.publicKey.toUtf8()), "the public key reached the service");
}

} // namespace

class TstMainWindowAcceleration : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void checkServiceShowsTheReply_data();
    void checkServiceShowsTheReply();
    void keyPairFailureStopsTheStart_data();
    void keyPairFailureStopsTheStart();
    void startWalksFromNodesToTunnel();
    void startPayloadCarriesTheWholeSession_data();
    void startPayloadCarriesTheWholeSession();
    void onlyAnAcceleratingReplyEnablesStop_data();
    void onlyAnAcceleratingReplyEnablesStop();
    void failedTunnelStartDeletesTheNewSession_data();
    void failedTunnelStartDeletesTheNewSession();
    void refusedRollbackLeavesTheSessionOrphaned();
    void refusedSessionClearsKeysAndButtons();
    void refusedSessionAfterAGameChange();
    void stopDeletesTheSessionBeforeTheTunnel();
    void stopWithoutSessionStopsTheTunnelDirectly();
    void refusedStopKeepsTheTunnel();
    void signOutStopsWithTheToken_data();
    void signOutStopsWithTheToken();
    void signOutWithoutSessionStopsTheService();
    void idleReportOrphansAndTheNextStartReplaces();
    void idleReportWithoutRegionAllowsAFailingStart();
    void sessionGrantedAfterSignOutIsStarted();
};

void TstMainWindowAcceleration::initTestCase()
{
    const QString real = besideTest("pairgen-real.exe");
    QFile::remove(real);
    QVERIFY2(QFile::copy(QStringLiteral(PAIRGEN_PATH), real), PAIRGEN_PATH);
}

void TstMainWindowAcceleration::init()
{
    QVERIFY(installRecordingPairgen());
}

// ----- the service check -----

enum class Setup { RegionMatched, NoRegion, NoGames, SignedOut, SignedOutWithGames };

void TstMainWindowAcceleration::checkServiceShowsTheReply_data()
{
    QTest::addColumn<int>("setup");
    QTest::addColumn<bool>("primeAccelerating"); // a first check reports "accelerating" (stop enabled)
    QTest::addColumn<bool>("running");
    QTest::addColumn<quint32>("status");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("expectedLabel");
    QTest::addColumn<bool>("expectedStart");
    QTest::addColumn<bool>("expectedStop");

    const int ready = int(Setup::RegionMatched);
    const QByteArray accelerating = R"({"state":"accelerating"})";
    const QByteArray idle = R"({"state":"idle"})";
    QTest::newRow("not running, start enabled")
        << ready << false << false << 0u << QByteArray() << NotRunningText << true << false;
    QTest::newRow("not running, stop enabled")
        << ready << true << false << 0u << QByteArray() << NotRunningText << false << true;
    QTest::newRow("accelerating") << ready << false << true << 0u << accelerating
                                  << QStringLiteral("正在加速") << false << true;
    QTest::newRow("idle, region matched") << ready << true << true << 0u << idle << IdleText << true << false;
    // Idle asks for a current game, not a matched region.
    QTest::newRow("idle, game without region")
        << int(Setup::NoRegion) << true << true << 0u << idle << IdleText << true << false;
    QTest::newRow("idle, no game current")
        << int(Setup::NoGames) << true << true << 0u << idle << IdleText << false << false;
    QTest::newRow("idle, signed out")
        << int(Setup::SignedOut) << true << true << 0u << idle << IdleText << false << false;
    // A game list that arrives after sign-out makes a game current without a sign-in.
    QTest::newRow("idle, signed out with a game current")
        << int(Setup::SignedOutWithGames) << true << true << 0u << idle << IdleText << false << false;
    QTest::newRow("other text shown as is")
        << ready << true << true << 0u << QByteArray("服务正常 · 版本 1.2")
        << QStringLiteral("服务正常 · 版本 1.2") << false << true;
    QTest::newRow("state word in other case")
        << ready << false << true << 0u << QByteArray(R"({"state":"Accelerating"})")
        << QStringLiteral(R"({"state":"Accelerating"})") << true << false;
    QTest::newRow("state word without quotes") << ready << true << true << 0u << QByteArray("state: idle")
                                               << QStringLiteral("state: idle") << false << true;
    QTest::newRow("empty text") << ready << false << true << 0u << QByteArray() << QString() << true << false;
    QTest::newRow("both words count as accelerating")
        << ready << false << true << 0u << QByteArray(R"({"state":"idle","previous":"accelerating"})")
        << QStringLiteral("正在加速") << false << true;
    QTest::newRow("refused") << ready << false << true << 7u << accelerating
                             << QStringLiteral("服务拒绝了请求") << true << false;
}

void TstMainWindowAcceleration::checkServiceShowsTheReply()
{
    QFETCH(int, setup);
    QFETCH(bool, primeAccelerating);
    QFETCH(bool, running);
    QFETCH(quint32, status);
    QFETCH(QByteArray, text);
    QFETCH(QString, expectedLabel);
    QFETCH(bool, expectedStart);
    QFETCH(bool, expectedStop);

    TestServer server;
    scriptBackend(server);
    if (setup == int(Setup::NoRegion))
        server.on("GET", "/api/v1/games/g1/regions").always(ScriptedReply::json(200, R"({"items":[]})"));
    if (setup == int(Setup::NoGames)) {
        server.on("GET", "/api/v1/games").always(ScriptedReply::json(200, R"({"items":[]})"));
        // The profile comes last, so once it shows the empty list has been handled too.
        server.on("GET", "/api/v1/me")
            .always(
                ScriptedReply::json(200, R"({"account":"player@example.com","membership":{}})").delayed(300));
    }
    if (setup == int(Setup::SignedOutWithGames))
        server.on("GET", "/api/v1/games").always(ScriptedReply::json(200, GamesBody).delayed(300));
    auto window = windowFor(server);
    auto *check = window->findChild<QPushButton *>(QStringLiteral("checkServiceButton"));
    QVERIFY(check);
    switch (Setup(setup)) {
    case Setup::RegionMatched:
        QVERIFY(signIn(*window));
        break;
    case Setup::NoRegion:
        QVERIFY(signIn(*window, QStringLiteral("当前游戏暂无可用区服")));
        QVERIFY(!window->startButton->isEnabled());
        break;
    case Setup::NoGames:
        window->accountEdit->setText(QStringLiteral("player@example.com"));
        window->passwordEdit->setText(QStringLiteral("secret"));
        window->loginButton->click();
        QTRY_COMPARE(window->accountLabel->text(), QStringLiteral("账号：player@example.com"));
        QCOMPARE(window->gameList->count(), 0);
        break;
    case Setup::SignedOut:
        break;
    case Setup::SignedOutWithGames:
        window->accountEdit->setText(QStringLiteral("player@example.com"));
        window->passwordEdit->setText(QStringLiteral("secret"));
        window->loginButton->click();
        QTRY_COMPARE(window->accountLabel->text(), QStringLiteral("账号：player@example.com"));
        QCOMPARE(window->gameList->count(), 0);
        window->logoutButton->click();
        QTRY_COMPARE(window->gameList->count(), 3);
        QVERIFY(window->gameList->currentItem());
        break;
    }

    auto service = std::make_unique<FakeService>();
    QVERIFY(service->isListening());
    if (primeAccelerating) {
        service->queue(FakeReply::state("accelerating"));
        check->click();
        QCOMPARE(window->statusLabel->text(), QStringLiteral("正在加速"));
        QVERIFY(!window->startButton->isEnabled());
        QVERIFY(window->stopButton->isEnabled());
    }
    const bool startBefore = window->startButton->isEnabled();
    const bool stopBefore = window->stopButton->isEnabled();
    if (running)
        service->queue(FakeReply::answer(status, text));
    else
        service.reset();

    check->click();

    QCOMPARE(window->statusLabel->text(), expectedLabel);
    QCOMPARE(window->startButton->isEnabled(), expectedStart);
    QCOMPARE(window->stopButton->isEnabled(), expectedStop);
    if (!running || status != 0 || expectedLabel == QString::fromUtf8(text)) {
        // Failures and unknown texts leave the buttons alone.
        QCOMPARE(window->startButton->isEnabled(), startBefore);
        QCOMPARE(window->stopButton->isEnabled(), stopBefore);
    }
    if (running) {
        const ServiceRequestRecord frame = service->requests().constLast();
        QCOMPARE(frame.command, StatusCode);
        QCOMPARE(frame.payloadLength, 0u);
        QVERIFY(frame.payload.isEmpty());
    }
}

// ----- start -----

void TstMainWindowAcceleration::keyPairFailureStopsTheStart_data()
{
    QTest::addColumn<QByteArray>("program"); // empty: no program beside the client
    QTest::addColumn<QString>("expected");

    QTest::newRow("program missing") << QByteArray() << KeyProgramText;
    QTest::newRow("exit code 1")
        << QByteArray("#!/bin/sh\nprintf '{\"private_key\":\"cHJpdg==\",\"public_key\":\"cHVi\"}'\nexit 1\n")
        << KeyProgramText;
    QTest::newRow("no private key") << QByteArray("#!/bin/sh\nprintf '{\"public_key\":\"cHVi\"}'\n")
                                    << QStringLiteral("隧道密钥生成失败");
}

void TstMainWindowAcceleration::keyPairFailureStopsTheStart()
{
    QFETCH(QByteArray, program);
    QFETCH(QString, expected);

    QFile::remove(besideTest("pairgen.exe"));
    if (!program.isEmpty())
        QVERIFY(writeProgram(besideTest("pairgen.exe"), program));
    TestServer server;
    scriptBackend(server);
    FakeService service;
    auto window = windowFor(server);
    QVERIFY(signIn(*window));
    const int requestsBefore = server.requestCount();

    window->startButton->click();

    QCOMPARE(window->statusLabel->text(), expected);
    QVERIFY(window->startButton->isEnabled());
    QVERIFY(!window->stopButton->isEnabled());
    QTest::qWait(200); // a request, had one been sent, would have arrived by now
    QCOMPARE(server.requestCount(), requestsBefore);
    QCOMPARE(service.requestCount(), 0);

    // Once the program is back, the same button starts normally.
    QVERIFY(installRecordingPairgen());
    QVERIFY(accelerate(*window));
    QCOMPARE(countRequests(server, "GET", "/api/v1/games/g1/regions/r1/nodes"), 1);
}

void TstMainWindowAcceleration::startWalksFromNodesToTunnel()
{
    TestServer server;
    scriptBackend(server);
    server.on("GET", "/api/v1/games/g1/regions/r1/nodes")
        .reply(ScriptedReply::json(200, R"({"items":[{"id":"n1","name":"Test","location":"hk","score":35}]})")
                   .delayed(300));
    server.on("POST", SessionsPath).reply(ScriptedReply::json(201, SplitSession).delayed(300));
    FakeService service;
    auto window = windowFor(server);
    QVERIFY(signIn(*window));

    window->startButton->click();
    QVERIFY(!window->startButton->isEnabled());
    QCOMPARE(window->statusLabel->text(), QStringLiteral("正在选择最优线路…"));
    QTRY_COMPARE(countRequests(server, "GET", "/api/v1/games/g1/regions/r1/nodes"), 1);

    QTRY_COMPARE(window->statusLabel->text(), QStringLiteral("正在申请加速会话…"));
    QCOMPARE(window->routeCard->text(), QStringLiteral("当前节点：Test · HK"));
    QVERIFY(!window->startButton->isEnabled());
    QVERIFY(!window->launchButton->isEnabled());
    QCOMPARE(service.requestCount(), 0); // the service is contacted only once a session exists

    QTRY_COMPARE(window->statusLabel->text(), SplitText);
    QCOMPARE(window->routeCard->text(),
             QStringLiteral("当前节点：Hong Kong Test Node · 加速 IP：203.0.113.7"));
    QCOMPARE(window->activeSessionId, QStringLiteral("s1"));
    QVERIFY(!window->startButton->isEnabled());
    QVERIFY(window->stopButton->isEnabled());
    QVERIFY(window->launchButton->isEnabled());
    QCOMPARE(commandsOf(service), QList<quint16>{StartCode});

    const QList<PrintedKeys> keys = printedKeys();
    QCOMPARE(keys.size(), 1);
    const QList<RecordedRequest> creates = requestsTo(server, "POST", SessionsPath);
    QCOMPARE(creates.size(), 1);
    const QJsonObject body = jsonOf(creates.first().body);
    QCOMPARE(body.value(QLatin1String("client_public_key")).toString(), keys.first().publicKey);
    QCOMPARE(body.value(QLatin1String("preferred_node_id")).toString(), QStringLiteral("n1"));
    QCOMPARE(
        body.value(QLatin1String("probes")).toArray().at(0).toObject().value(QLatin1String("rtt_ms")).toInt(),
        35);
    const QJsonObject payload = jsonOf(service.requests().first().payload);
    QCOMPARE(payload.value(QLatin1String("private_key")).toString(), keys.first().privateKey);
    verifyKeysStayApart(server, service, keys.first());
}

void TstMainWindowAcceleration::startPayloadCarriesTheWholeSession_data()
{
    QTest::addColumn<QByteArray>("session");
    QTest::addColumn<QString>("routeMode"); // expected "route_mode" in the payload; empty: absent
    QTest::addColumn<QString>("expectedText");
    QTest::addColumn<QString>("expectedAddress");

    QTest::newRow("game processes override the backend's route and keys")
        << QByteArray(
               R"({"session_id":"s1","game_processes":["cs2.exe","steam.exe"],)"
               R"("rules_environment":"global-fallback","egress_ip":"203.0.113.7","route_mode":"full",)"
               R"("private_key":"from-the-backend","relay":{"endpoint":"198.51.100.2:51820",)"
               R"("allowed_ips":["0.0.0.0/0","::/0"],"mtu":1420,"keepalive":null},)"
               R"("ttl_seconds":3600,"beta":true,"ratio":0.25,"note":"香港 · 一号线"})")
        << QStringLiteral("process-beta") << SplitText << QStringLiteral("203.0.113.7");
    QTest::newRow("empty processes, global fallback")
        << QByteArray(R"({"session_id":"s1","game_processes":[],"rules_environment":"global-fallback",)"
                      R"("egress_ip":"203.0.113.8"})")
        << QString() << GlobalText << QStringLiteral("203.0.113.8");
    QTest::newRow("backend's own split mode kept")
        << QByteArray(R"({"session_id":"s1","rules_environment":"per-game","route_mode":"process-beta",)"
                      R"("egress_ip":""})")
        << QStringLiteral("process-beta") << SplitText << QStringLiteral("分配中");
    QTest::newRow("other route kept without processes")
        << QByteArray(R"({"session_id":"s1","game_processes":[],"rules_environment":"per-game",)"
                      R"("route_mode":"full"})")
        << QStringLiteral("full") << GameRulesText << QStringLiteral("分配中");
    QTest::newRow("processes that are not an array")
        << QByteArray(
               R"({"session_id":"s1","game_processes":"cs2.exe","rules_environment":"global-fallback",)"
               R"("egress_ip":"203.0.113.9"})")
        << QString() << GlobalText << QStringLiteral("203.0.113.9");
    QTest::newRow("fallback with the wrong case")
        << QByteArray(
               R"({"session_id":"s1","rules_environment":"Global-Fallback","egress_ip":"203.0.113.10"})")
        << QString() << GameRulesText << QStringLiteral("203.0.113.10");
}

void TstMainWindowAcceleration::startPayloadCarriesTheWholeSession()
{
    QFETCH(QByteArray, session);
    QFETCH(QString, routeMode);
    QFETCH(QString, expectedText);
    QFETCH(QString, expectedAddress);

    TestServer server;
    scriptBackend(server, session);
    FakeService service;
    auto window = windowFor(server);
    QVERIFY(signIn(*window));
    QVERIFY(accelerate(*window));

    QCOMPARE(window->statusLabel->text(), expectedText);
    QCOMPARE(window->routeCard->text(),
             QStringLiteral("当前节点：Hong Kong Test Node · 加速 IP：%1").arg(expectedAddress));
    QVERIFY(window->launchButton->isEnabled());

    const QList<PrintedKeys> keys = printedKeys();
    QCOMPARE(keys.size(), 1);
    const QList<ServiceRequestRecord> starts = framesOf(service, ServiceCommand::Start);
    QCOMPARE(starts.size(), 1);

    QJsonObject expected = jsonOf(session);
    expected.insert(QLatin1String("private_key"), keys.first().privateKey);
    if (!routeMode.isEmpty())
        expected.insert(QLatin1String("route_mode"), routeMode);
    const QByteArray payload = starts.first().payload;
    QCOMPARE(jsonOf(payload), expected);
    QCOMPARE(jsonOf(payload).contains(QLatin1String("route_mode")), !routeMode.isEmpty());
    // Compact UTF-8: no layout white space, no escaped characters.
    QCOMPARE(payload, QJsonDocument(expected).toJson(QJsonDocument::Compact));
    QVERIFY(!payload.contains('\n'));
    if (session.contains("香港"))
        QVERIFY(payload.contains(QStringLiteral("香港 · 一号线").toUtf8()));
    QCOMPARE(starts.first().payloadLength, quint32(payload.size()));

    verifyKeysStayApart(server, service, keys.first());
}

void TstMainWindowAcceleration::onlyAnAcceleratingReplyEnablesStop_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("expectedStart");

    QTest::newRow("neither word") << QByteArray(R"({"tunnel":"up"})") << false;
    // "idle" applies its own rule: start follows sign-in and the current game.
    QTest::newRow("idle") << QByteArray(R"({"state":"idle"})") << true;
}

void TstMainWindowAcceleration::onlyAnAcceleratingReplyEnablesStop()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, expectedStart);

    TestServer server;
    scriptBackend(server, R"({"session_id":"s1","rules_environment":"per-game","egress_ip":"203.0.113.7"})");
    FakeService service;
    service.queue(FakeReply::answer(0, reply));
    auto window = windowFor(server);
    QVERIFY(signIn(*window));
    QVERIFY(accelerate(*window));

    // The handler's own text replaces whatever the reply showed.
    QCOMPARE(window->statusLabel->text(), GameRulesText);
    QCOMPARE(window->activeSessionId, QStringLiteral("s1"));
    QVERIFY(!window->stopButton->isEnabled());
    QCOMPARE(window->startButton->isEnabled(), expectedStart);
    QVERIFY(window->launchButton->isEnabled());
    QCOMPARE(countRequests(server, "DELETE", deletePath("s1")), 0);
}

// ----- rollback -----

enum class TunnelFailure { NotRunning, Refused, HungUp };

void TstMainWindowAcceleration::failedTunnelStartDeletesTheNewSession_data()
{
    QTest::addColumn<int>("failure");
    QTest::newRow("service not running") << int(TunnelFailure::NotRunning);
    QTest::newRow("service refuses") << int(TunnelFailure::Refused);
    QTest::newRow("service hangs up") << int(TunnelFailure::HungUp);
}

void TstMainWindowAcceleration::failedTunnelStartDeletesTheNewSession()
{
    QFETCH(int, failure);

    TestServer server;
    scriptBackend(server, R"({"session_id":"s-77","game_processes":["cs2.exe"],"egress_ip":"203.0.113.7"})");
    server.on("DELETE", deletePath("s-77")).always(ScriptedReply(204).delayed(300));
    std::unique_ptr<FakeService> service;
    if (failure != int(TunnelFailure::NotRunning)) {
        service = std::make_unique<FakeService>();
        service->queue(failure == int(TunnelFailure::Refused)
                           ? FakeReply::answer(3, R"({"error":"tunnel driver missing"})")
                           : FakeReply::hangup());
    }
    QString labelAtDelete;
    QString sessionAtDelete;
    int serviceStopsAtDelete = -1;
    auto window = windowFor(server);
    QObject::connect(&server, &TestServer::requestReceived, &server, [&](const RecordedRequest &request) {
        if (request.method != "DELETE")
            return;
        labelAtDelete = window->statusLabel->text();
        sessionAtDelete = window->activeSessionId;
        serviceStopsAtDelete = service ? int(framesOf(*service, ServiceCommand::Stop).size()) : 0;
    });
    QVERIFY(signIn(*window));

    window->startButton->click();
    QTRY_COMPARE(countRequests(server, "DELETE", deletePath("s-77")), 1);
    QCOMPARE(labelAtDelete, RollbackText);
    QCOMPARE(sessionAtDelete, QStringLiteral("s-77"));
    QCOMPARE(serviceStopsAtDelete, 0);
    QCOMPARE(requestsTo(server, "DELETE", deletePath("s-77")).first().header("Authorization"),
             QByteArray("Bearer token-A"));
    QVERIFY(!window->startButton->isEnabled());
    QVERIFY(!window->stopButton->isEnabled());
    QVERIFY(!window->launchButton->isEnabled());

    QTRY_COMPARE(window->statusLabel->text(), IdleText);
    QVERIFY(window->activeSessionId.isEmpty());
    QVERIFY(window->tunnelPrivateKey.isEmpty());
    QVERIFY(window->tunnelPublicKey.isEmpty());
    QVERIFY(window->startButton->isEnabled());
    QVERIFY(!window->stopButton->isEnabled());
    QVERIFY(!window->launchButton->isEnabled()); // the stop leaves it as it was
    if (service)
        QCOMPARE(commandsOf(*service), (QList<quint16>{StartCode, StopCode}));
    QCOMPARE(countRequests(server, "DELETE", deletePath("s-77")), 1);
}

void TstMainWindowAcceleration::refusedRollbackLeavesTheSessionOrphaned()
{
    TestServer server;
    scriptBackend(server);
    server.on("DELETE", deletePath("s1"))
        .always(ScriptedReply::json(502, R"({"message":"会话撤销失败，请稍后重试"})"));
    auto window = windowFor(server); // no service running
    QVERIFY(signIn(*window));

    window->startButton->click();
    QTRY_COMPARE(window->statusLabel->text(), QStringLiteral("会话撤销失败，请稍后重试"));
    QCOMPARE(window->activeSessionId, QStringLiteral("s1"));
    QVERIFY(!window->tunnelPrivateKey.isEmpty());
    QVERIFY(window->startButton->isEnabled());
    QVERIFY(!window->stopButton->isEnabled());
    QVERIFY(!window->launchButton->isEnabled());
    QTest::qWait(300); // no automatic retry
    QCOMPARE(countRequests(server, "DELETE", deletePath("s1")), 1);
}

// ----- refused session -----

void TstMainWindowAcceleration::refusedSessionClearsKeysAndButtons()
{
    TestServer server;
    scriptBackend(server);
    FakeService service;
    auto window = windowFor(server);
    QVERIFY(signIn(*window));
    QVERIFY(accelerate(*window));
    // An idle report leaves launch enabled with start available.
    service.queue(FakeReply::state("idle"));
    window->findChild<QPushButton *>(QStringLiteral("checkServiceButton"))->click();
    QVERIFY(window->startButton->isEnabled());
    QVERIFY(window->launchButton->isEnabled());

    server.on("POST", SessionsPath).reply(ScriptedReply::json(403, R"({"message":"会员已过期，请续费"})"));
    window->startButton->click();
    QTRY_COMPARE(window->statusLabel->text(), QStringLiteral("会员已过期，请续费"));
    QVERIFY(window->tunnelPrivateKey.isEmpty());
    QVERIFY(window->tunnelPublicKey.isEmpty());
    QVERIFY(window->startButton->isEnabled());
    QVERIFY(!window->stopButton->isEnabled());
    QVERIFY(!window->launchButton->isEnabled());
    QCOMPARE(framesOf(service, ServiceCommand::Start).size(), 1);

    // The next start makes a new pair and sends its public key.
    server.on("POST", SessionsPath).reply(ScriptedReply::json(403, R"({"message":"会员已过期，请续费"})"));
    window->startButton->click();
    QTRY_COMPARE(requestsTo(server, "POST", SessionsPath).size(), 3);
    QTRY_VERIFY(window->startButton->isEnabled());
    const QList<PrintedKeys> keys = printedKeys();
    QCOMPARE(keys.size(), 3);
    const QList<RecordedRequest> creates = requestsTo(server, "POST", SessionsPath);
    for (int run = 0; run < 3; ++run)
        QCOMPARE(jsonOf(creates.at(run).body).value(QLatin1String("client_public_key")).toString(),
                 keys.at(run).publicKey);
    QVERIFY(keys.at(2).publicKey != keys.at(1).publicKey);
}

void TstMainWindowAcceleration::refusedSessionAfterAGameChange()
{
    TestServer server;
    scriptBackend(server);
    FakeService service;
    auto window = windowFor(server);
    QVERIFY(signIn(*window));
    QVERIFY(accelerate(*window));

    // Another game with a region: start comes back while stop stays enabled.
    window->gameList->setCurrentRow(1);
    QVERIFY(!window->launchButton->isEnabled());
    QTRY_COMPARE(window->statusLabel->text(), ReadyText);
    QVERIFY(window->startButton->isEnabled());
    QVERIFY(window->stopButton->isEnabled());
    QCOMPARE(window->activeSessionId, QStringLiteral("s1"));

    server.on("POST", SessionsPath).reply(ScriptedReply::json(409, R"({"message":"已有加速会话"})"));
    window->startButton->click();
    QTRY_COMPARE(window->statusLabel->text(), QStringLiteral("已有加速会话"));
    QVERIFY(!window->stopButton->isEnabled());
    QVERIFY(window->startButton->isEnabled());
    QVERIFY(requestsTo(server, "POST", SessionsPath).constLast().body.contains("\"game_id\":\"g2\""));

    // A refusal that arrives once the game has no region leaves start disabled.
    server.on("POST", SessionsPath)
        .reply(ScriptedReply::json(409, R"({"message":"会话数已达上限"})").delayed(400));
    const int creates = int(requestsTo(server, "POST", SessionsPath).size());
    window->startButton->click();
    QTRY_COMPARE(requestsTo(server, "POST", SessionsPath).size(), creates + 1);
    window->gameList->setCurrentRow(2);
    QTRY_COMPARE(window->statusLabel->text(), QStringLiteral("会话数已达上限"));
    QVERIFY(!window->startButton->isEnabled());
    QVERIFY(!window->stopButton->isEnabled());
}

// ----- stop -----

void TstMainWindowAcceleration::stopDeletesTheSessionBeforeTheTunnel()
{
    TestServer server;
    scriptBackend(server);
    server.on("DELETE", deletePath("s1")).always(ScriptedReply(204).delayed(250));
    FakeService service;
    auto window = windowFor(server);
    qint64 deleteArrivedAt = -1;
    int serviceStopsAtDelete = -1;
    QObject::connect(&server, &TestServer::requestReceived, &server, [&](const RecordedRequest &request) {
        if (request.method == "DELETE") {
            deleteArrivedAt = QDateTime::currentMSecsSinceEpoch();
            serviceStopsAtDelete = int(framesOf(service, ServiceCommand::Stop).size());
        }
    });
    QVERIFY(signIn(*window));
    QVERIFY(accelerate(*window));
    QVERIFY(window->stopButton->isEnabled());

    window->stopButton->click();
    QVERIFY(!window->stopButton->isEnabled());
    QCOMPARE(window->statusLabel->text(), QStringLiteral("正在停止加速…"));
    QTRY_VERIFY(deleteArrivedAt > 0);
    QCOMPARE(serviceStopsAtDelete, 0);
    QCOMPARE(window->activeSessionId, QStringLiteral("s1"));

    QTRY_COMPARE(window->statusLabel->text(), IdleText);
    const QList<ServiceRequestRecord> stops = framesOf(service, ServiceCommand::Stop);
    QCOMPARE(stops.size(), 1);
    // The request id is the client's clock when it sent the frame: after the backend's answer.
    QVERIFY2(qint64(stops.first().requestId) >= deleteArrivedAt + 200,
             qPrintable(QStringLiteral("stop sent %1 ms after the DELETE arrived")
                            .arg(qint64(stops.first().requestId) - deleteArrivedAt)));
    QCOMPARE(stops.first().payloadLength, 0u);
    QCOMPARE(commandsOf(service), (QList<quint16>{StartCode, StopCode}));
    QVERIFY(window->activeSessionId.isEmpty());
    QVERIFY(window->tunnelPrivateKey.isEmpty());
    QVERIFY(window->tunnelPublicKey.isEmpty());
    QVERIFY(window->startButton->isEnabled());
    QVERIFY(!window->stopButton->isEnabled());
    QVERIFY(window->launchButton->isEnabled()); // a stop leaves launch as it was
    QCOMPARE(countRequests(server, "DELETE", deletePath("s1")), 1);
}

void TstMainWindowAcceleration::stopWithoutSessionStopsTheTunnelDirectly()
{
    TestServer server;
    scriptBackend(server);
    FakeService service;
    service.setAccelerating(true); // a tunnel from an earlier run of the client
    auto window = windowFor(server);
    QVERIFY(signIn(*window));
    window->findChild<QPushButton *>(QStringLiteral("checkServiceButton"))->click();
    QVERIFY(window->stopButton->isEnabled());

    window->stopButton->click();
    QCOMPARE(commandsOf(service), (QList<quint16>{StatusCode, StopCode}));
    QCOMPARE(window->statusLabel->text(), IdleText);
    QVERIFY(!window->stopButton->isEnabled());
    QVERIFY(window->startButton->isEnabled());
    QTest::qWait(200);
    QCOMPARE(countRequests(server, "DELETE", deletePath("s1")), 0);
    for (const RecordedRequest &request : server.requests())
        QVERIFY(request.method != "DELETE");
}

void TstMainWindowAcceleration::refusedStopKeepsTheTunnel()
{
    TestServer server;
    scriptBackend(server);
    server.on("DELETE", deletePath("s1"))
        .reply(ScriptedReply::json(500, R"({"message":"停止失败：服务器繁忙"})"));
    FakeService service;
    auto window = windowFor(server);
    QVERIFY(signIn(*window));
    QVERIFY(accelerate(*window));

    window->stopButton->click();
    QTRY_COMPARE(window->statusLabel->text(), QStringLiteral("停止失败：服务器繁忙"));
    QCOMPARE(window->activeSessionId, QStringLiteral("s1"));
    QVERIFY(!window->tunnelPrivateKey.isEmpty());
    QVERIFY(!window->stopButton->isEnabled());
    QVERIFY(window->startButton->isEnabled());
    QVERIFY(window->launchButton->isEnabled());
    QCOMPARE(commandsOf(service), QList<quint16>{StartCode});

    // The service still reports the tunnel; stopping again retries the backend first.
    window->findChild<QPushButton *>(QStringLiteral("checkServiceButton"))->click();
    QVERIFY(window->stopButton->isEnabled());
    window->stopButton->click();
    QTRY_COMPARE(window->statusLabel->text(), IdleText);
    QCOMPARE(countRequests(server, "DELETE", deletePath("s1")), 2);
    QCOMPARE(commandsOf(service), (QList<quint16>{StartCode, StatusCode, StopCode}));
}

void TstMainWindowAcceleration::signOutStopsWithTheToken_data()
{
    QTest::addColumn<bool>("confirmed");
    QTest::newRow("backend confirms") << true;
    QTest::newRow("backend refuses") << false;
}

void TstMainWindowAcceleration::signOutStopsWithTheToken()
{
    QFETCH(bool, confirmed);

    TestServer server;
    scriptBackend(server);
    server.on("DELETE", deletePath("s1"))
        .always(confirmed ? ScriptedReply(204).delayed(200)
                          : ScriptedReply::json(500, R"({"message":"会话仍在结算"})").delayed(200));
    FakeService service;
    auto window = windowFor(server);
    QVERIFY(signIn(*window));
    QVERIFY(accelerate(*window));
    const QString acceleratingText = window->statusLabel->text();

    window->logoutButton->click();
    QCOMPARE(window->accountLabel->text(), QStringLiteral("尚未登录"));
    QTRY_COMPARE(countRequests(server, "DELETE", deletePath("s1")), 1);
    QCOMPARE(requestsTo(server, "DELETE", deletePath("s1")).first().header("Authorization"),
             QByteArray("Bearer token-A"));
    QCOMPARE(commandsOf(service), QList<quint16>{StartCode}); // no direct stop while a session is held

    if (confirmed) {
        QTRY_COMPARE(window->statusLabel->text(), IdleText);
        QCOMPARE(commandsOf(service), (QList<quint16>{StartCode, StopCode}));
        QVERIFY(window->activeSessionId.isEmpty());
        QVERIFY(!window->startButton->isEnabled()); // signed out
        QVERIFY(!window->stopButton->isEnabled());
        QCOMPARE(window->accountLabel->text(), QStringLiteral("尚未登录"));
    } else {
        QTRY_COMPARE(window->accountLabel->text(), QStringLiteral("会话仍在结算"));
        QCOMPARE(window->statusLabel->text(), acceleratingText);
        QCOMPARE(window->activeSessionId, QStringLiteral("s1"));
        QCOMPARE(commandsOf(service), QList<quint16>{StartCode});
        QVERIFY(!window->startButton->isEnabled());
    }
    QVERIFY(!window->launchButton->isEnabled());
}

void TstMainWindowAcceleration::signOutWithoutSessionStopsTheService()
{
    TestServer server;
    scriptBackend(server);
    FakeService service;
    auto window = windowFor(server);
    QVERIFY(signIn(*window));

    window->logoutButton->click();
    QCOMPARE(commandsOf(service), QList<quint16>{StopCode});
    QCOMPARE(window->statusLabel->text(), IdleText);
    QVERIFY(!window->startButton->isEnabled());
    QTest::qWait(200);
    for (const RecordedRequest &request : server.requests())
        QVERIFY(request.method != "DELETE");
}

// ----- orphaned sessions -----

void TstMainWindowAcceleration::idleReportOrphansAndTheNextStartReplaces()
{
    TestServer server;
    scriptBackend(server);
    FakeService service;
    auto window = windowFor(server);
    auto *check = window->findChild<QPushButton *>(QStringLiteral("checkServiceButton"));
    QVERIFY(signIn(*window));
    QVERIFY(accelerate(*window));

    service.setAccelerating(false); // the tunnel went away behind the client's back
    check->click();
    QCOMPARE(window->statusLabel->text(), IdleText);
    QCOMPARE(window->activeSessionId, QStringLiteral("s1"));
    QVERIFY(window->startButton->isEnabled());
    QVERIFY(!window->stopButton->isEnabled());

    // The service reports it again: back to accelerating.
    service.setAccelerating(true);
    check->click();
    QCOMPARE(window->statusLabel->text(), QStringLiteral("正在加速"));
    QVERIFY(!window->startButton->isEnabled());
    QVERIFY(window->stopButton->isEnabled());

    service.setAccelerating(false);
    check->click();
    QVERIFY(window->startButton->isEnabled());
    server.on("POST", SessionsPath).reply(ScriptedReply::json(201, sessionWithId("s2")));
    QVERIFY(accelerate(*window));
    QCOMPARE(window->activeSessionId, QStringLiteral("s2"));
    const QList<ServiceRequestRecord> starts = framesOf(service, ServiceCommand::Start);
    QCOMPARE(starts.size(), 2);
    QCOMPARE(jsonOf(starts.last().payload).value(QLatin1String("session_id")).toString(),
             QStringLiteral("s2"));
    QCOMPARE(countRequests(server, "DELETE", deletePath("s1")), 0); // the earlier session is not deleted

    window->stopButton->click();
    QTRY_COMPARE(window->statusLabel->text(), IdleText);
    QCOMPARE(countRequests(server, "DELETE", deletePath("s2")), 1);
    QCOMPARE(countRequests(server, "DELETE", deletePath("s1")), 0);
}

void TstMainWindowAcceleration::idleReportWithoutRegionAllowsAFailingStart()
{
    TestServer server;
    scriptBackend(server);
    server.on("GET", "/api/v1/games/g1/regions").always(ScriptedReply::json(200, R"({"items":[]})"));
    FakeService service;
    auto window = windowFor(server);
    QVERIFY(signIn(*window, QStringLiteral("当前游戏暂无可用区服")));
    QVERIFY(!window->startButton->isEnabled());

    window->findChild<QPushButton *>(QStringLiteral("checkServiceButton"))->click();
    QVERIFY(window->startButton->isEnabled());
    window->startButton->click();
    QTRY_COMPARE(window->statusLabel->text(), QStringLiteral("读取加速节点失败"));
    QCOMPARE(server.lastRequest().target, QByteArray("/api/v1/games/g1/regions//nodes"));
    QVERIFY(!window->startButton->isEnabled());
}

void TstMainWindowAcceleration::sessionGrantedAfterSignOutIsStarted()
{
    TestServer server;
    scriptBackend(server);
    server.on("POST", SessionsPath).reply(ScriptedReply::json(201, SplitSession).delayed(400));
    FakeService service;
    auto window = windowFor(server);
    QVERIFY(signIn(*window));

    window->startButton->click();
    QTRY_COMPARE(requestsTo(server, "POST", SessionsPath).size(), 1);
    window->logoutButton->click(); // no session held yet: the service is told to stop directly
    QCOMPARE(commandsOf(service), QList<quint16>{StopCode});

    QTRY_COMPARE(window->statusLabel->text(), SplitText);
    QCOMPARE(window->activeSessionId, QStringLiteral("s1"));
    QCOMPARE(commandsOf(service), (QList<quint16>{StopCode, StartCode}));
    QCOMPARE(jsonOf(framesOf(service, ServiceCommand::Start).first().payload)
                 .value(QLatin1String("private_key"))
                 .toString(),
             printedKeys().first().privateKey);
    QVERIFY(window->launchButton->isEnabled());

    // Signing in and out again before any game list arrives takes the launch away.
    server.on("GET", "/api/v1/games").always(ScriptedReply::json(200, GamesBody).delayed(1000));
    window->accountEdit->setText(QStringLiteral("player@example.com"));
    window->passwordEdit->setText(QStringLiteral("secret"));
    window->loginButton->click();
    QTRY_COMPARE(window->accountLabel->text(), QStringLiteral("账号：player@example.com"));
    QCOMPARE(window->gameList->count(), 0);
    window->logoutButton->click();
    QVERIFY(!window->launchButton->isEnabled());
}

ZUMVARI_TEST_MAIN(TstMainWindowAcceleration)
#include "tst_mainwindow_acceleration.moc"
