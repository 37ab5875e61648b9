// The window as a member meets it, against the rig's scripted backend and local service: signing in and
// the membership lines, the game, region and node choice, the release prompt, and, during an
// acceleration, launching the game and the installer hand-off.
#include "clienttest.h"

using namespace ClientTest;

namespace {

const QString Matching = "加速线路：正在匹配…", NoRegion = "当前游戏暂无可用区服";
const QString FirstRoute = "加速线路：亚服 · 香港智能节点", SecondRoute = "加速线路：国际服 · 香港智能节点";
const QString SignedOut = " | 尚未连接本地加速服务 | 加速线路：请选择游戏 | ",
              Off = "会员状态：未开通或已过期";

// What the member sees: account | status | route | enabled login, start, stop, launch and the chosen
// game/region/slug | shown: the form's four widgets, the card's three lines.
QString seen(const MainWindow &w)
{
    QString on, shown;
    for (const auto &[b, c] :
         {std::pair(w.loginButton, 'L'), {w.startButton, 'S'}, {w.stopButton, 'X'}, {w.launchButton, 'G'}})
        on += QLatin1Char(b->isEnabled() ? c : '-');
    for (QWidget *v :
         std::initializer_list<QWidget *>{w.accountEdit, w.passwordEdit, w.loginButton, w.registerButton,
                                          w.membershipStatus, w.membershipExpiry, w.logoutButton})
        shown += QLatin1Char(v->isVisible() ? '+' : '-');
    const QString ids = QStringList{w.selectedGameId, w.selectedRegionId, w.selectedGameSlug}.join('/');
    return QStringList{w.accountLabel->text(), w.statusLabel->text(), w.routeCard->text(), on + ' ' + ids,
                       shown}
        .join(" | ");
}
const auto middle = [](const MainWindow &w) { return seen(w).section(" | ", 1, 3); }; // status to buttons

// Answers the modal boxes in turn from a timer (it fires inside their loops too): a button's text, else
// Esc; past the answers the box is dismissed. Notes each as "title|text|informative text|buttons, * on
// the default".
struct Boxes : QObject
{
    explicit Boxes(QStringList answers = {}) : answers(answers) { startTimer(10); }
    QStringList answers, seen;
    void timerEvent(QTimerEvent *) override
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        QStringList buttons;
        for (QAbstractButton *b : box->buttons())
            buttons << (box->defaultButton() == b ? "*" : "") + b->text();
        seen << box->windowTitle() + '|' + box->text() + '|' + box->informativeText() + '|' +
                    buttons.join('/');
        const QString how = answers.isEmpty() ? "" : answers.takeFirst();
        for (QAbstractButton *b : box->buttons())
            if (b->text() == how)
                return b->click();
        how.isEmpty() ? box->done(0) : QTest::keyClick(box, Qt::Key_Escape);
    }
};

} // namespace

class TstWindowMember : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> links; // what the desktop was asked to open
    Q_INVOKABLE void open(const QUrl &url) { links << url; }

private:
    void fresh(bool open = true)
    {
        rig.reset(); // first: the old service would take the new one's socket away
        rig = std::make_unique<WindowRig>();
        QVERIFY(!open || rig->open());
    }
    TestServer files{true};
    std::unique_ptr<WindowRig> rig;

private slots:
    void initTestCase()
    {
        // Expiry lines are local time; a zone away from UTC shows whether the conversion happens.
        qputenv("TZ", "CST-8");
        QCOMPARE(QDateTime(QDate(2030, 1, 1), QTime(0, 0), Qt::UTC).toLocalTime().time(), QTime(8, 0));
        QVERIFY(installKeyProgram(Keys));
        trustTestCa();
        for (const char *scheme : {"https", "steam"})
            QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    void cleanupTestCase()
    {
        for (const char *scheme : {"https", "steam"})
            QDesktopServices::unsetUrlHandler(scheme);
    }
    void init() { fresh(); }
    void cleanup() { rig.reset(); }

    void signInToRouteChoice()
    {
        MainWindow &w = *rig->window;
        QCOMPARE(w.windowTitle() + QString(" %1x%2").arg(w.width()).arg(w.height()), "游戏加速器 1120x720");
        QTest::mouseClick(w.registerButton, Qt::LeftButton); // opens the link and changes nothing
        QVERIFY(links.size() == 1 && links[0].scheme() == "https" && !links[0].host().isEmpty());
        // Id rules outrank :disabled; disabled, the stop and launch buttons too turn slate grey.
        for (QPushButton *b : {w.startButton, w.stopButton, w.launchButton})
            QCOMPARE(QColor(b->grab().toImage().pixel(10, b->height() / 2)), QColor(0x29, 0x32, 0x44));

        // Typed account and password, then what is shown with the inputs' texts. The backend refuses the
        // first sign-in it hears; the client trims the account, and a password of blanks is a password.
        rig->server.on("POST", "/api/v1/auth/login").reply(failure(401, "账号或密码错误"));
        const auto now = [&] {
            return seen(w) + " [" + w.accountEdit->text() + '/' + w.passwordEdit->text() + ']';
        };
        const QString form = SignedOut + "L--- // | ++++--- [";
        QCOMPARE(now(), "尚未登录" + form + "/]");
        const std::tuple<QString, QString, QString> attempts[] = {
            {" \t ", "secret", "请输入账号和密码" + form + " \t /secret]"},
            {"alice", "", "请输入账号和密码" + form + "alice/]"},
            {"alice", "x", "账号或密码错误" + form + "alice/x]"},
            {"  alice  ", "   ",
             "账号：alice@example.com | " + Ready + " | " + FirstRoute +
                 " | LS-- g-1/r-1/cs2 | ----+++ [  alice  /]"}};
        for (const auto &[account, password, shown] : attempts) {
            rig->submitSignIn(account, password);
            QTRY_COMPARE(now(), shown);
        }

        // The membership lines of later profiles: the days by UTC date, the expiry in local time.
        const QDate today = QDateTime::currentDateTimeUtc().date();
        // 07:30 at +08:00 is the day before in UTC.
        const QDateTime in30(today.addDays(30), QTime(12, 0), Qt::UTC),
            offset(today.addDays(10), QTime(7, 30), Qt::OffsetFromUTC, 8 * 3600),
            past(today.addDays(-400), QTime(1, 0), Qt::UTC);
        const auto m = [](const QJsonValue &active, const char *kind, const QDateTime &expires) {
            return QJsonObject{
                {"active", active}, {"kind", kind}, {"expires_at", expires.toString(Qt::ISODate)}};
        };
        const auto local = [](const QDateTime &t) {
            return " | 到期时间：" + t.toOffsetFromUtc(8 * 3600).toString("yyyy-MM-dd HH:mm");
        };
        const QString paid = "会员状态：正式会员 · 剩余 ";
        const std::pair<QJsonValue, QString> profiles[] = {
            {m(true, "paid", in30), paid + "30 天" + local(in30)},
            {m(true, "trial", past), "会员状态：试用会员 · 剩余 0 天" + local(past)},
            {m(true, "grant", in30), "会员状态：赠送会员 · 剩余 30 天" + local(in30)},
            {m(true, "TRIAL", in30), paid + "30 天" + local(in30)},
            {m(true, "paid", offset), paid + "9 天" + local(offset)},
            {m(false, "paid", in30), Off + local(in30)},
            {QJsonValue::Undefined, Off + " | 到期时间：--"}};
        for (const auto &[membership, shown] : profiles) {
            emit w.apiClient->ProfileLoaded({{"membership", membership}});
            QCOMPARE(w.membershipStatus->text() + w.membershipExpiry->text().prepend(" | "), shown);
            QCOMPARE(w.membershipStatus->palette().color(QPalette::WindowText),
                     QColor(shown.startsWith(Off) ? 0xf4bd66 : 0x45d493)); // the colour follows at once
        }

        const int requests = int(rig->server.requests.size());
        QTest::mouseClick(w.logoutButton, Qt::LeftButton);
        // Nothing ran, yet the local service is told to stop; the backend hears nothing.
        QCOMPARE(rig->commandsSent(ServiceCommand::Stop), 1);
        QCOMPARE(seen(w), "尚未登录 | 当前未加速 | " + Matching + " | L--- // | ++++---");
        QVERIFY(w.gameList->count() == 0 && !w.apiClient->IsLoggedIn());
        // The window keeps its size through sign-ins and sign-outs.
        QVERIFY(rig->signIn("bob", "hunter2"));
        QCOMPARE(rig->server.requests.at(requests).path(), "/api/v1/auth/login");
        QCoreApplication::sendPostedEvents();
        QCOMPARE(w.size(), QSize(1120, 720));

        // Then the game, region and node choice.
        QString sent; // the window and the choice as the session request went out; the backend refuses it
        rig->server.on("POST", SessionsPath).handle([&](const RecordedRequest &request) {
            QJsonObject body = QJsonDocument::fromJson(request.body).object();
            body["client_public_key"] = body["client_public_key"] == w.tunnelPublicKey; // this start's key
            sent = middle(w) + ' ' + QJsonDocument(body).toJson(QJsonDocument::Compact);
            return failure(403, "会员已过期，请续费");
        });
        // The nodes reply to a start, then status | route; one substitution: the marker in the name stays.
        const QString node = "当前节点：Test %2 · HK";
        const std::tuple<ScriptedReply, QString, QString> starts[] = {
            {failure(500, "节点列表暂不可用"), "节点列表暂不可用 | " + FirstRoute, ""},
            {items({QJsonObject{{"id", "n-9"}, {"name", "Test %2"}, {"location", "hk"}, {"score", 0}},
                    QJsonObject{{"id", "n-10"}, {"name", "Second"}, {"location", "sg"}}}),
             "会员已过期，请续费 | " + node,
             "正在申请加速会话… | " + node +
                 R"( | L--- g-1/r-1/cs2 {"client_public_key":true,"game_id":"g-1",)"
                 R"("preferred_node_id":"n-9","probes":[{"jitter_ms":0,"loss_rate":0,"node_id":"n-9","rtt_ms":1}],)"
                 R"("region_id":"r-1"})"},
            {items({}), "当前没有在线加速节点 | 加速线路：暂无可用节点", ""}};
        QVERIFY(rig->regionMatched());
        for (const auto &[reply, shown, request] : starts) {
            sent.clear();
            rig->server.on("GET", "/api/v1/games/g-1/regions/r-1/nodes").reply(reply);
            QTest::mouseClick(w.startButton, Qt::LeftButton);
            QTRY_COMPARE(middle(w), shown + " | LS-- g-1/r-1/cs2");
            QCOMPARE(sent, request);
        }

        // Another game: while its regions are on their way, replies for an earlier choice and failures
        // change only the status line.
        const QJsonArray asia{QJsonObject{{"id", "r-1"}, {"name", "亚服"}}};
        const QString waiting = " | " + Matching + " | L--- g-2//pubg";
        w.gameList->setCurrentRow(1);
        QCOMPARE(middle(w), "正在读取可用区服…" + waiting);
        emit w.apiClient->RegionsLoaded("g-1", asia);
        QCOMPARE(middle(w), NoRegion + waiting);
        emit w.apiClient->RequestFailed("区服列表暂不可用");
        QCOMPARE(middle(w), "区服列表暂不可用" + waiting);
        emit w.apiClient->AccelerationFailed(
            "会员已过期，请续费"); // a refusal offers no start without a region
        QCOMPARE(middle(w), "会员已过期，请续费" + waiting);
        emit w.apiClient->RegionsLoaded("g-2", {});
        QCOMPARE(middle(w), NoRegion + waiting);
        QVERIFY(rig->regionMatched(SecondRoute));
        emit w.apiClient->RegionsLoaded("g-1", asia);
        for (const QString ids : {"g-1/r-2", "g-2/r-1"})
            emit w.apiClient->NodesLoaded(ids.section('/', 0, 0), ids.section('/', 1),
                                          {QJsonObject{{"id", "n-1"}}});
        QCOMPARE(middle(w), NoRegion + " | " + SecondRoute + " | LS-- g-2/r-2/pubg");
    }

    void releasePrompt()
    {
        const QByteArray setup = "#!/bin/sh\n", path = "/files/Zumvari-0.5.0-Setup.exe";
        const QString release = QString(R"({"version":"0.5.0","download_url":"%1","sha256":"%2",)"
                                        R"("size_bytes":10,"mandatory":%3,"release_notes":"%4"})")
                                    .arg(files.url(path).toString(),
                                         QCryptographicHash::hash(setup, QCryptographicHash::Sha256).toHex());
        const QString install = "安装更新|新版已下载并通过安全校验。现在退出Zumvari并开始升级吗？||*&Yes/&No";
        // Mandatory, notes, the answer, downloads: a mandatory release's one button is also its escape.
        const std::tuple<bool, QString, QString, bool> rows[] = {
            {false, "修复了若干问题", "稍后提醒", false},
            {false, "<b>新功能</b>", "下载并升级", true},
            {true, "安全更新", "Esc", true},
        };
        for (const auto &[mandatory, notes, how, downloads] : rows) {
            fresh(false);
            rig->server.on("GET", "/api/v1/client/releases/latest")
                .always(ScriptedReply::json(200, release.arg(mandatory ? "true" : "false", notes).toUtf8()));
            QString atDownload;
            files.on("GET", path).handle([&](const RecordedRequest &) {
                return atDownload = rig->window->statusLabel->text(), ScriptedReply(200, setup);
            });
            Boxes boxes({how});
            QVERIFY(rig->open());
            QTRY_COMPARE(boxes.seen.size(), downloads ? 2 : 1);
            QTest::qWait(300); // a download, had one started, would have been asked for by now
            QCOMPARE(boxes.seen.join('\n'), "发现新版本|Zumvari 0.5.0 已发布|" + notes +
                                                (mandatory ? "|下载并升级" : "|下载并升级/稍后提醒") +
                                                (downloads ? '\n' + install : ""));
            // Declining the install only says so.
            QCOMPARE(atDownload + '>' + rig->window->statusLabel->text(),
                     downloads ? "正在下载更新…>更新已下载，可稍后重新检查更新" : ">尚未连接本地加速服务");
        }
        MainWindow &w = *rig->window;
        emit w.apiClient->UpdateDownloadProgress(1, 3);
        emit w.apiClient->UpdateDownloadProgress(5, 0); // no total: the line stays
        QCOMPARE(w.statusLabel->text(), "正在下载更新：33%");
        // A failed download: the status line says it first, then the warning box.
        QString atBox;
        QTimer::singleShot(0, this, [&] { atBox = w.statusLabel->text(); }); // fires while the box is up
        Boxes boxes;
        emit w.apiClient->UpdateDownloadFailed("更新下载失败：连接被重置");
        QCOMPARE(atBox + '>' + boxes.seen.join('\n'),
                 "更新下载失败：连接被重置>更新失败|更新下载失败：连接被重置||*OK");
    }

    void launchAndInstallerHandOff()
    {
        const QString dir = QDir::tempPath(), marker = dir + "/installer-ran", path = dir + "/setup.exe";
        const QString box =
            "启动游戏|该游戏暂未配置自动启动，请保持Zumvari处于“正在加速”，再从游戏官方启动器打开。||*OK";
        // The installer leaves a file named after the count of its arguments.
        QFile file(path);
        QVERIFY(
            file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\ntouch '" + marker.toUtf8() + "'$#\n") &&
            file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        file.close();
        for (const bool startable : {false, true}) {
            fresh();
            MainWindow &w = *rig->window;
            QVERIFY(rig->signIn() && rig->regionMatched());
            QTest::mouseClick(w.startButton, Qt::LeftButton);
            QTRY_VERIFY(w.launchButton->isEnabled() && !w.activeSessionId.isEmpty());
            // slug=Steam id; an empty id: the information box instead of a link.
            const QString table = "cs2=730;pubg=578080;apex-legends=1172470;delta-force=2507950;repo=3241660;"
                                  "vrchat=438100;war-thunder-international=236390;yugioh-master-duel=1449850;"
                                  "goose-goose-duck=1568590;naraka-bladepoint=1203220;a-way-out=1222700;"
                                  "call-of-duty=1938090;CS2=;cs2 =;=";
            for (const QString &entry : table.split(';')) {
                links.clear();
                w.selectedGameSlug = entry.section('=', 0, 0);
                Boxes boxes;
                w.launchButton->click();
                const QString appId = entry.section('=', 1);
                QCOMPARE(links.value(0).toString() + boxes.seen.join(""),
                         appId.isEmpty() ? box : "steam://rungameid/" + appId);
            }

            // Accepting the install during an acceleration touches neither the backend session nor the
            // tunnel.
            const QString before = w.activeSessionId + middle(w);
            Boxes boxes({"&Yes", "OK"});
            // A folder is no program: the start fails.
            const auto handOff = [&] { emit w.apiClient->UpdateDownloaded(startable ? path : dir); };
            QCOMPARE(runEventLoop(handOff, startable ? 10000 : 1000), startable ? 0 : NotQuit);
            QCOMPARE(boxes.seen.mid(1).join(""), startable ? "" : "更新失败|无法启动更新安装程序||*OK");
            QTRY_COMPARE(QFile::exists(marker + "0"), startable); // without arguments
            QTest::qWait(200);
            QCOMPARE(w.activeSessionId + middle(w), before);
            // Once the installer runs, the window closes for good instead of going to the tray.
            QCloseEvent close;
            QCoreApplication::sendEvent(&w, &close);
            QCOMPARE(close.isAccepted(), startable);
            w.gameList->setCurrentRow(1); // another game takes the launch button away
            QVERIFY(!w.launchButton->isEnabled());
        }
    }
};

ZUMVARI_TEST_MAIN(TstWindowMember)
#include "tst_window_member.moc"
