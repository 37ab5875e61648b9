// Signing in, the membership lines, signing out, and the game → region → node chain, driven through the
// window's widgets against a scripted loopback backend and a local service on the real channel.
#include "apiclient.h"
#include "clienttest.h"
#include "fakeservice.h"
#include "mainwindow.h"
#include "testserver.h"

#include <QFile>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

#include <memory>
#include <optional>

// Stops a test at the first failure inside a helper that checks things itself.
#define STEP(call)                                                                                           \
    do {                                                                                                     \
        call;                                                                                                \
        if (QTest::currentTestFailed())                                                                      \
            return;                                                                                          \
    } while (false)

namespace {

const QColor ActiveGreen(0x45, 0xd4, 0x93);
const QColor InactiveAmber(0xf4, 0xbd, 0x66);

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

ScriptedReply jsonReply(int status, const QJsonObject &body)
{
    return ScriptedReply::json(status, compact(body));
}

ScriptedReply itemsReply(const QJsonArray &items, int delayMs = 0)
{
    return jsonReply(200, QJsonObject{{"items", items}}).delayed(delayMs);
}

ScriptedReply failure(int status, const char *message)
{
    return jsonReply(status, QJsonObject{{"message", QString::fromUtf8(message)}});
}

QJsonObject game(const QJsonValue &id, const QString &name, const QString &slug)
{
    return QJsonObject{{"id", id}, {"name", name}, {"slug", slug}};
}

QJsonObject membership(const QJsonValue &active, const QString &kind, const QString &expiresAt)
{
    return QJsonObject{{"active", active}, {"kind", kind}, {"expires_at", expiresAt}};
}

QJsonObject profile(const QString &account, const QJsonObject &membershipObject)
{
    return QJsonObject{{"account", account}, {"membership", membershipObject}};
}

QString utcIso(const QDateTime &utc)
{
    return utc.toString(Qt::ISODate);
}

// The expiry as the window shows it in the suite's zone (UTC+8, see initTestCase).
QString shownInZone(const QDateTime &utc)
{
    return utc.addSecs(8 * 3600).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QByteArray regionsPath(const QByteArray &gameId)
{
    return "/api/v1/games/" + gameId + "/regions";
}

QByteArray nodesPath(const QByteArray &gameId, const QByteArray &regionId)
{
    return "/api/v1/games/" + gameId + "/regions/" + regionId + "/nodes";
}

const QByteArray SessionsPath = "/api/v1/acceleration/sessions";

QList<RecordedRequest> requestsTo(const TestServer &server, const QByteArray &method, const QByteArray &path)
{
    QList<RecordedRequest> matching;
    for (const RecordedRequest &request : server.requests())
        if (request.method == method && request.path() == path)
            matching.append(request);
    return matching;
}

int commandsSent(const FakeService &service, ServiceCommand command)
{
    int count = 0;
    for (const ServiceRequestRecord &request : service.requests())
        count += request.command == quint16(command);
    return count;
}

// What the window shows at one moment, for the checks made from inside a signal.
struct Shown
{
    QString status, account, route, expiry, membership;
    bool start = false, stop = false, launch = false, login = false;
    bool formVisible = false, cardLinesVisible = false, logoutVisible = false;
    QString gameId, regionId;
};

Shown shownBy(const MainWindow &w)
{
    Shown s;
    s.status = w.statusLabel->text();
    s.account = w.accountLabel->text();
    s.route = w.routeCard->text();
    s.expiry = w.membershipExpiry->text();
    s.membership = w.membershipStatus->text();
    s.start = w.startButton->isEnabled();
    s.stop = w.stopButton->isEnabled();
    s.launch = w.launchButton->isEnabled();
    s.login = w.loginButton->isEnabled();
    s.formVisible = w.accountEdit->isVisible() && w.passwordEdit->isVisible() && w.loginButton->isVisible() &&
                    w.registerButton->isVisible();
    s.cardLinesVisible = w.membershipStatus->isVisible() || w.membershipExpiry->isVisible();
    s.logoutVisible = w.logoutButton->isVisible();
    s.gameId = w.selectedGameId;
    s.regionId = w.selectedRegionId;
    return s;
}

} // namespace

class TstMainWindowAccount : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    // Signing in.
    void incompleteInputsSendNothing_data();
    void incompleteInputsSendNothing();
    void signInShowsAccountThenProfile();
    void refusedSignInGoesToAccountLine_data();
    void refusedSignInGoesToAccountLine();
    void failureWhileSignedInGoesToStatusLine();
    void failedSignInWhileSignedInReenablesLogin();

    // Membership lines.
    void membershipDisplay_data();
    void membershipDisplay();

    // Signing out.
    void signOutWithoutSessionStopsServiceAndResets();
    void laterAccountDoesNotSeePreviousValues();
    void signOutWithSessionDeletesItWithTheToken();

    // Games and regions.
    void gameListFilledAndFirstGameMatched();
    void numberIdRequestsRegionsOfEmptyId();
    void emptyGameListSelectsNothing();
    void secondGameListResetsThenSelectsFirst();
    void gameWithoutRegions();
    void doubleClickInGameListOnlySelects();
    void staleRegionReply_data();
    void staleRegionReply();
    void regionFailureAfterGameChangeKeepsStartDisabled();

    // Nodes and the session request.
    void nodeLineAndSessionRequest_data();
    void nodeLineAndSessionRequest();
    void roundTripValueFromScore_data();
    void roundTripValueFromScore();
    void noNodeOnline();
    void nodeFailureReenablesStart();
    void nodeReplyForEarlierChoiceDropped();
    void gameChangeWhileAcceleratingKeepsSession();

private:
    void signIn(const QString &account = QStringLiteral("alice"),
                const QString &password = QStringLiteral("secret"));
    void waitForRegionMatched(const QString &routeText);
    void startAccelerating();
    QJsonObject sessionRequestBody();

    std::unique_ptr<TestServer> server;
    std::unique_ptr<FakeService> service;
    std::unique_ptr<MainWindow> window;
};

void TstMainWindowAccount::initTestCase()
{
    // Expiry lines are local time; a zone away from UTC shows whether the conversion happens.
    qputenv("TZ", "CST-8");
    QCOMPARE(QDateTime(QDate(2030, 1, 1), QTime(0, 0), Qt::UTC).toLocalTime().time(), QTime(8, 0));

    // A working key-pair program beside the suite, where the client looks for it.
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/pairgen.exe");
    QFile::remove(beside);
    QVERIFY(QFile::copy(QStringLiteral(PAIRGEN_PATH), beside));
}

void TstMainWindowAccount::init()
{
    server = std::make_unique<TestServer>();
    QVERIFY(server->isListening());
    server->on("GET", "/api/v1/client/releases/latest").always(ScriptedReply(404));
    server->on("POST", "/api/v1/auth/login")
        .always(jsonReply(200, {{"access_token", "access-1"}, {"refresh_token", "refresh-1"}}));
    server->on("GET", "/api/v1/me")
        .always(jsonReply(
            200, profile(QStringLiteral("alice@example.com"),
                         membership(true, QStringLiteral("trial"), QStringLiteral("2030-01-01T00:00:00Z")))));
    server->on("GET", "/api/v1/games")
        .always(itemsReply({game("g-1", QStringLiteral("反恐精英2"), QStringLiteral("cs2")),
                            game("g-2", QStringLiteral("绝地求生"), QStringLiteral("pubg"))}));
    server->on("GET", regionsPath("g-1")).always(itemsReply({QJsonObject{{"id", "r-1"}, {"name", "亚服"}}}));
    server->on("GET", regionsPath("g-2"))
        .always(itemsReply({QJsonObject{{"id", "r-2"}, {"name", "国际服"}}}));
    server->on("GET", nodesPath("g-1", "r-1"))
        .always(
            itemsReply({QJsonObject{{"id", "n-1"}, {"name", "Test"}, {"location", "hk"}, {"score", 35}}}));
    server->on("GET", nodesPath("g-2", "r-2"))
        .always(
            itemsReply({QJsonObject{{"id", "n-2"}, {"name", "Kowloon"}, {"location", "hk"}, {"score", 60}}}));
    server->on("POST", SessionsPath)
        .always(jsonReply(201, {{"session_id", "s-1"},
                                {"game_processes", QJsonArray{"cs2.exe"}},
                                {"rules_environment", "process"},
                                {"egress_ip", "203.0.113.7"}}));
    server->on("DELETE", SessionsPath + "/s-1").always(ScriptedReply(204));
    qputenv("DIVE_DIZUVIVIVID_API_URL", server->baseUrl().toString().toUtf8());

    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void TstMainWindowAccount::cleanup()
{
    window.reset();
    service.reset();
    server.reset();
    qunsetenv("DIVE_DIZUVIVIVID_API_URL");
}

void TstMainWindowAccount::signIn(const QString &account, const QString &password)
{
    MainWindow &w = *window;
    w.accountEdit->setText(account);
    w.passwordEdit->setText(password);
    QTest::mouseClick(w.loginButton, Qt::LeftButton);
    QTRY_VERIFY(w.logoutButton->isVisible());
}

void TstMainWindowAccount::waitForRegionMatched(const QString &routeText)
{
    MainWindow &w = *window;
    QTRY_COMPARE(w.routeCard->text(), routeText);
    QCOMPARE(w.statusLabel->text(), QStringLiteral("香港节点在线，可开始加速"));
    QVERIFY(w.startButton->isEnabled());
}

// Signs in, lets the first game match its region and starts an acceleration on the local service.
void TstMainWindowAccount::startAccelerating()
{
    MainWindow &w = *window;
    if (!service) {
        service = std::make_unique<FakeService>();
        QVERIFY(service->isListening());
    }
    STEP(signIn());
    STEP(waitForRegionMatched(QStringLiteral("加速线路：亚服 · 香港智能节点")));
    QTest::mouseClick(w.startButton, Qt::LeftButton);
    QTRY_VERIFY(w.stopButton->isEnabled());
    QCOMPARE(w.activeSessionId, QStringLiteral("s-1"));
    QCOMPARE(w.statusLabel->text(), QStringLiteral("正在加速 · 智能分流 Beta（仅游戏流量）"));
    QCOMPARE(commandsSent(*service, ServiceCommand::Start), 1);
}

QJsonObject TstMainWindowAccount::sessionRequestBody()
{
    const QList<RecordedRequest> posts = requestsTo(*server, "POST", SessionsPath);
    if (posts.isEmpty())
        return {};
    return QJsonDocument::fromJson(posts.last().body).object();
}

// ---- signing in ----

void TstMainWindowAccount::incompleteInputsSendNothing_data()
{
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::newRow("both empty") << QString() << QString();
    QTest::newRow("no account") << QString() << QStringLiteral("secret");
    QTest::newRow("account of spaces") << QStringLiteral("    ") << QStringLiteral("secret");
    QTest::newRow("account of tabs and spaces") << QStringLiteral("\t \t") << QStringLiteral("secret");
    QTest::newRow("no password") << QStringLiteral("alice") << QString();
}

void TstMainWindowAccount::incompleteInputsSendNothing()
{
    QFETCH(QString, account);
    QFETCH(QString, password);
    MainWindow &w = *window;
    server->on("POST", "/api/v1/auth/login").always(failure(401, "账号或密码错误"));

    w.accountEdit->setText(account);
    w.passwordEdit->setText(password);
    QTest::mouseClick(w.loginButton, Qt::LeftButton);
    QCOMPARE(w.accountLabel->text(), QStringLiteral("请输入账号和密码"));
    QVERIFY(w.loginButton->isEnabled());
    QCOMPARE(w.accountEdit->text(), account);
    QCOMPARE(w.passwordEdit->text(), password);

    // A complete form afterwards is the first sign-in the backend hears of.
    w.accountEdit->setText(QStringLiteral("alice"));
    w.passwordEdit->setText(QStringLiteral("secret"));
    QTest::mouseClick(w.loginButton, Qt::LeftButton);
    QTRY_COMPARE(w.accountLabel->text(), QStringLiteral("账号或密码错误"));
    QCOMPARE(requestsTo(*server, "POST", "/api/v1/auth/login").size(), 1);
}

void TstMainWindowAccount::signInShowsAccountThenProfile()
{
    MainWindow &w = *window;
    QObject hooks;
    std::optional<Shown> atSignIn, atProfile;
    QString passwordAtSignIn;
    connect(w.apiClient, &ApiClient::LoginSucceeded, &hooks, [&] {
        atSignIn = shownBy(w);
        passwordAtSignIn = w.passwordEdit->text();
    });
    connect(w.apiClient, &ApiClient::ProfileLoaded, &hooks, [&] { atProfile = shownBy(w); });

    // Spaces around the account are the client's to trim; a password of spaces is a password.
    QTest::keyClicks(w.accountEdit, QStringLiteral("  alice  "));
    QTest::keyClicks(w.passwordEdit, QStringLiteral("   "));
    QTest::mouseClick(w.loginButton, Qt::LeftButton);
    QVERIFY(!w.loginButton->isEnabled());
    QCOMPARE(w.accountLabel->text(), QStringLiteral("正在登录…"));

    QTRY_VERIFY(atProfile.has_value());
    QVERIFY(atSignIn.has_value());
    const QList<RecordedRequest> logins = requestsTo(*server, "POST", "/api/v1/auth/login");
    QCOMPARE(logins.size(), 1);
    const QJsonObject body = QJsonDocument::fromJson(logins.first().body).object();
    QCOMPARE(body.value("account").toString(), QStringLiteral("alice"));
    QCOMPARE(body.value("password").toString(), QStringLiteral("   "));

    // Signed in, profile pending: the form is still there.
    QCOMPARE(atSignIn->account, QStringLiteral("已登录：alice"));
    QVERIFY(passwordAtSignIn.isEmpty());
    QVERIFY(atSignIn->login);
    QVERIFY(atSignIn->formVisible);
    QVERIFY(!atSignIn->cardLinesVisible);
    QVERIFY(!atSignIn->logoutVisible);

    // The profile's own account name, and the card in place of the form.
    QCOMPARE(atProfile->account, QStringLiteral("账号：alice@example.com"));
    QVERIFY(!atProfile->formVisible);
    QVERIFY(!w.accountEdit->isVisible());
    QVERIFY(!w.passwordEdit->isVisible());
    QVERIFY(!w.loginButton->isVisible());
    QVERIFY(!w.registerButton->isVisible());
    QVERIFY(w.membershipStatus->isVisible());
    QVERIFY(w.membershipExpiry->isVisible());
    QVERIFY(w.logoutButton->isVisible());
    // Trading the form for the card's lines never makes the column taller than the window.
    QCoreApplication::sendPostedEvents();
    QCOMPARE(w.size(), QSize(1120, 720));

    for (const QByteArray &path : {QByteArray("/api/v1/me"), QByteArray("/api/v1/games")}) {
        const QList<RecordedRequest> loads = requestsTo(*server, "GET", path);
        QCOMPARE(loads.size(), 1);
        QCOMPARE(loads.first().header("Authorization"), QByteArray("Bearer access-1"));
    }
}

void TstMainWindowAccount::refusedSignInGoesToAccountLine_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");
    QTest::newRow("backend message") << 401 << QByteArray(R"({"message":"账号或密码错误"})")
                                     << QStringLiteral("账号或密码错误");
    QTest::newRow("no message") << 502 << QByteArray("<html>bad gateway</html>")
                                << QStringLiteral("登录失败");
    QTest::newRow("token missing") << 200 << QByteArray(R"({"access_token":"access-1"})")
                                   << QStringLiteral("登录响应缺少 Token");
}

void TstMainWindowAccount::refusedSignInGoesToAccountLine()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    MainWindow &w = *window;
    server->on("POST", "/api/v1/auth/login").always(ScriptedReply::json(status, body));

    w.accountEdit->setText(QStringLiteral("alice"));
    w.passwordEdit->setText(QStringLiteral("wrong"));
    QTest::mouseClick(w.loginButton, Qt::LeftButton);
    QTRY_COMPARE(w.accountLabel->text(), message);
    QVERIFY(w.loginButton->isEnabled());
    QVERIFY(!w.apiClient->IsLoggedIn());
    QCOMPARE(w.statusLabel->text(), QStringLiteral("尚未连接本地加速服务"));
    // The typed inputs stay for a second try, and the form stays up.
    QCOMPARE(w.accountEdit->text(), QStringLiteral("alice"));
    QCOMPARE(w.passwordEdit->text(), QStringLiteral("wrong"));
    QVERIFY(w.accountEdit->isVisible());
    QVERIFY(!w.logoutButton->isVisible());
    QTest::qWait(100);
    QVERIFY(requestsTo(*server, "GET", "/api/v1/me").isEmpty());
    QVERIFY(requestsTo(*server, "GET", "/api/v1/games").isEmpty());
}

void TstMainWindowAccount::failureWhileSignedInGoesToStatusLine()
{
    MainWindow &w = *window;
    server->on("GET", "/api/v1/me").always(failure(503, "会员服务维护中"));
    server->on("GET", "/api/v1/games").always(itemsReply({}));

    w.accountEdit->setText(QStringLiteral("alice"));
    w.passwordEdit->setText(QStringLiteral("secret"));
    QTest::mouseClick(w.loginButton, Qt::LeftButton);
    QTRY_COMPARE(w.statusLabel->text(), QStringLiteral("会员服务维护中"));
    // Signed in without a profile: the account line of the sign-in stays, so does the form.
    QCOMPARE(w.accountLabel->text(), QStringLiteral("已登录：alice"));
    QVERIFY(w.accountEdit->isVisible());
    QVERIFY(!w.membershipStatus->isVisible());
    QVERIFY(!w.logoutButton->isVisible());
    QVERIFY(w.loginButton->isEnabled());
    QVERIFY(!w.startButton->isEnabled());
}

void TstMainWindowAccount::failedSignInWhileSignedInReenablesLogin()
{
    MainWindow &w = *window;
    server->on("GET", "/api/v1/me").always(failure(503, "会员服务维护中"));
    w.accountEdit->setText(QStringLiteral("alice"));
    w.passwordEdit->setText(QStringLiteral("secret"));
    QTest::mouseClick(w.loginButton, Qt::LeftButton);
    QTRY_COMPARE(w.accountLabel->text(), QStringLiteral("已登录：alice"));
    STEP(waitForRegionMatched(QStringLiteral("加速线路：亚服 · 香港智能节点")));
    QTRY_COMPARE(requestsTo(*server, "GET", "/api/v1/me").size(), 1);

    // The form is still up; a second sign-in that fails is reported on the status line, since the
    // first one still holds.
    server->on("POST", "/api/v1/auth/login").always(failure(401, "账号或密码错误"));
    w.passwordEdit->setText(QStringLiteral("other"));
    QTest::mouseClick(w.loginButton, Qt::LeftButton);
    QVERIFY(!w.loginButton->isEnabled());
    QTRY_COMPARE(w.statusLabel->text(), QStringLiteral("账号或密码错误"));
    QVERIFY(w.loginButton->isEnabled());
    QVERIFY(w.apiClient->IsLoggedIn());
    QVERIFY(w.startButton->isEnabled()); // a region is still matched
}

// ---- membership lines ----

void TstMainWindowAccount::membershipDisplay_data()
{
    QTest::addColumn<QJsonObject>("profile");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("expiry");
    QTest::addColumn<bool>("active");

    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDate today = now.date();
    const QDateTime in30Days(today.addDays(30), QTime(12, 0), Qt::UTC);
    const QDateTime laterToday(today, QTime(23, 59, 59), Qt::UTC);
    const QDateTime justAfterMidnight(today.addDays(1), QTime(0, 1), Qt::UTC);
    const QString account = QStringLiteral("alice@example.com");

    QTest::newRow("paid, 30 days") << profile(account,
                                              membership(true, QStringLiteral("paid"), utcIso(in30Days)))
                                   << QStringLiteral("会员状态：正式会员 · 剩余 30 天")
                                   << QStringLiteral("到期时间：") + shownInZone(in30Days) << true;
    QTest::newRow("trial") << profile(account, membership(true, QStringLiteral("trial"), utcIso(in30Days)))
                           << QStringLiteral("会员状态：试用会员 · 剩余 30 天")
                           << QStringLiteral("到期时间：") + shownInZone(in30Days) << true;
    QTest::newRow("grant") << profile(account, membership(true, QStringLiteral("grant"), utcIso(in30Days)))
                           << QStringLiteral("会员状态：赠送会员 · 剩余 30 天")
                           << QStringLiteral("到期时间：") + shownInZone(in30Days) << true;
    QTest::newRow("TRIAL in capitals")
        << profile(account, membership(true, QStringLiteral("TRIAL"), utcIso(in30Days)))
        << QStringLiteral("会员状态：正式会员 · 剩余 30 天")
        << QStringLiteral("到期时间：") + shownInZone(in30Days) << true;
    QTest::newRow("no kind") << profile(account,
                                        QJsonObject{{"active", true}, {"expires_at", utcIso(in30Days)}})
                             << QStringLiteral("会员状态：正式会员 · 剩余 30 天")
                             << QStringLiteral("到期时间：") + shownInZone(in30Days) << true;
    QTest::newRow("later today") << profile(account,
                                            membership(true, QStringLiteral("paid"), utcIso(laterToday)))
                                 << QStringLiteral("会员状态：正式会员 · 剩余 0 天")
                                 << QStringLiteral("到期时间：") + shownInZone(laterToday) << true;
    QTest::newRow("tomorrow 00:01 UTC")
        << profile(account, membership(true, QStringLiteral("paid"), utcIso(justAfterMidnight)))
        << QStringLiteral("会员状态：正式会员 · 剩余 1 天")
        << QStringLiteral("到期时间：") + shownInZone(justAfterMidnight) << true;
    QTest::newRow("already expired") << profile(account, membership(true, QStringLiteral("trial"),
                                                                    QStringLiteral("2020-01-01T00:00:00Z")))
                                     << QStringLiteral("会员状态：试用会员 · 剩余 0 天")
                                     << QStringLiteral("到期时间：2020-01-01 08:00") << true;
    // 07:30 at +08:00 is still the previous day in UTC: the count goes by UTC dates.
    const QDateTime offsetExpiry(today.addDays(10), QTime(7, 30), Qt::OffsetFromUTC, 8 * 3600);
    QTest::newRow("offset designator")
        << profile(account, membership(true, QStringLiteral("paid"), offsetExpiry.toString(Qt::ISODate)))
        << QStringLiteral("会员状态：正式会员 · 剩余 9 天")
        << QStringLiteral("到期时间：%1 07:30").arg(today.addDays(10).toString(QStringLiteral("yyyy-MM-dd")))
        << true;
    QTest::newRow("active without expiry")
        << profile(account, QJsonObject{{"active", true}, {"kind", "grant"}})
        << QStringLiteral("会员状态：赠送会员 · 剩余 0 天") << QStringLiteral("到期时间：") << true;
    QTest::newRow("active, unreadable expiry")
        << profile(account, membership(true, QStringLiteral("paid"), QStringLiteral("next tuesday")))
        << QStringLiteral("会员状态：正式会员 · 剩余 0 天") << QStringLiteral("到期时间：") << true;
    QTest::newRow("inactive with expiry")
        << profile(account, membership(false, QStringLiteral("paid"), QStringLiteral("2029-06-30T20:00:00Z")))
        << QStringLiteral("会员状态：未开通或已过期") << QStringLiteral("到期时间：2029-07-01 04:00")
        << false;
    QTest::newRow("inactive without expiry")
        << profile(account, QJsonObject{{"active", false}}) << QStringLiteral("会员状态：未开通或已过期")
        << QStringLiteral("到期时间：--") << false;
    QTest::newRow("no membership") << QJsonObject{{"account", account}}
                                   << QStringLiteral("会员状态：未开通或已过期")
                                   << QStringLiteral("到期时间：--") << false;
    QTest::newRow("active as a string")
        << profile(account, membership(QStringLiteral("true"), QStringLiteral("paid"), utcIso(in30Days)))
        << QStringLiteral("会员状态：未开通或已过期") << QStringLiteral("到期时间：") + shownInZone(in30Days)
        << false;
    QTest::newRow("active as a number")
        << profile(account, QJsonObject{{"active", 1}}) << QStringLiteral("会员状态：未开通或已过期")
        << QStringLiteral("到期时间：--") << false;
}

void TstMainWindowAccount::membershipDisplay()
{
    QFETCH(QJsonObject, profile);
    QFETCH(QString, status);
    QFETCH(QString, expiry);
    QFETCH(bool, active);
    MainWindow &w = *window;
    server->on("GET", "/api/v1/me").always(jsonReply(200, profile));

    STEP(signIn());
    QCOMPARE(w.accountLabel->text(), QStringLiteral("账号：alice@example.com"));
    QCOMPARE(w.membershipStatus->text(), status);
    QCOMPARE(w.membershipExpiry->text(), expiry);
    QCOMPARE(w.membershipStatus->property("active").toBool(), active);
    // The style follows the property at once.
    QCOMPARE(w.membershipStatus->palette().color(QPalette::WindowText), active ? ActiveGreen : InactiveAmber);
    // The window only shows the membership: starting is offered whatever it says.
    STEP(waitForRegionMatched(QStringLiteral("加速线路：亚服 · 香港智能节点")));
}

// ---- signing out ----

void TstMainWindowAccount::signOutWithoutSessionStopsServiceAndResets()
{
    MainWindow &w = *window;
    service = std::make_unique<FakeService>();
    QVERIFY(service->isListening());
    STEP(signIn());
    STEP(waitForRegionMatched(QStringLiteral("加速线路：亚服 · 香港智能节点")));
    QCOMPARE(w.gameList->count(), 2);
    const int requestsBefore = server->requestCount();

    QTest::mouseClick(w.logoutButton, Qt::LeftButton);

    // The local service is told to stop even though nothing runs.
    const QList<ServiceRequestRecord> frames = service->requests();
    QCOMPARE(frames.size(), 1);
    QCOMPARE(frames.first().command, quint16(ServiceCommand::Stop));
    QCOMPARE(frames.first().payloadLength, quint32(0));
    QCOMPARE(w.statusLabel->text(), QStringLiteral("当前未加速"));

    QVERIFY(!w.apiClient->IsLoggedIn());
    QCOMPARE(w.accountLabel->text(), QStringLiteral("尚未登录"));
    QVERIFY(!w.membershipStatus->isVisible());
    QVERIFY(!w.membershipExpiry->isVisible());
    QVERIFY(!w.logoutButton->isVisible());
    QVERIFY(w.accountEdit->isVisible());
    QVERIFY(w.passwordEdit->isVisible());
    QVERIFY(w.loginButton->isVisible());
    QVERIFY(w.registerButton->isVisible());
    QCOMPARE(w.gameList->count(), 0);
    QVERIFY(!w.gameList->currentItem());
    QCOMPARE(w.routeCard->text(), QStringLiteral("加速线路：正在匹配…"));
    QVERIFY(w.selectedGameId.isEmpty());
    QVERIFY(w.selectedRegionId.isEmpty());
    QVERIFY(w.selectedGameSlug.isEmpty());
    QVERIFY(!w.startButton->isEnabled());
    QVERIFY(!w.launchButton->isEnabled());
    QVERIFY(!w.stopButton->isEnabled());
    QCoreApplication::sendPostedEvents();
    QCOMPARE(w.size(), QSize(1120, 720));

    // Signing out asks the backend nothing.
    QTest::qWait(100);
    QCOMPARE(server->requestCount(), requestsBefore);
}

void TstMainWindowAccount::laterAccountDoesNotSeePreviousValues()
{
    MainWindow &w = *window;
    service = std::make_unique<FakeService>();
    QVERIFY(service->isListening());
    server->on("GET", "/api/v1/me")
        .reply(jsonReply(
            200, profile(QStringLiteral("alice@example.com"),
                         membership(true, QStringLiteral("grant"), QStringLiteral("2030-01-01T00:00:00Z")))))
        .reply(jsonReply(200, QJsonObject{{"account", "bob@example.com"}}));
    server->on("POST", "/api/v1/auth/login")
        .reply(jsonReply(200, {{"access_token", "access-1"}, {"refresh_token", "refresh-1"}}))
        .reply(jsonReply(200, {{"access_token", "access-2"}, {"refresh_token", "refresh-2"}}));

    STEP(signIn());
    QCOMPARE(w.membershipStatus->palette().color(QPalette::WindowText), ActiveGreen);
    QVERIFY(w.membershipStatus->text().contains(QStringLiteral("赠送会员")));
    QTest::mouseClick(w.logoutButton, Qt::LeftButton);

    QObject hooks;
    std::optional<Shown> atSecondSignIn;
    connect(w.apiClient, &ApiClient::LoginSucceeded, &hooks, [&] { atSecondSignIn = shownBy(w); });
    STEP(signIn(QStringLiteral("bob"), QStringLiteral("hunter2")));
    QVERIFY(atSecondSignIn.has_value());
    QCOMPARE(atSecondSignIn->account, QStringLiteral("已登录：bob"));
    QVERIFY(!atSecondSignIn->cardLinesVisible);
    QVERIFY(!atSecondSignIn->logoutVisible);

    QCOMPARE(w.accountLabel->text(), QStringLiteral("账号：bob@example.com"));
    QCOMPARE(w.membershipStatus->text(), QStringLiteral("会员状态：未开通或已过期"));
    QCOMPARE(w.membershipExpiry->text(), QStringLiteral("到期时间：--"));
    QCOMPARE(w.membershipStatus->property("active").toBool(), false);
    QCOMPARE(w.membershipStatus->palette().color(QPalette::WindowText), InactiveAmber);
    const QList<RecordedRequest> profiles = requestsTo(*server, "GET", "/api/v1/me");
    QCOMPARE(profiles.size(), 2);
    QCOMPARE(profiles.last().header("Authorization"), QByteArray("Bearer access-2"));
}

void TstMainWindowAccount::signOutWithSessionDeletesItWithTheToken()
{
    MainWindow &w = *window;
    STEP(startAccelerating());
    server->on("DELETE", SessionsPath + "/s-1").always(ScriptedReply(204).delayed(100));

    QTest::mouseClick(w.logoutButton, Qt::LeftButton);
    // The tunnel keeps running until the backend has confirmed.
    QCOMPARE(commandsSent(*service, ServiceCommand::Stop), 0);
    QVERIFY(!w.apiClient->IsLoggedIn());
    QCOMPARE(w.accountLabel->text(), QStringLiteral("尚未登录"));

    QTRY_COMPARE(requestsTo(*server, "DELETE", SessionsPath + "/s-1").size(), 1);
    const QList<RecordedRequest> deletes = requestsTo(*server, "DELETE", SessionsPath + "/s-1");
    QCOMPARE(deletes.first().header("Authorization"), QByteArray("Bearer access-1"));

    QTRY_COMPARE(commandsSent(*service, ServiceCommand::Stop), 1);
    QTRY_VERIFY(w.activeSessionId.isEmpty());
    QCOMPARE(w.statusLabel->text(), QStringLiteral("当前未加速"));
    QVERIFY(!w.startButton->isEnabled()); // signed out
}

// ---- games and regions ----

void TstMainWindowAccount::gameListFilledAndFirstGameMatched()
{
    MainWindow &w = *window;
    server->on("GET", "/api/v1/games")
        .always(itemsReply({game("g-1", QStringLiteral("反恐精英2"), QStringLiteral("cs2")),
                            game(42, QStringLiteral("数字编号"), QStringLiteral("numbered")),
                            game("g 3", QStringLiteral("Apex 英雄"), QStringLiteral("apex-legends"))}));
    QObject hooks;
    std::optional<Shown> atGames;
    int currentRowAtGames = -2;
    connect(w.apiClient, &ApiClient::GamesLoaded, &hooks, [&] {
        atGames = shownBy(w);
        currentRowAtGames = w.gameList->currentRow();
    });

    STEP(signIn());
    QTRY_VERIFY(atGames.has_value());
    QCOMPARE(w.gameList->count(), 3);
    const QStringList names = {QStringLiteral("反恐精英2"), QStringLiteral("数字编号"),
                               QStringLiteral("Apex 英雄")};
    const QStringList ids = {QStringLiteral("g-1"), QString(), QStringLiteral("g 3")};
    const QStringList slugs = {QStringLiteral("cs2"), QStringLiteral("numbered"),
                               QStringLiteral("apex-legends")};
    for (int row = 0; row < 3; ++row) {
        QListWidgetItem *item = w.gameList->item(row);
        QCOMPARE(item->text(), names.at(row));
        QCOMPARE(item->data(256).metaType(), QMetaType::fromType<QString>());
        QCOMPARE(item->data(257).metaType(), QMetaType::fromType<QString>());
        QCOMPARE(item->data(256).toString(), ids.at(row));
        QCOMPARE(item->data(257).toString(), slugs.at(row));
    }

    // The first game became current and asked for its regions.
    QCOMPARE(currentRowAtGames, 0);
    QCOMPARE(atGames->gameId, QStringLiteral("g-1"));
    QVERIFY(atGames->regionId.isEmpty());
    QCOMPARE(atGames->status, QStringLiteral("正在读取可用区服…"));
    QCOMPARE(atGames->route, QStringLiteral("加速线路：正在匹配…"));
    QVERIFY(!atGames->start);
    QCOMPARE(w.selectedGameSlug, QStringLiteral("cs2"));

    STEP(waitForRegionMatched(QStringLiteral("加速线路：亚服 · 香港智能节点")));
    QCOMPARE(w.selectedRegionId, QStringLiteral("r-1"));
    const QList<RecordedRequest> regions = requestsTo(*server, "GET", regionsPath("g-1"));
    QCOMPARE(regions.size(), 1);
    QCOMPARE(regions.first().header("Authorization"), QByteArray("Bearer access-1"));
}

void TstMainWindowAccount::numberIdRequestsRegionsOfEmptyId()
{
    MainWindow &w = *window;
    server->on("GET", "/api/v1/games")
        .always(itemsReply({game(7, QStringLiteral("数字编号"), QStringLiteral("numbered")),
                            game("g-2", QStringLiteral("绝地求生"), QStringLiteral("pubg"))}));
    server->on("GET", "/api/v1/games//regions")
        .always(itemsReply({QJsonObject{{"id", "r-0"}, {"name", "无名"}}}));

    STEP(signIn());
    STEP(waitForRegionMatched(QStringLiteral("加速线路：无名 · 香港智能节点")));
    QVERIFY(w.selectedGameId.isEmpty());
    QCOMPARE(w.selectedGameSlug, QStringLiteral("numbered"));
    QCOMPARE(requestsTo(*server, "GET", "/api/v1/games//regions").size(), 1);
}

void TstMainWindowAccount::emptyGameListSelectsNothing()
{
    MainWindow &w = *window;
    server->on("GET", "/api/v1/games").always(itemsReply({}));
    QObject hooks;
    bool gamesArrived = false;
    connect(w.apiClient, &ApiClient::GamesLoaded, &hooks, [&] { gamesArrived = true; });

    STEP(signIn());
    QTRY_VERIFY(gamesArrived);
    QCOMPARE(w.gameList->count(), 0);
    QVERIFY(!w.gameList->currentItem());
    QCOMPARE(w.routeCard->text(), QStringLiteral("加速线路：请选择游戏"));
    QCOMPARE(w.statusLabel->text(), QStringLiteral("尚未连接本地加速服务"));
    QVERIFY(!w.startButton->isEnabled());
    QVERIFY(w.selectedGameId.isEmpty());
    QTest::qWait(150);
    for (const RecordedRequest &request : server->requests())
        QVERIFY2(!request.path().endsWith("/regions"), request.target.constData());
}

void TstMainWindowAccount::secondGameListResetsThenSelectsFirst()
{
    MainWindow &w = *window;
    // Without a profile the form stays, so the member can sign in again and get a new list.
    server->on("GET", "/api/v1/me").always(failure(503, "会员服务维护中"));
    server->on("GET", "/api/v1/games")
        .reply(itemsReply({game("g-1", QStringLiteral("反恐精英2"), QStringLiteral("cs2"))}))
        .reply(itemsReply({game("g-2", QStringLiteral("绝地求生"), QStringLiteral("pubg")),
                           game("g-1", QStringLiteral("反恐精英2"), QStringLiteral("cs2"))}));
    QObject hooks;
    int failures = 0;
    connect(w.apiClient, &ApiClient::RequestFailed, &hooks, [&] { ++failures; });
    w.accountEdit->setText(QStringLiteral("alice"));
    w.passwordEdit->setText(QStringLiteral("secret"));
    QTest::mouseClick(w.loginButton, Qt::LeftButton);
    QTRY_COMPARE(w.routeCard->text(), QStringLiteral("加速线路：亚服 · 香港智能节点"));
    QTRY_COMPARE(failures, 1);

    struct Change
    {
        bool current;
        QString route, gameId, regionId;
        bool start;
    };
    QList<Change> changes;
    connect(w.gameList, &QListWidget::currentItemChanged, &hooks, [&](QListWidgetItem *current) {
        changes.append({current != nullptr, w.routeCard->text(), w.selectedGameId, w.selectedRegionId,
                        w.startButton->isEnabled()});
    });
    w.passwordEdit->setText(QStringLiteral("secret"));
    QTest::mouseClick(w.loginButton, Qt::LeftButton);
    STEP(waitForRegionMatched(QStringLiteral("加速线路：国际服 · 香港智能节点")));

    QCOMPARE(changes.size(), 2);
    QVERIFY(!changes.at(0).current);
    QCOMPARE(changes.at(0).route, QStringLiteral("加速线路：正在匹配…"));
    QVERIFY(changes.at(0).gameId.isEmpty());
    QVERIFY(changes.at(0).regionId.isEmpty());
    QVERIFY(!changes.at(0).start);
    QVERIFY(changes.at(1).current);
    QCOMPARE(changes.at(1).gameId, QStringLiteral("g-2"));
    QCOMPARE(w.gameList->count(), 2);
    QCOMPARE(w.gameList->currentRow(), 0);
    QCOMPARE(w.selectedRegionId, QStringLiteral("r-2"));
}

void TstMainWindowAccount::gameWithoutRegions()
{
    MainWindow &w = *window;
    server->on("GET", regionsPath("g-1")).always(itemsReply({}));
    QObject hooks;
    bool regionsArrived = false;
    connect(w.apiClient, &ApiClient::RegionsLoaded, &hooks, [&] { regionsArrived = true; });

    STEP(signIn());
    QTRY_VERIFY(regionsArrived);
    QCOMPARE(w.statusLabel->text(), QStringLiteral("当前游戏暂无可用区服"));
    QCOMPARE(w.routeCard->text(), QStringLiteral("加速线路：正在匹配…"));
    QVERIFY(w.selectedRegionId.isEmpty());
    QCOMPARE(w.selectedGameId, QStringLiteral("g-1"));
    QVERIFY(!w.startButton->isEnabled());
}

void TstMainWindowAccount::doubleClickInGameListOnlySelects()
{
    MainWindow &w = *window;
    service = std::make_unique<FakeService>();
    QVERIFY(service->isListening());
    STEP(signIn());
    STEP(waitForRegionMatched(QStringLiteral("加速线路：亚服 · 香港智能节点")));
    const int requestsBefore = server->requestCount();

    const QRect second = w.gameList->visualItemRect(w.gameList->item(1));
    QTest::mouseDClick(w.gameList->viewport(), Qt::LeftButton, {}, second.center());
    QCOMPARE(w.gameList->currentRow(), 1);
    STEP(waitForRegionMatched(QStringLiteral("加速线路：国际服 · 香港智能节点")));
    QTest::qWait(100);
    // The new game's regions and nothing else: no start, no launch, no edit.
    const QList<RecordedRequest> sent = server->requests().mid(requestsBefore);
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first().path(), regionsPath("g-2"));
    QCOMPARE(service->requestCount(), 0);
    QVERIFY(!w.gameList->findChild<QLineEdit *>());
    QCOMPARE(w.gameList->item(1)->text(), QStringLiteral("绝地求生"));
}

void TstMainWindowAccount::staleRegionReply_data()
{
    QTest::addColumn<bool>("staleFirst");
    QTest::newRow("stale reply first") << true;
    QTest::newRow("stale reply last") << false;
}

void TstMainWindowAccount::staleRegionReply()
{
    QFETCH(bool, staleFirst);
    MainWindow &w = *window;
    const int late = 600;
    server->on("GET", regionsPath("g-1"))
        .always(itemsReply({QJsonObject{{"id", "r-1"}, {"name", "亚服"}}}, staleFirst ? 0 : late));
    server->on("GET", regionsPath("g-2"))
        .always(itemsReply({QJsonObject{{"id", "r-2"}, {"name", "国际服"}}}, staleFirst ? late : 0));

    QObject hooks;
    // The member picks the second game right after the list arrives, before the first game's regions.
    connect(w.apiClient, &ApiClient::GamesLoaded, &hooks, [&] { w.gameList->setCurrentRow(1); });
    QList<QPair<QString, Shown>> replies;
    connect(w.apiClient, &ApiClient::RegionsLoaded, &hooks, [&](const QString &gameId) {
        replies.append({gameId, shownBy(w)});
    });

    STEP(signIn());
    QTRY_COMPARE(replies.size(), 2);
    QCOMPARE(replies.at(0).first, staleFirst ? QStringLiteral("g-1") : QStringLiteral("g-2"));
    const Shown &stale = staleFirst ? replies.at(0).second : replies.at(1).second;
    const Shown &current = staleFirst ? replies.at(1).second : replies.at(0).second;

    QCOMPARE(current.route, QStringLiteral("加速线路：国际服 · 香港智能节点"));
    QCOMPARE(stale.status, QStringLiteral("当前游戏暂无可用区服"));
    if (staleFirst) {
        // Until the chosen game's regions come, nothing is matched.
        QCOMPARE(stale.route, QStringLiteral("加速线路：正在匹配…"));
        QVERIFY(!stale.start);
        QVERIFY(stale.regionId.isEmpty());
        QCOMPARE(current.status, QStringLiteral("香港节点在线，可开始加速"));
    } else {
        // The late reply only overwrites the status line.
        QCOMPARE(stale.route, QStringLiteral("加速线路：国际服 · 香港智能节点"));
        QVERIFY(stale.start);
        QCOMPARE(stale.regionId, QStringLiteral("r-2"));
    }
    QCOMPARE(w.selectedGameId, QStringLiteral("g-2"));
    QCOMPARE(w.selectedRegionId, QStringLiteral("r-2"));
    QVERIFY(w.startButton->isEnabled());
    QCOMPARE(w.routeCard->text(), QStringLiteral("加速线路：国际服 · 香港智能节点"));
}

void TstMainWindowAccount::regionFailureAfterGameChangeKeepsStartDisabled()
{
    MainWindow &w = *window;
    server->on("GET", regionsPath("g-2")).always(failure(500, "区服列表暂不可用"));
    STEP(signIn());
    STEP(waitForRegionMatched(QStringLiteral("加速线路：亚服 · 香港智能节点")));

    w.gameList->setCurrentRow(1);
    QCOMPARE(w.statusLabel->text(), QStringLiteral("正在读取可用区服…"));
    QTRY_COMPARE(w.statusLabel->text(), QStringLiteral("区服列表暂不可用"));
    QVERIFY(w.selectedRegionId.isEmpty());
    QVERIFY(!w.startButton->isEnabled());
    QCOMPARE(w.routeCard->text(), QStringLiteral("加速线路：正在匹配…"));
}

// ---- nodes and the session request ----

void TstMainWindowAccount::nodeLineAndSessionRequest_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("line");
    QTest::newRow("hk") << QStringLiteral("Test") << QStringLiteral("hk")
                        << QStringLiteral("当前节点：Test · HK");
    QTest::newRow("mixed case") << QStringLiteral("九龙 1") << QStringLiteral("Hk-East")
                                << QStringLiteral("当前节点：九龙 1 · HK-EAST");
    // One substitution: a marker inside the name is not filled in again.
    QTest::newRow("marker in name") << QStringLiteral("Node %2") << QStringLiteral("hk")
                                    << QStringLiteral("当前节点：Node %2 · HK");
}

void TstMainWindowAccount::nodeLineAndSessionRequest()
{
    QFETCH(QString, name);
    QFETCH(QString, location);
    QFETCH(QString, line);
    MainWindow &w = *window;
    server->on("GET", nodesPath("g-1", "r-1"))
        .always(
            itemsReply({QJsonObject{{"id", "n-9"}, {"name", name}, {"location", location}, {"score", 35}},
                        QJsonObject{{"id", "n-10"}, {"name", "Second"}, {"location", "sg"}, {"score", 5}}}));
    std::optional<Shown> atRequest;
    QString publicKeyAtRequest;
    server->on("POST", SessionsPath).handle([&](const RecordedRequest &) {
        atRequest = shownBy(w);
        publicKeyAtRequest = w.tunnelPublicKey;
        return failure(403, "会员已过期，请续费");
    });
    STEP(signIn());
    STEP(waitForRegionMatched(QStringLiteral("加速线路：亚服 · 香港智能节点")));

    QTest::mouseClick(w.startButton, Qt::LeftButton);
    QVERIFY(!w.startButton->isEnabled());
    QCOMPARE(w.statusLabel->text(), QStringLiteral("正在选择最优线路…"));
    QTRY_VERIFY(atRequest.has_value());
    QCOMPARE(atRequest->route, line);
    QCOMPARE(atRequest->status, QStringLiteral("正在申请加速会话…"));
    QVERIFY(!atRequest->start);

    const QJsonObject body = sessionRequestBody();
    QCOMPARE(body.value("game_id").toString(), QStringLiteral("g-1"));
    QCOMPARE(body.value("region_id").toString(), QStringLiteral("r-1"));
    QCOMPARE(body.value("preferred_node_id").toString(), QStringLiteral("n-9"));
    const QJsonObject probe = body.value("probes").toArray().first().toObject();
    QCOMPARE(probe.value("node_id").toString(), QStringLiteral("n-9"));
    QCOMPARE(probe.value("rtt_ms").toInt(), 35);
    // The fresh public key of this start, and nothing of the private one.
    QCOMPARE(QByteArray::fromBase64(publicKeyAtRequest.toLatin1()).size(), 32);
    QCOMPARE(body.value("client_public_key").toString(), publicKeyAtRequest);
    QVERIFY(!body.contains("private_key"));

    // The refusal comes back as a failed acceleration with the backend's words.
    QTRY_COMPARE(w.statusLabel->text(), QStringLiteral("会员已过期，请续费"));
    QVERIFY(w.startButton->isEnabled());
    QVERIFY(w.tunnelPublicKey.isEmpty());
    QVERIFY(w.tunnelPrivateKey.isEmpty());
    QCOMPARE(w.routeCard->text(), line);
}

void TstMainWindowAccount::roundTripValueFromScore_data()
{
    QTest::addColumn<QJsonValue>("score");
    QTest::addColumn<int>("rtt");
    QTest::newRow("0") << QJsonValue(0) << 1;
    QTest::newRow("-5") << QJsonValue(-5) << 1;
    QTest::newRow("1") << QJsonValue(1) << 1;
    QTest::newRow("87.5") << QJsonValue(87.5) << 100;
    QTest::newRow("\"35\"") << QJsonValue(QStringLiteral("35")) << 100;
    QTest::newRow("250") << QJsonValue(250) << 250;
    QTest::newRow("absent") << QJsonValue(QJsonValue::Undefined) << 100;
    QTest::newRow("null") << QJsonValue(QJsonValue::Null) << 100;
    QTest::newRow("true") << QJsonValue(true) << 100;
}

void TstMainWindowAccount::roundTripValueFromScore()
{
    QFETCH(QJsonValue, score);
    QFETCH(int, rtt);
    MainWindow &w = *window;
    QJsonObject node{{"id", "n-1"}, {"name", "Test"}, {"location", "hk"}};
    if (!score.isUndefined())
        node.insert("score", score);
    server->on("GET", nodesPath("g-1", "r-1")).always(itemsReply({node}));
    STEP(signIn());
    STEP(waitForRegionMatched(QStringLiteral("加速线路：亚服 · 香港智能节点")));

    server->on("POST", SessionsPath).always(failure(403, "会员已过期，请续费"));
    QTest::mouseClick(w.startButton, Qt::LeftButton);
    QTRY_COMPARE(requestsTo(*server, "POST", SessionsPath).size(), 1);
    const QJsonValue sent = sessionRequestBody().value("probes").toArray().first().toObject().value("rtt_ms");
    QVERIFY2(sent.isDouble(), "rtt_ms is not a JSON number");
    QCOMPARE(sent.toDouble(), double(rtt));
}

void TstMainWindowAccount::noNodeOnline()
{
    MainWindow &w = *window;
    server->on("GET", nodesPath("g-1", "r-1")).always(itemsReply({}));
    STEP(signIn());
    STEP(waitForRegionMatched(QStringLiteral("加速线路：亚服 · 香港智能节点")));

    QTest::mouseClick(w.startButton, Qt::LeftButton);
    QVERIFY(!w.startButton->isEnabled());
    QTRY_COMPARE(w.statusLabel->text(), QStringLiteral("当前没有在线加速节点"));
    QCOMPARE(w.routeCard->text(), QStringLiteral("加速线路：暂无可用节点"));
    QVERIFY(w.startButton->isEnabled());
    QTest::qWait(100);
    QVERIFY(requestsTo(*server, "POST", SessionsPath).isEmpty());
}

void TstMainWindowAccount::nodeFailureReenablesStart()
{
    MainWindow &w = *window;
    server->on("GET", nodesPath("g-1", "r-1")).always(failure(500, "节点列表暂不可用"));
    STEP(signIn());
    STEP(waitForRegionMatched(QStringLiteral("加速线路：亚服 · 香港智能节点")));

    QTest::mouseClick(w.startButton, Qt::LeftButton);
    QVERIFY(!w.startButton->isEnabled());
    QTRY_COMPARE(w.statusLabel->text(), QStringLiteral("节点列表暂不可用"));
    QVERIFY(w.startButton->isEnabled());
    QCOMPARE(w.accountLabel->text(), QStringLiteral("账号：alice@example.com"));
}

void TstMainWindowAccount::nodeReplyForEarlierChoiceDropped()
{
    MainWindow &w = *window;
    server->on("GET", nodesPath("g-1", "r-1"))
        .always(itemsReply({QJsonObject{{"id", "n-1"}, {"name", "Test"}, {"location", "hk"}, {"score", 35}}},
                           600));
    STEP(signIn());
    STEP(waitForRegionMatched(QStringLiteral("加速线路：亚服 · 香港智能节点")));

    QObject hooks;
    std::optional<Shown> afterOldNodes;
    connect(w.apiClient, &ApiClient::NodesLoaded, &hooks, [&](const QString &gameId) {
        if (gameId == QStringLiteral("g-1"))
            afterOldNodes = shownBy(w);
    });
    QTest::mouseClick(w.startButton, Qt::LeftButton);
    QTRY_COMPARE(requestsTo(*server, "GET", nodesPath("g-1", "r-1")).size(), 1);
    // While the nodes are on their way, the member picks another game, which matches its region.
    w.gameList->setCurrentRow(1);
    STEP(waitForRegionMatched(QStringLiteral("加速线路：国际服 · 香港智能节点")));

    QTRY_VERIFY(afterOldNodes.has_value());
    QCOMPARE(afterOldNodes->route, QStringLiteral("加速线路：国际服 · 香港智能节点"));
    QCOMPARE(afterOldNodes->status, QStringLiteral("香港节点在线，可开始加速"));
    QVERIFY(afterOldNodes->start);

    // The next session request is the one for the new choice.
    QTest::mouseClick(w.startButton, Qt::LeftButton);
    QTRY_COMPARE(requestsTo(*server, "POST", SessionsPath).size(), 1);
    QCOMPARE(sessionRequestBody().value("game_id").toString(), QStringLiteral("g-2"));
    QCOMPARE(sessionRequestBody().value("preferred_node_id").toString(), QStringLiteral("n-2"));
}

void TstMainWindowAccount::gameChangeWhileAcceleratingKeepsSession()
{
    MainWindow &w = *window;
    STEP(startAccelerating());
    QVERIFY(w.launchButton->isEnabled());
    const int framesBefore = service->requestCount();

    w.gameList->setCurrentRow(1);
    QVERIFY(w.stopButton->isEnabled());
    QCOMPARE(w.activeSessionId, QStringLiteral("s-1"));
    QVERIFY(!w.startButton->isEnabled());
    QVERIFY(!w.launchButton->isEnabled());
    QCOMPARE(w.selectedGameSlug, QStringLiteral("pubg"));

    STEP(waitForRegionMatched(QStringLiteral("加速线路：国际服 · 香港智能节点")));
    QVERIFY(w.stopButton->isEnabled());
    QCOMPARE(w.activeSessionId, QStringLiteral("s-1"));
    QVERIFY(!w.tunnelPrivateKey.isEmpty());
    QVERIFY(requestsTo(*server, "DELETE", SessionsPath + "/s-1").isEmpty());
    QCOMPARE(service->requestCount(), framesBefore);
}

ZUMVARI_TEST_MAIN(TstMainWindowAccount)
#include "tst_mainwindow_account.moc"
