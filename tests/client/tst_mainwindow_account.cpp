// Signing in, the membership lines, signing out, and the game → region → node chain, driven through the
// window's widgets against a scripted loopback backend and a local service on the real channel.
#include "apiclient.h"
#include "clienttest.h"
#include "windowrig.h"

#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

#include <memory>
#include <optional>

using namespace Rig;

namespace {

const QColor ActiveGreen(0x45, 0xd4, 0x93);
const QColor InactiveAmber(0xf4, 0xbd, 0x66);
const QString Matching = QStringLiteral("加速线路：正在匹配…");
const QString NoRegion = QStringLiteral("当前游戏暂无可用区服");
const QByteArray LoginPath = "/api/v1/auth/login";

QJsonObject game(const QJsonValue &id, const QString &name, const QString &slug)
{
    return QJsonObject{{"id", id}, {"name", name}, {"slug", slug}};
}

QJsonObject membership(const QJsonValue &active, const QString &kind, const QString &expiresAt)
{
    return QJsonObject{{"active", active}, {"kind", kind}, {"expires_at", expiresAt}};
}

// The expiry as the window shows it in the suite's zone (UTC+8, see initTestCase).
QString shownInZone(const QDateTime &utc)
{
    return utc.addSecs(8 * 3600).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

// What the window shows at one moment, for the checks made from inside a signal.
struct Shown
{
    QString status, account, route, gameId, regionId;
    bool start = false, login = false;
    QString parts; // how many of the form's four widgets and of the card's three lines are shown
};
const QString FormOnly = QStringLiteral("form 4 card 0");
const QString CardOnly = QStringLiteral("form 0 card 3");

Shown shownBy(const MainWindow &w)
{
    return {w.statusLabel->text(),
            w.accountLabel->text(),
            w.routeCard->text(),
            w.selectedGameId,
            w.selectedRegionId,
            w.startButton->isEnabled(),
            w.loginButton->isEnabled(),
            QStringLiteral("form %1 card %2")
                .arg(w.accountEdit->isVisible() + w.passwordEdit->isVisible() + w.loginButton->isVisible() +
                     w.registerButton->isVisible())
                .arg(w.membershipStatus->isVisible() + w.membershipExpiry->isVisible() +
                     w.logoutButton->isVisible())};
}

} // namespace

class TstMainWindowAccount : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { rig.reset(); }

    void incompleteFormSendsNothing_data();
    void incompleteFormSendsNothing();
    void signInShowsAccountThenProfile();
    void refusedSignInGoesToAccountLine_data();
    void refusedSignInGoesToAccountLine();
    void failuresWhileSignedInGoToStatusLine();
    void membershipDisplay_data();
    void membershipDisplay();
    void signOutResetsAndNextAccountStartsClean();
    void gameListFilledAndFirstGameChosen();
    void secondGameListResetsThenChoosesFirst();
    void unusableRegions_data();
    void unusableRegions();
    void staleRegionReply_data();
    void staleRegionReply();
    void nodeChosenAndSessionRequested_data();
    void nodeChosenAndSessionRequested();
    void nodeNotTaken_data();
    void nodeNotTaken();
    void gameChangesDropOldNodesAndKeepTheSession();

private:
    std::unique_ptr<WindowRig> rig;
};

void TstMainWindowAccount::initTestCase()
{
    // Expiry lines are local time; a zone away from UTC shows whether the conversion happens.
    qputenv("TZ", "CST-8");
    QCOMPARE(QDateTime(QDate(2030, 1, 1), QTime(0, 0), Qt::UTC).toLocalTime().time(), QTime(8, 0));
    QVERIFY(installPairgen(QStringLiteral(PAIRGEN_PATH)));
}

void TstMainWindowAccount::init()
{
    rig = std::make_unique<WindowRig>();
    QVERIFY(rig->open());
}

void TstMainWindowAccount::incompleteFormSendsNothing_data()
{
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::newRow("no account") << QString() << QStringLiteral("secret");
    QTest::newRow("account of blanks") << QStringLiteral(" \t  ") << QStringLiteral("secret");
    QTest::newRow("no password") << QStringLiteral("alice") << QString();
}

void TstMainWindowAccount::incompleteFormSendsNothing()
{
    QFETCH(QString, account);
    QFETCH(QString, password);
    MainWindow &w = *rig->window;
    rig->submitSignIn(account, password);
    QCOMPARE(w.accountLabel->text(), QStringLiteral("请输入账号和密码"));
    QVERIFY(w.loginButton->isEnabled());
    QCOMPARE(QStringList({w.accountEdit->text(), w.passwordEdit->text()}), QStringList({account, password}));

    // A complete form afterwards is the only sign-in the backend hears of.
    QVERIFY(rig->signIn());
    QCOMPARE(rig->requestsTo("POST", LoginPath).size(), 1);
}

void TstMainWindowAccount::signInShowsAccountThenProfile()
{
    MainWindow &w = *rig->window;
    QObject hooks;
    std::optional<Shown> atSignIn, atProfile;
    QString passwordAtSignIn;
    connect(w.apiClient, &ApiClient::LoginSucceeded, &hooks, [&] {
        atSignIn = shownBy(w);
        passwordAtSignIn = w.passwordEdit->text();
    });
    connect(w.apiClient, &ApiClient::ProfileLoaded, &hooks, [&] { atProfile = shownBy(w); });

    // Blanks around the account are the client's to trim; a password of blanks is a password.
    QTest::keyClicks(w.accountEdit, QStringLiteral("  alice  "));
    QTest::keyClicks(w.passwordEdit, QStringLiteral("   "));
    QTest::mouseClick(w.loginButton, Qt::LeftButton);
    QVERIFY(!w.loginButton->isEnabled());
    QCOMPARE(w.accountLabel->text(), QStringLiteral("正在登录…"));
    QTRY_VERIFY(atProfile.has_value());
    const QJsonObject body =
        QJsonDocument::fromJson(rig->requestsTo("POST", LoginPath).value(0).body).object();
    QCOMPARE(body.value("account").toString(), QStringLiteral("alice"));
    QCOMPARE(body.value("password").toString(), QStringLiteral("   "));

    // Signed in, profile pending: the form is still there, the password gone.
    QVERIFY(atSignIn.has_value());
    QCOMPARE(atSignIn->account, QStringLiteral("已登录：alice"));
    QVERIFY(passwordAtSignIn.isEmpty());
    QVERIFY(atSignIn->login);
    QCOMPARE(atSignIn->parts, FormOnly);

    // The profile's own account name, and the card's lines in place of the form.
    QCOMPARE(atProfile->account, QStringLiteral("账号：alice@example.com"));
    QCOMPARE(atProfile->parts, CardOnly);
    // Trading the form for the card's lines never makes the column taller than the window.
    QCoreApplication::sendPostedEvents();
    QCOMPARE(w.size(), QSize(1120, 720));

    for (const QByteArray path : {"/api/v1/me", "/api/v1/games"})
        QCOMPARE(rig->requestsTo("GET", path).value(0).header("Authorization"),
                 QByteArray("Bearer access-1"));
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
    // Half a sign-in is none: the token it did get is not kept.
    QTest::newRow("token missing") << 200 << QByteArray(R"({"access_token":"access-1"})")
                                   << QStringLiteral("登录响应缺少 Token");
}

void TstMainWindowAccount::refusedSignInGoesToAccountLine()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    MainWindow &w = *rig->window;
    rig->server.on("POST", LoginPath).always(ScriptedReply::json(status, body));

    rig->submitSignIn(QStringLiteral("alice"), QStringLiteral("wrong"));
    QTRY_COMPARE(w.accountLabel->text(), message);
    QVERIFY(w.loginButton->isEnabled());
    QVERIFY(!w.apiClient->IsLoggedIn());
    QCOMPARE(w.statusLabel->text(), QStringLiteral("尚未连接本地加速服务"));
    // The typed inputs stay for a second try, and the form stays up.
    QCOMPARE(w.accountEdit->text() + '/' + w.passwordEdit->text(), QStringLiteral("alice/wrong"));
    QCOMPARE(shownBy(w).parts, FormOnly);
    QTest::qWait(100);
    QCOMPARE(rig->server.requestCount(), 2); // the release check and the sign-in
}

void TstMainWindowAccount::failuresWhileSignedInGoToStatusLine()
{
    MainWindow &w = *rig->window;
    rig->server.on("GET", "/api/v1/me").always(failure(503, QStringLiteral("会员服务维护中")));
    rig->server.on("GET", "/api/v1/games").always(items({}));
    rig->submitSignIn();
    QTRY_COMPARE(w.statusLabel->text(), QStringLiteral("会员服务维护中"));
    // Signed in without a profile: the sign-in's account line stays, so does the form.
    QCOMPARE(w.accountLabel->text(), QStringLiteral("已登录：alice"));
    QCOMPARE(shownBy(w).parts, FormOnly);
    QVERIFY(w.loginButton->isEnabled());
    // An empty game list chooses nothing and asks for no regions, so there is nothing to start.
    QTRY_COMPARE(rig->requestsTo("GET", "/api/v1/games").size(), 1);
    QVERIFY(!w.gameList->currentItem());
    QCOMPARE(w.routeCard->text(), QStringLiteral("加速线路：请选择游戏"));
    QVERIFY(!w.startButton->isEnabled());

    // A second sign-in from the form that fails is reported there too, since the first one holds.
    rig->server.on("POST", LoginPath).always(failure(401, QStringLiteral("账号或密码错误")));
    w.passwordEdit->setText(QStringLiteral("other"));
    QTest::mouseClick(w.loginButton, Qt::LeftButton);
    QVERIFY(!w.loginButton->isEnabled());
    QTRY_COMPARE(w.statusLabel->text(), QStringLiteral("账号或密码错误"));
    QVERIFY(w.loginButton->isEnabled());
    QVERIFY(w.apiClient->IsLoggedIn());
    for (const RecordedRequest &request : rig->server.requests())
        QVERIFY2(!request.path().endsWith("/regions"), request.target.constData());
}

void TstMainWindowAccount::membershipDisplay_data()
{
    QTest::addColumn<QJsonValue>("membership");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("expiry");

    const QDate today = QDateTime::currentDateTimeUtc().date();
    const QDateTime in30Days(today.addDays(30), QTime(12, 0), Qt::UTC);
    const QDateTime laterToday(today, QTime(23, 59, 59), Qt::UTC);
    const QDateTime justAfterMidnight(today.addDays(1), QTime(0, 1), Qt::UTC);
    // 07:30 at +08:00 is still the previous day in UTC: the count goes by UTC dates.
    const QDateTime offsetExpiry(today.addDays(10), QTime(7, 30), Qt::OffsetFromUTC, 8 * 3600);
    const QString in30 = in30Days.toString(Qt::ISODate);
    const QString shown30 = QStringLiteral("到期时间：") + shownInZone(in30Days);
    const QString inactive = QStringLiteral("会员状态：未开通或已过期");
    auto row = [](const char *name, const QJsonValue &m, const QString &status, const QString &expiry) {
        QTest::newRow(name) << m << status << expiry;
    };

    row("paid", membership(true, "paid", in30), "会员状态：正式会员 · 剩余 30 天", shown30);
    row("trial", membership(true, "trial", in30), "会员状态：试用会员 · 剩余 30 天", shown30);
    row("grant", membership(true, "grant", in30), "会员状态：赠送会员 · 剩余 30 天", shown30);
    row("TRIAL in capitals", membership(true, "TRIAL", in30), "会员状态：正式会员 · 剩余 30 天", shown30);
    row("later today", membership(true, "paid", laterToday.toString(Qt::ISODate)),
        "会员状态：正式会员 · 剩余 0 天", "到期时间：" + shownInZone(laterToday));
    row("tomorrow 00:01 UTC", membership(true, "paid", justAfterMidnight.toString(Qt::ISODate)),
        "会员状态：正式会员 · 剩余 1 天", "到期时间：" + shownInZone(justAfterMidnight));
    row("already expired", membership(true, "trial", "2020-01-01T00:00:00Z"),
        "会员状态：试用会员 · 剩余 0 天", "到期时间：2020-01-01 08:00");
    row("offset designator", membership(true, "paid", offsetExpiry.toString(Qt::ISODate)),
        "会员状态：正式会员 · 剩余 9 天", "到期时间：" + today.addDays(10).toString("yyyy-MM-dd") + " 07:30");
    // An invalid date-time formats as empty text.
    row("active without expiry", QJsonObject{{"active", true}, {"kind", "grant"}},
        "会员状态：赠送会员 · 剩余 0 天", "到期时间：");
    row("inactive with expiry", membership(false, "paid", "2029-06-30T20:00:00Z"), inactive,
        "到期时间：2029-07-01 04:00");
    row("inactive without expiry", QJsonObject{{"active", false}}, inactive, "到期时间：--");
    row("no membership", QJsonValue(QJsonValue::Undefined), inactive, "到期时间：--");
    row("active as a string", membership("true", "paid", in30), inactive, shown30);
}

void TstMainWindowAccount::membershipDisplay()
{
    QFETCH(QJsonValue, membership);
    QFETCH(QString, status);
    QFETCH(QString, expiry);
    const bool active = status != QStringLiteral("会员状态：未开通或已过期");
    MainWindow &w = *rig->window;
    QJsonObject profile{{"account", "alice@example.com"}};
    if (!membership.isUndefined())
        profile.insert("membership", membership);
    rig->server.on("GET", "/api/v1/me").always(json(200, profile));

    QVERIFY(rig->signIn());
    QCOMPARE(w.accountLabel->text(), QStringLiteral("账号：alice@example.com"));
    QCOMPARE(w.membershipStatus->text(), status);
    QCOMPARE(w.membershipExpiry->text(), expiry);
    QCOMPARE(w.membershipStatus->property("active").toBool(), active);
    // The colour follows the property at once.
    QCOMPARE(w.membershipStatus->palette().color(QPalette::WindowText), active ? ActiveGreen : InactiveAmber);
    // The window only shows the membership: starting is offered whatever it says.
    QVERIFY(rig->regionMatched());
}

void TstMainWindowAccount::signOutResetsAndNextAccountStartsClean()
{
    MainWindow &w = *rig->window;
    QVERIFY(rig->startService());
    rig->server.on("GET", "/api/v1/me")
        .reply(json(200, {{"account", "alice@example.com"},
                          {"membership", membership(true, "grant", "2030-01-01T00:00:00Z")}}))
        .reply(json(200, {{"account", "bob@example.com"}}));
    QVERIFY(rig->signIn());
    QVERIFY(rig->regionMatched());
    QCOMPARE(w.membershipStatus->palette().color(QPalette::WindowText), ActiveGreen);
    const int requestsBefore = rig->server.requestCount();

    QTest::mouseClick(w.logoutButton, Qt::LeftButton);
    // Nothing ran, and the local service is still told to stop.
    QCOMPARE(rig->commandsSent(ServiceCommand::Stop), 1);
    QCOMPARE(w.statusLabel->text(), QStringLiteral("当前未加速"));
    QVERIFY(!w.apiClient->IsLoggedIn());
    QCOMPARE(w.accountLabel->text(), QStringLiteral("尚未登录"));
    QCOMPARE(shownBy(w).parts, FormOnly);
    QCOMPARE(w.gameList->count(), 0);
    QCOMPARE(w.routeCard->text(), Matching);
    QCOMPARE(w.selectedGameId + w.selectedRegionId + w.selectedGameSlug, QString());
    for (QWidget *off : QWidgetList{w.startButton, w.launchButton, w.stopButton})
        QVERIFY(!off->isEnabled());
    QCoreApplication::sendPostedEvents();
    QCOMPARE(w.size(), QSize(1120, 720));

    // The next account never sees the previous one's lines.
    QObject hooks;
    std::optional<Shown> atSecondSignIn;
    connect(w.apiClient, &ApiClient::LoginSucceeded, &hooks, [&] { atSecondSignIn = shownBy(w); });
    QVERIFY(rig->signIn(QStringLiteral("bob"), QStringLiteral("hunter2")));
    QVERIFY(atSecondSignIn.has_value());
    QCOMPARE(atSecondSignIn->account, QStringLiteral("已登录：bob"));
    QCOMPARE(atSecondSignIn->parts, FormOnly);
    QCOMPARE(w.accountLabel->text(), QStringLiteral("账号：bob@example.com"));
    QCOMPARE(w.membershipStatus->text(), QStringLiteral("会员状态：未开通或已过期"));
    QCOMPARE(w.membershipExpiry->text(), QStringLiteral("到期时间：--"));
    QCOMPARE(w.membershipStatus->palette().color(QPalette::WindowText), InactiveAmber);
    // Signing out asked the backend nothing: the next request is the new sign-in.
    QCOMPARE(rig->server.requests().at(requestsBefore).path(), LoginPath);
}

void TstMainWindowAccount::gameListFilledAndFirstGameChosen()
{
    MainWindow &w = *rig->window;
    // A JSON-number id reads as empty; the region lookup then asks for the empty id.
    rig->server.on("GET", "/api/v1/games")
        .always(items({game(7, "数字编号", "numbered"), game("g-1", "反恐精英2", "cs2")}));
    rig->server.on("GET", regionsPath("")).always(items({QJsonObject{{"id", "r-0"}, {"name", "无名"}}}));
    QObject hooks;
    std::optional<Shown> atGames;
    connect(w.apiClient, &ApiClient::GamesLoaded, &hooks, [&] { atGames = shownBy(w); });

    QVERIFY(rig->signIn());
    QTRY_VERIFY(atGames.has_value());
    QStringList rows;
    for (int row = 0; row < w.gameList->count(); ++row) {
        const QListWidgetItem *item = w.gameList->item(row);
        QCOMPARE(item->data(256).metaType(), QMetaType::fromType<QString>());
        QCOMPARE(item->data(257).metaType(), QMetaType::fromType<QString>());
        rows.append(item->text() + '|' + item->data(256).toString() + '|' + item->data(257).toString());
    }
    QCOMPARE(rows, (QStringList{"数字编号||numbered", "反恐精英2|g-1|cs2"}));

    // The first game became current and asked for its regions.
    QCOMPARE(w.gameList->currentRow(), 0);
    QCOMPARE(atGames->status, QStringLiteral("正在读取可用区服…"));
    QCOMPARE(atGames->route, Matching);
    QVERIFY(!atGames->start);
    QVERIFY(rig->regionMatched(QStringLiteral("加速线路：无名 · 香港智能节点")));
    QCOMPARE(w.selectedGameId + '|' + w.selectedGameSlug + '|' + w.selectedRegionId,
             QStringLiteral("|numbered|r-0"));
    QCOMPARE(rig->requestsTo("GET", regionsPath("")).size(), 1);
}

void TstMainWindowAccount::secondGameListResetsThenChoosesFirst()
{
    MainWindow &w = *rig->window;
    // Without a profile the form stays, so the member can sign in again and get a new list.
    rig->server.on("GET", "/api/v1/me").always(failure(503, QStringLiteral("会员服务维护中")));
    rig->server.on("GET", "/api/v1/games")
        .reply(items({game("g-1", "反恐精英2", "cs2")}))
        .reply(items({game("g-2", "绝地求生", "pubg"), game("g-1", "反恐精英2", "cs2")}));
    rig->submitSignIn();
    QTRY_COMPARE(w.routeCard->text(), FirstRoute);
    QTRY_COMPARE(rig->requestsTo("GET", "/api/v1/me").size(), 1);
    QTRY_VERIFY(w.loginButton->isEnabled());

    QObject hooks;
    QStringList changes;
    connect(w.gameList, &QListWidget::currentItemChanged, &hooks, [&](QListWidgetItem *current) {
        changes.append(QStringList{current ? current->text() : QStringLiteral("none"), w.selectedGameId,
                                   w.selectedRegionId, w.routeCard->text(),
                                   QString::number(w.startButton->isEnabled())}
                           .join(QLatin1Char('|')));
    });
    rig->submitSignIn();
    QVERIFY(rig->regionMatched(SecondRoute));

    // First the old item goes (everything reset), then the new first game is chosen.
    QCOMPARE(changes, (QStringList{"none|||" + Matching + "|0", "绝地求生|g-2||" + Matching + "|0"}));
    QCOMPARE(w.gameList->count(), 2);
}

void TstMainWindowAccount::unusableRegions_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("status");
    QTest::newRow("no region") << 200 << QByteArray(R"({"items":[]})") << NoRegion;
    QTest::newRow("lookup failed") << 500 << QByteArray(R"({"message":"区服列表暂不可用"})")
                                   << QStringLiteral("区服列表暂不可用");
}

void TstMainWindowAccount::unusableRegions()
{
    QFETCH(int, code);
    QFETCH(QByteArray, body);
    QFETCH(QString, status);
    MainWindow &w = *rig->window;
    rig->server.on("GET", regionsPath("g-2")).always(ScriptedReply::json(code, body));
    QVERIFY(rig->signIn());
    QVERIFY(rig->regionMatched());
    const int requestsBefore = rig->server.requestCount();

    // A double click only changes the current game.
    const QRect second = w.gameList->visualItemRect(w.gameList->item(1));
    QTest::mouseDClick(w.gameList->viewport(), Qt::LeftButton, {}, second.center());
    QCOMPARE(w.gameList->currentRow(), 1);
    QCOMPARE(w.statusLabel->text(), QStringLiteral("正在读取可用区服…"));
    QTRY_COMPARE(w.statusLabel->text(), status);
    QCOMPARE(w.routeCard->text(), Matching);
    QCOMPARE(w.selectedGameId + '/' + w.selectedRegionId, QStringLiteral("g-2/"));
    QVERIFY(!w.startButton->isEnabled());
    QVERIFY(!w.gameList->findChild<QLineEdit *>()); // no item editor either
    QTest::qWait(100);
    QCOMPARE(rig->server.requestCount(), requestsBefore + 1);
    QCOMPARE(rig->server.lastRequest().path(), regionsPath("g-2"));
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
    MainWindow &w = *rig->window;
    rig->server.on("GET", regionsPath("g-1"))
        .always(items({QJsonObject{{"id", "r-1"}, {"name", "亚服"}}}, staleFirst ? 0 : 600));
    rig->server.on("GET", regionsPath("g-2"))
        .always(items({QJsonObject{{"id", "r-2"}, {"name", "国际服"}}}, staleFirst ? 600 : 0));
    QObject hooks;
    // The member picks the second game right after the list arrives, before the first game's regions.
    connect(w.apiClient, &ApiClient::GamesLoaded, &hooks, [&] { w.gameList->setCurrentRow(1); });
    QList<QPair<QString, Shown>> replies;
    connect(w.apiClient, &ApiClient::RegionsLoaded, &hooks, [&](const QString &gameId) {
        replies.append({gameId, shownBy(w)});
    });

    QVERIFY(rig->signIn());
    QTRY_COMPARE(replies.size(), 2);
    QCOMPARE(replies.at(0).first, staleFirst ? QStringLiteral("g-1") : QStringLiteral("g-2"));
    const Shown &stale = replies.at(staleFirst ? 0 : 1).second;
    const Shown &current = replies.at(staleFirst ? 1 : 0).second;
    QCOMPARE(current.route, SecondRoute);
    QCOMPARE(stale.status, NoRegion);
    if (staleFirst) {
        // Until the chosen game's regions come, nothing is matched.
        QCOMPARE(stale.route, Matching);
        QVERIFY(!stale.start);
        QVERIFY(stale.regionId.isEmpty());
        QCOMPARE(current.status, ReadyText);
    } else {
        // The late reply only overwrites the status line.
        QCOMPARE(stale.route, SecondRoute);
        QVERIFY(stale.start);
        QCOMPARE(stale.regionId, QStringLiteral("r-2"));
    }
    QCOMPARE(w.selectedGameId + '/' + w.selectedRegionId, QStringLiteral("g-2/r-2"));
    QVERIFY(w.startButton->isEnabled());
}

void TstMainWindowAccount::nodeChosenAndSessionRequested_data()
{
    QTest::addColumn<QJsonObject>("node");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("rtt");
    auto node = [](const QJsonValue &score, const QString &name = QStringLiteral("Test")) {
        QJsonObject n{{"id", "n-9"}, {"name", name}, {"location", "hk"}};
        if (!score.isUndefined())
            n.insert("score", score);
        return n;
    };
    const QString line = QStringLiteral("当前节点：Test · HK");
    QTest::newRow("score 35") << node(35) << line << 35;
    // One substitution: a marker inside the name is not filled in again.
    QTest::newRow("marker in name") << node(35, "Node %2") << QStringLiteral("当前节点：Node %2 · HK") << 35;
    QTest::newRow("score 0") << node(0) << line << 1;
    QTest::newRow("score -5") << node(-5) << line << 1;
    QTest::newRow("score 1") << node(1) << line << 1;
    QTest::newRow("score 87.5") << node(87.5) << line << 100;
    QTest::newRow("score \"35\"") << node("35") << line << 100;
    QTest::newRow("score 250") << node(250) << line << 250;
    QTest::newRow("no score") << node(QJsonValue::Undefined) << line << 100;
}

void TstMainWindowAccount::nodeChosenAndSessionRequested()
{
    QFETCH(QJsonObject, node);
    QFETCH(QString, line);
    QFETCH(int, rtt);
    MainWindow &w = *rig->window;
    rig->server.on("GET", nodesPath("g-1", "r-1"))
        .always(
            items({node, QJsonObject{{"id", "n-10"}, {"name", "Second"}, {"location", "sg"}, {"score", 5}}}));
    std::optional<Shown> atRequest;
    QString publicKeyAtRequest;
    rig->server.on("POST", SessionsPath).handle([&](const RecordedRequest &) {
        atRequest = shownBy(w);
        publicKeyAtRequest = w.tunnelPublicKey;
        return failure(403, QStringLiteral("会员已过期，请续费"));
    });
    QVERIFY(rig->signIn());
    QVERIFY(rig->regionMatched());

    QTest::mouseClick(w.startButton, Qt::LeftButton);
    QVERIFY(!w.startButton->isEnabled());
    QCOMPARE(w.statusLabel->text(), QStringLiteral("正在选择最优线路…"));
    QTRY_VERIFY(atRequest.has_value());
    QCOMPARE(atRequest->route, line);
    QCOMPARE(atRequest->status, QStringLiteral("正在申请加速会话…"));
    QVERIFY(!atRequest->start);

    // The first node, in the order of the chain, with this start's fresh public key only.
    const QJsonObject body = rig->lastSessionRequest();
    QCOMPARE(QStringList({body.value("game_id").toString(), body.value("region_id").toString(),
                          body.value("preferred_node_id").toString()}),
             QStringList({"g-1", "r-1", "n-9"}));
    const QJsonArray probes = body.value("probes").toArray();
    QCOMPARE(probes.size(), 1);
    QCOMPARE(probes.first().toObject().value("node_id").toString(), QStringLiteral("n-9"));
    const QJsonValue sent = probes.first().toObject().value("rtt_ms");
    QVERIFY2(sent.isDouble(), "rtt_ms is not a JSON number");
    QCOMPARE(sent.toDouble(), double(rtt));
    QCOMPARE(QByteArray::fromBase64(publicKeyAtRequest.toLatin1()).size(), 32);
    QCOMPARE(body.value("client_public_key").toString(), publicKeyAtRequest);
    QVERIFY(!body.contains("private_key"));
    QTRY_COMPARE(w.statusLabel->text(), QStringLiteral("会员已过期，请续费"));
}

void TstMainWindowAccount::nodeNotTaken_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("route");
    QTest::newRow("none online") << 200 << QByteArray(R"({"items":[]})")
                                 << QStringLiteral("当前没有在线加速节点")
                                 << QStringLiteral("加速线路：暂无可用节点");
    QTest::newRow("lookup failed") << 500 << QByteArray(R"({"message":"节点列表暂不可用"})")
                                   << QStringLiteral("节点列表暂不可用") << FirstRoute;
}

void TstMainWindowAccount::nodeNotTaken()
{
    QFETCH(int, code);
    QFETCH(QByteArray, body);
    QFETCH(QString, status);
    QFETCH(QString, route);
    MainWindow &w = *rig->window;
    rig->server.on("GET", nodesPath("g-1", "r-1")).always(ScriptedReply::json(code, body));
    QVERIFY(rig->signIn());
    QVERIFY(rig->regionMatched());

    QTest::mouseClick(w.startButton, Qt::LeftButton);
    QVERIFY(!w.startButton->isEnabled());
    QTRY_COMPARE(w.statusLabel->text(), status);
    QCOMPARE(w.routeCard->text(), route);
    QVERIFY(w.startButton->isEnabled()); // a region is matched: the start can be retried
    QCOMPARE(w.accountLabel->text(), QStringLiteral("账号：alice@example.com"));
    QTest::qWait(100);
    QVERIFY(rig->requestsTo("POST", SessionsPath).isEmpty());
}

void TstMainWindowAccount::gameChangesDropOldNodesAndKeepTheSession()
{
    MainWindow &w = *rig->window;
    QVERIFY(rig->startService());
    rig->server.on("GET", nodesPath("g-1", "r-1"))
        .always(
            items({QJsonObject{{"id", "n-1"}, {"name", "Test"}, {"location", "hk"}, {"score", 35}}}, 600));
    QVERIFY(rig->signIn());
    QVERIFY(rig->regionMatched());
    QObject hooks;
    std::optional<Shown> afterOldNodes;
    connect(w.apiClient, &ApiClient::NodesLoaded, &hooks, [&](const QString &gameId) {
        if (gameId == QLatin1String("g-1"))
            afterOldNodes = shownBy(w);
    });

    QTest::mouseClick(w.startButton, Qt::LeftButton);
    QTRY_COMPARE(rig->requestsTo("GET", nodesPath("g-1", "r-1")).size(), 1);
    // While the nodes are on their way, the member picks another game, which matches its region.
    w.gameList->setCurrentRow(1);
    QVERIFY(rig->regionMatched(SecondRoute));
    QTRY_VERIFY(afterOldNodes.has_value());
    QCOMPARE(afterOldNodes->route, SecondRoute);
    QCOMPARE(afterOldNodes->status, ReadyText);
    QVERIFY(afterOldNodes->start);

    // The next session request is the one for the new choice.
    QVERIFY(rig->accelerate());
    QCOMPARE(rig->requestsTo("POST", SessionsPath).size(), 1);
    QCOMPARE(rig->lastSessionRequest().value("game_id").toString(), QStringLiteral("g-2"));
    QCOMPARE(rig->lastSessionRequest().value("preferred_node_id").toString(), QStringLiteral("n-2"));

    // Choosing another game while accelerating leaves the acceleration alone.
    const int framesBefore = rig->service->requestCount();
    w.gameList->setCurrentRow(0);
    QVERIFY(!w.startButton->isEnabled());
    QVERIFY(!w.launchButton->isEnabled());
    QCOMPARE(w.selectedGameSlug, QStringLiteral("cs2"));
    QVERIFY(rig->regionMatched(FirstRoute));
    QVERIFY(w.stopButton->isEnabled());
    QCOMPARE(w.activeSessionId, QStringLiteral("s-1"));
    QVERIFY(!w.tunnelPrivateKey.isEmpty());
    QVERIFY(rig->requestsTo("DELETE", SessionsPath + "/s-1").isEmpty());
    QCOMPARE(rig->service->requestCount(), framesBefore);
}

ZUMVARI_TEST_MAIN(TstMainWindowAccount)
#include "tst_mainwindow_account.moc"
