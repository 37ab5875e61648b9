// Starting the chosen game through Steam from the window's launch button. The "steam" links are
// caught by a handler registered here instead of reaching the desktop.
#include "apiclient.h"
#include "clienttest.h"
#include "fakeservice.h"
#include "mainwindow.h"
#include "testserver.h"

#include <QDesktopServices>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QtTest>

#include <memory>

// Receives the links the client hands to the desktop for the "steam" scheme.
class SteamLinkCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void openUrl(const QUrl &url) { opened.append(url); }
};

namespace {

const QString ReadyText = QStringLiteral("香港节点在线，可开始加速");
const QString NoAutoLaunchText =
    QStringLiteral("该游戏暂未配置自动启动，请保持Zumvari处于“正在加速”，再从游戏官方启动器打开。");

// A game whose catalogue entry carries the given slug ("slug" left out when it is null), and a
// second game to switch to.
QByteArray gamesWithSlug(const QString &slug)
{
    QJsonObject first{{QStringLiteral("id"), QStringLiteral("g1")},
                      {QStringLiteral("name"), QStringLiteral("Game")}};
    if (!slug.isNull())
        first.insert(QStringLiteral("slug"), slug);
    const QJsonObject second{{QStringLiteral("id"), QStringLiteral("g2")},
                             {QStringLiteral("name"), QStringLiteral("PUBG")},
                             {QStringLiteral("slug"), QStringLiteral("pubg")}};
    return QJsonDocument(QJsonObject{{QStringLiteral("items"), QJsonArray{first, second}}}).toJson();
}

void scriptBackend(TestServer &server, const QString &slug)
{
    server.on("POST", "/api/v1/auth/login")
        .always(ScriptedReply::json(200, R"({"access_token":"token-A","refresh_token":"refresh-A"})"));
    server.on("GET", "/api/v1/me")
        .always(
            ScriptedReply::json(200, R"({"account":"player@example.com","membership":{"active":false}})"));
    server.on("GET", "/api/v1/games").always(ScriptedReply::json(200, gamesWithSlug(slug)));
    for (const char *game : {"g1", "g2"}) {
        const QByteArray regions = QByteArray("/api/v1/games/") + game + "/regions";
        server.on("GET", regions)
            .always(ScriptedReply::json(200, R"({"items":[{"id":"r1","name":"亚洲服"}]})"));
        server.on("GET", regions + "/r1/nodes")
            .always(ScriptedReply::json(200, R"({"items":[{"id":"n1","name":"Test","location":"hk"}]})"));
    }
    server.on("POST", "/api/v1/acceleration/sessions")
        .always(
            ScriptedReply::json(201, R"({"session_id":"s1","game_processes":[],"egress_ip":"203.0.113.7"})"));
    server.on("DELETE", "/api/v1/acceleration/sessions/s1").always(ScriptedReply(204));
}

std::unique_ptr<MainWindow> windowFor(const TestServer &server)
{
    qputenv("DIVE_DIZUVIVIVID_API_URL", server.baseUrl().toEncoded());
    return std::make_unique<MainWindow>();
}

bool signIn(MainWindow &window)
{
    window.accountEdit->setText(QStringLiteral("player@example.com"));
    window.passwordEdit->setText(QStringLiteral("secret"));
    window.loginButton->click();
    return QTest::qWaitFor([&] { return window.statusLabel->text() == ReadyText; }, 5000);
}

bool accelerate(MainWindow &window)
{
    window.startButton->click();
    return QTest::qWaitFor(
        [&] {
            return !window.activeSessionId.isEmpty() &&
                   window.statusLabel->text().startsWith(QStringLiteral("正在加速 · "));
        },
        5000);
}

struct SeenBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons standardButtons;
    int buttonCount = 0;
};

// Answers the message boxes the window runs modally: each one it sees is described and closed by
// clicking its only (or default) button, so a test never hangs on a box.
class BoxCloser
{
public:
    BoxCloser()
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this] { poll(); });
        timer.start();
    }
    QList<SeenBox> seen;

private:
    void poll()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box->property("seenByTest").toBool())
            return;
        box->setProperty("seenByTest", true);
        seen.append({box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                     int(box->buttons().size())});
        if (QAbstractButton *button = box->defaultButton() ? box->defaultButton() : box->buttons().value(0))
            button->click();
        else
            box->reject();
    }
    QTimer timer;
};

} // namespace

class TstMainWindowLaunch : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void knownSlugOpensItsSteamLink_data();
    void knownSlugOpensItsSteamLink();
    void otherGamesGetTheManualHint_data();
    void otherGamesGetTheManualHint();
    void launchWaitsForTheTunnel();
    void launchStaysAfterAStop();
    void gameChangeAndSignOutDisableLaunch();

private:
    SteamLinkCatcher catcher;
};

void TstMainWindowLaunch::initTestCase()
{
    const QString pairgen = QCoreApplication::applicationDirPath() + QStringLiteral("/pairgen.exe");
    QFile::remove(pairgen);
    QVERIFY2(QFile::copy(QStringLiteral(PAIRGEN_PATH), pairgen), PAIRGEN_PATH);
    QDesktopServices::setUrlHandler(QStringLiteral("steam"), &catcher, "openUrl");
}

void TstMainWindowLaunch::init()
{
    catcher.opened.clear();
}

void TstMainWindowLaunch::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("steam"));
}

void TstMainWindowLaunch::knownSlugOpensItsSteamLink_data()
{
    QTest::addColumn<QString>("slug");
    QTest::addColumn<QString>("appId");

    const std::pair<const char *, const char *> table[] = {
        {"cs2", "730"},
        {"pubg", "578080"},
        {"apex-legends", "1172470"},
        {"delta-force", "2507950"},
        {"repo", "3241660"},
        {"vrchat", "438100"},
        {"war-thunder-international", "236390"},
        {"yugioh-master-duel", "1449850"},
        {"goose-goose-duck", "1568590"},
        {"naraka-bladepoint", "1203220"},
        {"a-way-out", "1222700"},
        {"call-of-duty", "1938090"},
    };
    for (const auto &[slug, appId] : table)
        QTest::newRow(slug) << QString::fromLatin1(slug) << QString::fromLatin1(appId);
}

void TstMainWindowLaunch::knownSlugOpensItsSteamLink()
{
    QFETCH(QString, slug);
    QFETCH(QString, appId);

    TestServer server;
    scriptBackend(server, slug);
    FakeService service;
    BoxCloser boxes;
    auto window = windowFor(server);
    QVERIFY(signIn(*window));
    QVERIFY(accelerate(*window));
    QVERIFY(window->launchButton->isEnabled());

    window->launchButton->click();
    QTRY_COMPARE(catcher.opened.size(), 1);
    QCOMPARE(catcher.opened.first().toString(), QStringLiteral("steam://rungameid/%1").arg(appId));
    QCOMPARE(catcher.opened.first().scheme(), QStringLiteral("steam"));
    QVERIFY(boxes.seen.isEmpty());
    QVERIFY(window->launchButton->isEnabled());
}

void TstMainWindowLaunch::otherGamesGetTheManualHint_data()
{
    QTest::addColumn<QString>("slug"); // null: the catalogue entry has no "slug"

    QTest::newRow("capitals") << QStringLiteral("CS2");
    QTest::newRow("no slug") << QString();
    QTest::newRow("empty slug") << QStringLiteral("");
    QTest::newRow("not in the table") << QStringLiteral("dota2");
    QTest::newRow("table key with a blank") << QStringLiteral("cs2 ");
}

void TstMainWindowLaunch::otherGamesGetTheManualHint()
{
    QFETCH(QString, slug);

    TestServer server;
    scriptBackend(server, slug);
    FakeService service;
    BoxCloser boxes;
    auto window = windowFor(server);
    QVERIFY(signIn(*window));
    QVERIFY(accelerate(*window));
    const QString statusBefore = window->statusLabel->text();

    window->launchButton->click(); // returns once the box has been answered
    QCOMPARE(boxes.seen.size(), 1);
    const SeenBox box = boxes.seen.first();
    QCOMPARE(box.title, QStringLiteral("启动游戏"));
    QCOMPARE(box.text, NoAutoLaunchText);
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.standardButtons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.buttonCount, 1);
    QTest::qWait(100);
    QVERIFY(catcher.opened.isEmpty());
    QCOMPARE(window->statusLabel->text(), statusBefore);
    QVERIFY(window->launchButton->isEnabled());
    QCOMPARE(window->activeSessionId, QStringLiteral("s1"));
}

void TstMainWindowLaunch::launchWaitsForTheTunnel()
{
    TestServer server;
    scriptBackend(server, QStringLiteral("cs2"));
    server.on("POST", "/api/v1/acceleration/sessions")
        .reply(ScriptedReply::json(201, R"({"session_id":"s1"})").delayed(300));
    server.on("DELETE", "/api/v1/acceleration/sessions/s1").reply(ScriptedReply(204).delayed(300));
    auto window = windowFor(server);
    QVERIFY(!window->launchButton->isEnabled());
    QVERIFY(signIn(*window));
    QVERIFY(!window->launchButton->isEnabled());

    // Without a service the granted session is rolled back: the game is not offered.
    window->startButton->click();
    QTRY_COMPARE(window->statusLabel->text(), QStringLiteral("本地隧道启动失败，正在撤销会话…"));
    QVERIFY(!window->launchButton->isEnabled());
    QTRY_COMPARE(window->statusLabel->text(), QStringLiteral("当前未加速"));
    QVERIFY(!window->launchButton->isEnabled());

    FakeService service;
    server.on("POST", "/api/v1/acceleration/sessions")
        .reply(ScriptedReply::json(201, R"({"session_id":"s1"})").delayed(300));
    window->startButton->click();
    QTRY_COMPARE(window->statusLabel->text(), QStringLiteral("正在申请加速会话…"));
    QVERIFY(!window->launchButton->isEnabled());
    QTRY_VERIFY(!window->activeSessionId.isEmpty());
    QVERIFY(window->launchButton->isEnabled());
    window->launchButton->click();
    QTRY_COMPARE(catcher.opened.size(), 1);
}

void TstMainWindowLaunch::launchStaysAfterAStop()
{
    TestServer server;
    scriptBackend(server, QStringLiteral("cs2"));
    FakeService service;
    auto window = windowFor(server);
    QVERIFY(signIn(*window));
    QVERIFY(accelerate(*window));
    window->launchButton->click();
    QTRY_COMPARE(catcher.opened.size(), 1);

    window->stopButton->click();
    QTRY_COMPARE(window->statusLabel->text(), QStringLiteral("当前未加速"));
    QVERIFY(window->activeSessionId.isEmpty());
    QVERIFY(window->launchButton->isEnabled());

    window->launchButton->click();
    QTRY_COMPARE(catcher.opened.size(), 2);
    QCOMPARE(catcher.opened.at(1), QUrl(QStringLiteral("steam://rungameid/730")));
}

void TstMainWindowLaunch::gameChangeAndSignOutDisableLaunch()
{
    TestServer server;
    scriptBackend(server, QStringLiteral("cs2"));
    FakeService service;
    auto window = windowFor(server);
    QVERIFY(signIn(*window));
    QVERIFY(accelerate(*window));

    window->gameList->setCurrentRow(1);
    QVERIFY(!window->launchButton->isEnabled());
    QTRY_COMPARE(window->statusLabel->text(), ReadyText);
    QVERIFY(!window->launchButton->isEnabled()); // a matched region does not bring it back
    QCOMPARE(window->activeSessionId, QStringLiteral("s1"));

    // Back on the first game, with a fresh acceleration, then signed out.
    window->gameList->setCurrentRow(0);
    QTRY_COMPARE(window->statusLabel->text(), ReadyText);
    QVERIFY(accelerate(*window));
    QVERIFY(window->launchButton->isEnabled());
    window->logoutButton->click();
    QVERIFY(!window->launchButton->isEnabled());
    QTest::qWait(100);
    QVERIFY(catcher.opened.isEmpty());
}

ZUMVARI_TEST_MAIN(TstMainWindowLaunch)
#include "tst_mainwindow_launch.moc"
