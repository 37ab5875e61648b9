// Starting and stopping an acceleration through the window: the start button, the service check and
// the stop and sign-out routes, against the rig's scripted backend, a local service on the real channel
// and the real key-pair program behind a wrapper that keeps what it printed.
#include "clienttest.h"
#include "windowrig.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

#include <memory>

using namespace Rig;

namespace {

const QString SplitText = QStringLiteral("正在加速 · 智能分流 Beta（仅游戏流量）");
const QString GlobalText = QStringLiteral("正在加速 · 全局模式（全部 IPv4 流量经香港）");
const QString GameRulesText = QStringLiteral("正在加速 · 游戏分流模式");
const QString AcceleratingText = QStringLiteral("正在加速");
const QString IdleText = QStringLiteral("当前未加速");
const QString RollbackText = QStringLiteral("本地隧道启动失败，正在撤销会话…");
const QByteArray Bearer = "Bearer access-1";
// The rig's standing session, for tests that answer it late.
const QByteArray SplitSession =
    R"({"session_id":"s-1","game_processes":["cs2.exe"],"rules_environment":"process","egress_ip":"203.0.113.7"})";

constexpr quint16 StatusCode = quint16(ServiceCommand::Status);
constexpr quint16 StartCode = quint16(ServiceCommand::Start);
constexpr quint16 StopCode = quint16(ServiceCommand::Stop);

QByteArray deletePath(const QByteArray &sessionId)
{
    return SessionsPath + '/' + sessionId;
}

QJsonObject jsonOf(const QByteArray &bytes)
{
    return QJsonDocument::fromJson(bytes).object();
}

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

// The real key-pair program behind a wrapper that logs each pair it printed.
bool installRecordingPairgen()
{
    QFile::remove(besideTest("pairgen-runs.log"));
    return writeProgram(besideTest("pairgen.exe"), "#!/bin/sh\n"
                                                   "here=$(dirname \"$0\")\n"
                                                   "out=$(\"$here/pairgen-real.exe\" \"$@\") || exit $?\n"
                                                   "printf '%s\\n' \"$out\" >> \"$here/pairgen-runs.log\"\n"
                                                   "printf '%s' \"$out\"\n");
}

struct Keys
{
    QString privateKey, publicKey;
};

QList<Keys> printedKeys()
{
    QList<Keys> runs;
    QFile log(besideTest("pairgen-runs.log"));
    if (log.open(QIODevice::ReadOnly))
        for (const QByteArray &line : log.readAll().split('\n')) {
            const QJsonObject keys = jsonOf(line);
            if (!keys.isEmpty())
                runs.append({keys.value("private_key").toString(), keys.value("public_key").toString()});
        }
    return runs;
}

} // namespace

class TstMainWindowAcceleration : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup() { rig.reset(); }

    void checkServiceShowsTheReply_data();
    void checkServiceShowsTheReply();
    void idleReportOffersStartBySignInAndGame();
    void keyPairFailureStopsTheStart_data();
    void keyPairFailureStopsTheStart();
    void startPayloadCarriesTheWholeSession_data();
    void startPayloadCarriesTheWholeSession();
    void failedTunnelStartRollsBack_data();
    void failedTunnelStartRollsBack();
    void stopDeletesTheSessionBeforeTheTunnel();
    void signOutStopsWithTheToken_data();
    void signOutStopsWithTheToken();
    void gameChangeThenRefusedSession();
    void orphanedSessionIsReplacedByTheNextStart();
    void sessionGrantedAfterSignOutIsStarted();

private:
    MainWindow &w() { return *rig->window; }
    void checkService() { w().findChild<QPushButton *>(QStringLiteral("checkServiceButton"))->click(); }
    bool ready() { return rig->signIn() && rig->regionMatched(); }
    QList<quint16> commands() const;
    ServiceRequestRecord lastFrame() const { return rig->service->requests().constLast(); }
    int deletes(const QByteArray &sessionId = {}) const; // empty: every DELETE

    std::unique_ptr<WindowRig> rig;
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
    rig = std::make_unique<WindowRig>();
    QVERIFY(rig->open());
}

int TstMainWindowAcceleration::deletes(const QByteArray &sessionId) const
{
    int count = 0;
    for (const RecordedRequest &request : rig->server.requests())
        count +=
            request.method == "DELETE" && (sessionId.isEmpty() || request.path() == deletePath(sessionId));
    return count;
}

QList<quint16> TstMainWindowAcceleration::commands() const
{
    QList<quint16> sent;
    if (rig->service)
        for (const ServiceRequestRecord &frame : rig->service->requests())
            sent.append(frame.command);
    return sent;
}

void TstMainWindowAcceleration::checkServiceShowsTheReply_data()
{
    QTest::addColumn<bool>("primeAccelerating"); // a first check reports "accelerating": stop enabled
    QTest::addColumn<int>("status");             // -1: no service running
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("expectedLabel"); // empty: the reply text as it is

    const QString notRunning = QStringLiteral("后台加速服务未运行");
    const QByteArray accelerating = R"({"state":"accelerating"})";
    QTest::newRow("not running, start enabled") << false << -1 << QByteArray() << notRunning;
    QTest::newRow("not running, stop enabled") << true << -1 << QByteArray() << notRunning;
    QTest::newRow("refused") << false << 7 << accelerating << QStringLiteral("服务拒绝了请求");
    QTest::newRow("accelerating") << false << 0 << accelerating << AcceleratingText;
    QTest::newRow("idle") << true << 0 << QByteArray(R"({"state":"idle"})") << IdleText;
    QTest::newRow("both words: accelerating wins")
        << false << 0 << QByteArray(R"({"state":"idle","previous":"accelerating"})") << AcceleratingText;
    QTest::newRow("other text") << true << 0 << QByteArray("服务正常 · 版本 1.2") << QString();
    QTest::newRow("word in other case")
        << false << 0 << QByteArray(R"({"state":"Accelerating"})") << QString();
    QTest::newRow("word without quotes") << true << 0 << QByteArray("state: idle") << QString();
}

void TstMainWindowAcceleration::checkServiceShowsTheReply()
{
    QFETCH(bool, primeAccelerating);
    QFETCH(int, status);
    QFETCH(QByteArray, text);
    QFETCH(QString, expectedLabel);

    QVERIFY(ready());
    QVERIFY(rig->startService());
    if (primeAccelerating) {
        rig->service->queue(FakeReply::state("accelerating"));
        checkService();
    }
    QCOMPARE(w().startButton->isEnabled(), !primeAccelerating);
    QCOMPARE(w().stopButton->isEnabled(), primeAccelerating);
    if (status < 0)
        rig->service.reset();
    else
        rig->service->queue(FakeReply::answer(quint32(status), text));

    checkService();
    QCOMPARE(w().statusLabel->text(), expectedLabel.isEmpty() ? QString::fromUtf8(text) : expectedLabel);
    // Failures and texts without a state word leave the buttons as they were.
    const bool start = expectedLabel == IdleText || (expectedLabel != AcceleratingText && !primeAccelerating);
    QCOMPARE(w().startButton->isEnabled(), start);
    QCOMPARE(w().stopButton->isEnabled(), !start);
    if (status >= 0) {
        QCOMPARE(lastFrame().command, StatusCode);
        QCOMPARE(lastFrame().payloadLength, 0u);
    }
}

// An idle report offers start when signed in with a game current, whether or not a region matched.
void TstMainWindowAcceleration::idleReportOffersStartBySignInAndGame()
{
    QVERIFY(rig->startService());
    // Signed in, the game list empty (the profile comes last, so the list has been handled).
    rig->server.on("GET", "/api/v1/games").reply(items({}));
    rig->server.on("GET", "/api/v1/me").reply(json(200, {{"account", "alice@example.com"}}).delayed(300));
    QVERIFY(rig->signIn());
    QCOMPARE(w().gameList->count(), 0);
    checkService();
    QVERIFY(!w().startButton->isEnabled());

    // A game without a region: start comes back and asks for the nodes of no region, which fails.
    w().logoutButton->click();
    rig->server.on("GET", regionsPath("g-1")).reply(items({}));
    QVERIFY(rig->signIn());
    QTRY_COMPARE(w().statusLabel->text(), QStringLiteral("当前游戏暂无可用区服"));
    QVERIFY(!w().startButton->isEnabled());
    checkService();
    QVERIFY(w().startButton->isEnabled());
    w().startButton->click();
    QTRY_COMPARE(w().statusLabel->text(), QStringLiteral("读取加速节点失败"));
    QCOMPARE(rig->server.lastRequest().target, QByteArray("/api/v1/games/g-1/regions//nodes"));
    QVERIFY(!w().startButton->isEnabled());

    // Signed out, with a game list that arrived after the sign-out.
    w().logoutButton->click();
    rig->server.on("GET", "/api/v1/games")
        .reply(items({QJsonObject{{"id", "g-1"}, {"name", "反恐精英2"}, {"slug", "cs2"}}}, 300));
    QVERIFY(rig->signIn());
    QCOMPARE(w().gameList->count(), 0);
    w().logoutButton->click();
    QTRY_COMPARE(w().gameList->count(), 1);
    QVERIFY(w().gameList->currentItem());
    checkService();
    QVERIFY(!w().startButton->isEnabled());
}

void TstMainWindowAcceleration::keyPairFailureStopsTheStart_data()
{
    QTest::addColumn<QByteArray>("program"); // empty: no program beside the client
    QTest::addColumn<QString>("expected");
    QTest::newRow("program missing") << QByteArray() << QStringLiteral("无法生成隧道密钥，请重新安装客户端");
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
    QVERIFY(rig->startService());
    QVERIFY(ready());
    const int requestsBefore = rig->server.requestCount();

    w().startButton->click();
    QCOMPARE(w().statusLabel->text(), expected);
    QVERIFY(w().startButton->isEnabled());
    QVERIFY(!w().stopButton->isEnabled());
    QTest::qWait(200); // a request, had one been sent, would have arrived by now
    QCOMPARE(rig->server.requestCount(), requestsBefore);
    QCOMPARE(rig->service->requestCount(), 0);

    // Once the program is back, the same button starts normally.
    QVERIFY(installRecordingPairgen());
    QVERIFY(rig->accelerate());
}

void TstMainWindowAcceleration::startPayloadCarriesTheWholeSession_data()
{
    QTest::addColumn<QByteArray>("session");
    QTest::addColumn<QString>("routeMode"); // expected "route_mode" in the payload; empty: absent
    QTest::addColumn<QString>("expectedText");
    QTest::addColumn<QString>("expectedAddress");
    QTest::addColumn<QByteArray>("serviceReply"); // empty: the service reports "accelerating"

    QTest::newRow("game processes override the backend's route and key")
        << QByteArray(
               R"({"session_id":"s-1","game_processes":["cs2.exe","steam.exe"],)"
               R"("rules_environment":"global-fallback","egress_ip":"203.0.113.7","route_mode":"full",)"
               R"("private_key":"from-the-backend","relay":{"endpoint":"198.51.100.2:51820",)"
               R"("allowed_ips":["0.0.0.0/0","::/0"],"mtu":1420,"keepalive":null},)"
               R"("ttl_seconds":3600,"beta":true,"ratio":0.25,"note":"香港 · 一号线"})")
        << QStringLiteral("process-beta") << SplitText << QStringLiteral("203.0.113.7") << QByteArray();
    QTest::newRow("empty processes, global fallback")
        << QByteArray(R"({"session_id":"s-1","game_processes":[],"rules_environment":"global-fallback",)"
                      R"("egress_ip":"203.0.113.8"})")
        << QString() << GlobalText << QStringLiteral("203.0.113.8") << QByteArray();
    QTest::newRow("backend's own split mode kept, no address")
        << QByteArray(R"({"session_id":"s-1","rules_environment":"per-game","route_mode":"process-beta",)"
                      R"("egress_ip":""})")
        << QStringLiteral("process-beta") << SplitText << QStringLiteral("分配中") << QByteArray();
    // A reply without a state word shows until the handler's own text replaces it; stop stays disabled.
    QTest::newRow("other route kept, reply without state")
        << QByteArray(R"({"session_id":"s-1","game_processes":[],"rules_environment":"per-game",)"
                      R"("route_mode":"full"})")
        << QStringLiteral("full") << GameRulesText << QStringLiteral("分配中")
        << QByteArray(R"({"tunnel":"up"})");
    QTest::newRow("fallback in other case")
        << QByteArray(
               R"({"session_id":"s-1","rules_environment":"Global-Fallback","egress_ip":"203.0.113.10"})")
        << QString() << GameRulesText << QStringLiteral("203.0.113.10") << QByteArray();
}

void TstMainWindowAcceleration::startPayloadCarriesTheWholeSession()
{
    QFETCH(QByteArray, session);
    QFETCH(QString, routeMode);
    QFETCH(QString, expectedText);
    QFETCH(QString, expectedAddress);
    QFETCH(QByteArray, serviceReply);

    rig->server.on("POST", SessionsPath).always(ScriptedReply::json(201, session).delayed(300));
    QVERIFY(rig->startService());
    if (!serviceReply.isEmpty())
        rig->service->queue(FakeReply::answer(0, serviceReply));
    QVERIFY(ready());

    // Key pair, node, session, tunnel: the service hears of the session only once it exists.
    w().startButton->click();
    QVERIFY(!w().startButton->isEnabled());
    QCOMPARE(w().statusLabel->text(), QStringLiteral("正在选择最优线路…"));
    QTRY_COMPARE(w().statusLabel->text(), QStringLiteral("正在申请加速会话…"));
    QCOMPARE(w().routeCard->text(), QStringLiteral("当前节点：Test · HK"));
    QVERIFY(!w().launchButton->isEnabled());
    QCOMPARE(rig->service->requestCount(), 0);
    QTRY_VERIFY(w().launchButton->isEnabled()); // enabled by the session-created handler only

    QCOMPARE(w().statusLabel->text(), expectedText);
    QCOMPARE(w().routeCard->text(),
             QStringLiteral("当前节点：Hong Kong Test Node · 加速 IP：%1").arg(expectedAddress));
    QCOMPARE(w().activeSessionId, QStringLiteral("s-1"));
    QCOMPARE(w().stopButton->isEnabled(), serviceReply.isEmpty());
    QVERIFY(!w().startButton->isEnabled());

    const QList<Keys> keys = printedKeys();
    QCOMPARE(keys.size(), 1);
    QCOMPARE(rig->lastSessionRequest().value("client_public_key").toString(), keys.first().publicKey);
    QCOMPARE(commands(), QList<quint16>{StartCode});
    QJsonObject expected = jsonOf(session);
    expected.insert("private_key", keys.first().privateKey);
    if (!routeMode.isEmpty())
        expected.insert("route_mode", routeMode);
    const QByteArray payload = lastFrame().payload;
    QCOMPARE(jsonOf(payload), expected); // so the public key is not in it
    // Compact UTF-8: no layout white space, nothing escaped.
    QCOMPARE(payload, QJsonDocument(expected).toJson(QJsonDocument::Compact));
    QCOMPARE(lastFrame().payloadLength, quint32(payload.size()));
    QCOMPARE(deletes(), 0);

    // The private key never reaches the backend, in any part of any request.
    for (const RecordedRequest &request : rig->server.requests()) {
        QByteArray wire = request.target + '\n' + request.body;
        for (const auto &header : request.headers)
            wire += '\n' + header.first + ": " + header.second;
        QVERIFY(!wire.contains(keys.first().privateKey.toUtf8()) &&
                !wire.contains(QUrl::toPercentEncoding(keys.first().privateKey)));
    }
}

void TstMainWindowAcceleration::failedTunnelStartRollsBack_data()
{
    QTest::addColumn<bool>("serviceRefuses"); // false: no service running
    QTest::addColumn<bool>("deleteRefused");
    QTest::newRow("service not running") << false << false;
    QTest::newRow("service refuses") << true << false;
    QTest::newRow("rollback refused: orphaned") << false << true;
}

void TstMainWindowAcceleration::failedTunnelStartRollsBack()
{
    QFETCH(bool, serviceRefuses);
    QFETCH(bool, deleteRefused);

    const QString refusal = QStringLiteral("会话撤销失败，请稍后重试");
    rig->server.on("DELETE", deletePath("s-1"))
        .always((deleteRefused ? failure(502, refusal) : ScriptedReply(204)).delayed(300));
    if (serviceRefuses) {
        QVERIFY(rig->startService());
        rig->service->queue(FakeReply::answer(3, R"({"error":"tunnel driver missing"})"));
    }
    QVERIFY(ready());

    w().startButton->click();
    QTRY_COMPARE(deletes("s-1"), 1);
    QCOMPARE(w().statusLabel->text(), RollbackText);
    QCOMPARE(w().activeSessionId, QStringLiteral("s-1"));
    QCOMPARE(commands(), serviceRefuses ? QList<quint16>{StartCode} : QList<quint16>());
    QCOMPARE(rig->requestsTo("DELETE", deletePath("s-1")).first().header("Authorization"), Bearer);
    QVERIFY(!w().startButton->isEnabled());
    QVERIFY(!w().stopButton->isEnabled());
    QVERIFY(!w().launchButton->isEnabled());

    if (deleteRefused) {
        QTRY_COMPARE(w().statusLabel->text(), refusal);
        QCOMPARE(w().activeSessionId, QStringLiteral("s-1"));
        QVERIFY(!w().tunnelPrivateKey.isEmpty());
        QTest::qWait(300); // no automatic retry
    } else {
        QTRY_COMPARE(w().statusLabel->text(), IdleText);
        QVERIFY(w().activeSessionId.isEmpty());
        QVERIFY(w().tunnelPrivateKey.isEmpty() && w().tunnelPublicKey.isEmpty());
        QCOMPARE(commands(), serviceRefuses ? (QList<quint16>{StartCode, StopCode}) : QList<quint16>());
    }
    QVERIFY(w().startButton->isEnabled());
    QVERIFY(!w().stopButton->isEnabled());
    QVERIFY(!w().launchButton->isEnabled());
    QCOMPARE(deletes("s-1"), 1);
}

// The backend session goes first and only its confirmation reaches the service. A refused delete keeps
// the tunnel; the next stop tries the backend again.
void TstMainWindowAcceleration::stopDeletesTheSessionBeforeTheTunnel()
{
    const QString refusal = QStringLiteral("停止失败：服务器繁忙");
    rig->server.on("DELETE", deletePath("s-1"))
        .reply(failure(500, refusal))
        .always(ScriptedReply(204).delayed(250));
    QVERIFY(rig->startService());
    qint64 deleteArrivedAt = -1;
    int serviceStopsAtDelete = -1;
    QObject::connect(&rig->server, &TestServer::requestReceived, &rig->server, [&](const RecordedRequest &r) {
        if (r.method == "DELETE") {
            deleteArrivedAt = QDateTime::currentMSecsSinceEpoch();
            serviceStopsAtDelete = int(commands().count(StopCode));
        }
    });
    QVERIFY(ready());
    QVERIFY(rig->accelerate());

    w().stopButton->click();
    QVERIFY(!w().stopButton->isEnabled()); // a second press is not possible
    QCOMPARE(w().statusLabel->text(), QStringLiteral("正在停止加速…"));
    QTRY_COMPARE(w().statusLabel->text(), refusal);
    QCOMPARE(w().activeSessionId, QStringLiteral("s-1"));
    QVERIFY(!w().tunnelPrivateKey.isEmpty());
    QVERIFY(!w().stopButton->isEnabled());
    QVERIFY(w().startButton->isEnabled());
    QCOMPARE(commands(), QList<quint16>{StartCode});

    checkService(); // the service still reports the tunnel
    QVERIFY(w().stopButton->isEnabled());
    w().stopButton->click();
    QTRY_COMPARE(deletes("s-1"), 2);
    QCOMPARE(serviceStopsAtDelete, 0);
    QCOMPARE(w().activeSessionId, QStringLiteral("s-1"));

    QTRY_COMPARE(w().statusLabel->text(), IdleText);
    QCOMPARE(commands(), (QList<quint16>{StartCode, StatusCode, StopCode}));
    // The request id is the client's clock when it sent the frame: after the backend's answer.
    QVERIFY2(qint64(lastFrame().requestId) >= deleteArrivedAt + 200,
             qPrintable(QStringLiteral("stop sent %1 ms after the DELETE arrived")
                            .arg(qint64(lastFrame().requestId) - deleteArrivedAt)));
    QCOMPARE(lastFrame().payloadLength, 0u);
    QVERIFY(w().activeSessionId.isEmpty());
    QVERIFY(w().tunnelPrivateKey.isEmpty() && w().tunnelPublicKey.isEmpty());
    QVERIFY(w().startButton->isEnabled());
    QVERIFY(!w().stopButton->isEnabled());
    QVERIFY(w().launchButton->isEnabled()); // a stop leaves launch as it was
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

    const QString refusal = QStringLiteral("会话仍在结算");
    rig->server.on("DELETE", deletePath("s-1"))
        .always((confirmed ? ScriptedReply(204) : failure(500, refusal)).delayed(200));
    QVERIFY(rig->startService());
    QVERIFY(ready());
    QVERIFY(rig->accelerate());
    const QString acceleratingText = w().statusLabel->text();

    w().logoutButton->click();
    QCOMPARE(w().accountLabel->text(), QStringLiteral("尚未登录"));
    QVERIFY(!w().launchButton->isEnabled());
    QTRY_COMPARE(deletes("s-1"), 1);
    QCOMPARE(rig->requestsTo("DELETE", deletePath("s-1")).first().header("Authorization"), Bearer);
    QCOMPARE(commands(), QList<quint16>{StartCode}); // no direct stop while a session is held

    if (confirmed) {
        QTRY_COMPARE(w().statusLabel->text(), IdleText);
        QCOMPARE(commands(), (QList<quint16>{StartCode, StopCode}));
        QVERIFY(w().activeSessionId.isEmpty());
        QVERIFY(!w().startButton->isEnabled()); // signed out
        QVERIFY(!w().stopButton->isEnabled());
    } else {
        QTRY_COMPARE(w().accountLabel->text(), refusal);
        QCOMPARE(w().statusLabel->text(), acceleratingText);
        QCOMPARE(w().activeSessionId, QStringLiteral("s-1"));
        QCOMPARE(commands(), QList<quint16>{StartCode});
        QVERIFY(!w().startButton->isEnabled());
    }
}

void TstMainWindowAcceleration::gameChangeThenRefusedSession()
{
    QVERIFY(rig->startService());
    QVERIFY(ready());
    QVERIFY(rig->accelerate());

    // Another game with a region: start comes back, stop stays, launch does not come back.
    w().gameList->setCurrentRow(1);
    QVERIFY(!w().launchButton->isEnabled());
    QVERIFY(rig->regionMatched(SecondRoute));
    QVERIFY(w().stopButton->isEnabled());
    QVERIFY(!w().launchButton->isEnabled());
    QCOMPARE(w().activeSessionId, QStringLiteral("s-1"));

    rig->server.on("POST", SessionsPath).reply(failure(409, QStringLiteral("已有加速会话")));
    w().startButton->click();
    QTRY_COMPARE(w().statusLabel->text(), QStringLiteral("已有加速会话"));
    QCOMPARE(rig->lastSessionRequest().value("game_id").toString(), QStringLiteral("g-2"));
    QVERIFY(!w().stopButton->isEnabled());
    QVERIFY(w().startButton->isEnabled());
    QVERIFY(w().tunnelPrivateKey.isEmpty() && w().tunnelPublicKey.isEmpty());

    // A refusal that arrives once the current game has no region leaves start disabled.
    rig->server.on("POST", SessionsPath).reply(failure(409, QStringLiteral("会话数已达上限")).delayed(400));
    rig->server.on("GET", regionsPath("g-1")).reply(items({}));
    w().startButton->click();
    QTRY_COMPARE(rig->requestsTo("POST", SessionsPath).size(), 3);
    w().gameList->setCurrentRow(0);
    QTRY_COMPARE(w().statusLabel->text(), QStringLiteral("会话数已达上限"));
    QVERIFY(!w().startButton->isEnabled());
    QVERIFY(!w().stopButton->isEnabled());
    QCOMPARE(commands(), QList<quint16>{StartCode});
}

void TstMainWindowAcceleration::orphanedSessionIsReplacedByTheNextStart()
{
    rig->server.on("DELETE", deletePath("s-2")).always(ScriptedReply(204));
    QVERIFY(rig->startService());
    QVERIFY(ready());
    QVERIFY(rig->accelerate());

    rig->service->setAccelerating(false); // the tunnel went away behind the client's back
    checkService();
    QCOMPARE(w().statusLabel->text(), IdleText);
    QCOMPARE(w().activeSessionId, QStringLiteral("s-1"));
    QVERIFY(w().startButton->isEnabled());
    QVERIFY(!w().stopButton->isEnabled());
    QVERIFY(w().launchButton->isEnabled());

    // The service reports it again: back to accelerating.
    rig->service->setAccelerating(true);
    checkService();
    QCOMPARE(w().statusLabel->text(), AcceleratingText);
    QVERIFY(!w().startButton->isEnabled());
    QVERIFY(w().stopButton->isEnabled());
    rig->service->setAccelerating(false);
    checkService();

    // A refused start clears the new keys and takes launch away.
    rig->server.on("POST", SessionsPath).reply(failure(403, QStringLiteral("会员已过期，请续费")));
    w().startButton->click();
    QTRY_COMPARE(w().statusLabel->text(), QStringLiteral("会员已过期，请续费"));
    QVERIFY(w().tunnelPrivateKey.isEmpty() && w().tunnelPublicKey.isEmpty());
    QVERIFY(w().startButton->isEnabled());
    QVERIFY(!w().stopButton->isEnabled());
    QVERIFY(!w().launchButton->isEnabled());

    // The next start's session replaces the held one, which is not deleted.
    rig->server.on("POST", SessionsPath)
        .reply(ScriptedReply::json(201, R"({"session_id":"s-2","game_processes":["cs2.exe"]})"));
    QVERIFY(rig->accelerate());
    QCOMPARE(w().activeSessionId, QStringLiteral("s-2"));
    QCOMPARE(commands().count(StartCode), 2);
    QCOMPARE(jsonOf(lastFrame().payload).value("session_id").toString(), QStringLiteral("s-2"));

    // Every start made a fresh pair and sent its own public key.
    const QList<Keys> keys = printedKeys();
    const QList<RecordedRequest> creates = rig->requestsTo("POST", SessionsPath);
    QCOMPARE(keys.size(), 3);
    QCOMPARE(creates.size(), 3);
    for (int run = 0; run < 3; ++run)
        QCOMPARE(jsonOf(creates.at(run).body).value("client_public_key").toString(), keys.at(run).publicKey);

    w().stopButton->click();
    QTRY_COMPARE(w().statusLabel->text(), IdleText);
    QCOMPARE(deletes("s-2"), 1);

    // A tunnel the window holds no session for is stopped directly.
    rig->service->setAccelerating(true);
    checkService();
    w().stopButton->click();
    QCOMPARE(commands().mid(commands().size() - 2), (QList<quint16>{StatusCode, StopCode}));
    QCOMPARE(w().statusLabel->text(), IdleText);
    QVERIFY(!w().stopButton->isEnabled());
    QVERIFY(w().startButton->isEnabled());
    QTest::qWait(200);
    QCOMPARE(deletes(), 1); // s-2's only: the earlier session is not deleted
}

void TstMainWindowAcceleration::sessionGrantedAfterSignOutIsStarted()
{
    rig->server.on("POST", SessionsPath).reply(ScriptedReply::json(201, SplitSession).delayed(400));
    QVERIFY(rig->startService());
    QVERIFY(ready());

    w().startButton->click();
    QTRY_COMPARE(rig->requestsTo("POST", SessionsPath).size(), 1);
    w().logoutButton->click(); // no session held yet: the service is told to stop directly
    QCOMPARE(commands(), QList<quint16>{StopCode});
    QCOMPARE(w().statusLabel->text(), IdleText);
    QVERIFY(!w().startButton->isEnabled());

    QTRY_COMPARE(w().statusLabel->text(), SplitText);
    QCOMPARE(w().activeSessionId, QStringLiteral("s-1"));
    QCOMPARE(commands(), (QList<quint16>{StopCode, StartCode}));
    QCOMPARE(jsonOf(lastFrame().payload).value("private_key").toString(), printedKeys().first().privateKey);
    QVERIFY(w().launchButton->isEnabled());
    QCOMPARE(deletes(), 0);

    // Signing in and out again before any game list arrives takes the launch away.
    rig->server.on("GET", "/api/v1/games").reply(items({}, 1000));
    QVERIFY(rig->signIn());
    QCOMPARE(w().gameList->count(), 0);
    w().logoutButton->click();
    QVERIFY(!w().launchButton->isEnabled());
}

ZUMVARI_TEST_MAIN(TstMainWindowAcceleration)
#include "tst_mainwindow_acceleration.moc"
