// The window as a member meets it, against the rig's scripted backend and local service: signing in and
// the membership lines, the game, region and node choice, the release prompt, launching the game and the
// installer hand-off; and acceleration, tray and exit in a seeded randomized walk that compares, after
// every step, one summary of what the window shows and what reached the backend and the service with the
// summary a model expects.
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

const QString Idle = "当前未加速", Busy = "会话结算中，请稍后再试"; // Busy: the backend refuses a delete

// A granted session's members | the route rule sent to the service ("-": none) | the status line | the
// egress address shown.
const char Sessions[] = R"(
"game_processes":["cs2.exe"],"route_mode":"full","egress_ip":"203.0.113.7","relay":{"mtu":1420} | process-beta | 正在加速 · 智能分流 Beta（仅游戏流量） | 203.0.113.7
"game_processes":[],"rules_environment":"global-fallback" | - | 正在加速 · 全局模式（全部 IPv4 流量经香港） | 分配中
"rules_environment":"per-game","route_mode":"process-beta","egress_ip":"" | process-beta | 正在加速 · 智能分流 Beta（仅游戏流量） | 分配中
"rules_environment":"Global-Fallback","route_mode":"full","egress_ip":"203.0.113.9" | full | 正在加速 · 游戏分流模式 | 203.0.113.9
)";

// Replies to "检查服务" without a plain state, and what the window shows for them.
const char *const OddReplies[][2] = {{R"({"state":"idle","was":"accelerating"})", "正在加速"},
                                     {R"({"state":"Accelerating"})", R"({"state":"Accelerating"})"},
                                     {"state: idle", "state: idle"}};

QString balloons;

// What the window shows and what reached the backend and the service.
struct View
{
    bool start, stop, launch, keys, tray, shown, quitting, ended;
    int posts, deletes;
    QString status, account, held, frames, atDelete, balloons;

    QString text() const
    {
        const QString heard =
            QString(frames).replace('1', "status ").replace('2', "start ").replace('3', "stop ");
        return QString::asprintf("start %d stop %d launch %d keys %d tray %d shown %d quitting %d ended %d "
                                 "posts %d deletes %d\n",
                                 start, stop, launch, keys, tray, shown, quitting, ended, posts, deletes) +
               QStringList{status, account, held, heard, atDelete, balloons}.join('\n');
    }
};

} // namespace

#ifndef Q_OS_WIN
// A link seam: the offscreen platform shows no tray balloons, so the suite's own definition records them.
void QSystemTrayIcon::showMessage(const QString &title, const QString &text, MessageIcon icon, int ms)
{
    balloons += QString("%1|%2|%3|%4/").arg(title, text).arg(icon).arg(ms);
}
#endif

class TstWindow : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> links; // what the desktop was asked to open
    Q_INVOKABLE void open(const QUrl &url) { links << url; }

private:
    TestServer files{true};
    std::unique_ptr<WindowRig> rig;

    struct : View
    {
        bool signedIn, tunnel;
    } m;                            // what the window must show
    std::unique_ptr<QWidget> other; // holds the focus, so that activation shows
    QRandomGenerator random;
    int deleteStatus = 204;
    QStringList road; // the steps so far and the status each should leave, for a failure's message
    int quits = 0, stopsAtQuit = -1, brokenKeys = 0;
    QString deleteSeen;
    ScriptedReply nextSession{500};

    int pick(int n) { return int(random.bounded(n)); }
    MainWindow &w() const { return *rig->window; }
    QList<ServiceRequestRecord> frames() const
    {
        return rig->service ? rig->service->requests() : decltype(frames())();
    }

    View observed() const
    {
        View v{};
        v.start = w().startButton->isEnabled(), v.stop = w().stopButton->isEnabled();
        v.launch = w().launchButton->isEnabled(), v.keys = !w().tunnelPrivateKey.isEmpty();
        v.tray = w().trayIcon->isVisible(), v.shown = w().isVisible(), v.quitting = w().quitting;
        v.ended = quits > 0, v.status = w().statusLabel->text(), v.account = w().accountLabel->text();
        v.held = w().activeSessionId, v.atDelete = deleteSeen, v.balloons = balloons;
        for (const ServiceRequestRecord &frame : frames())
            v.frames += QString::number(frame.command);
        for (const RecordedRequest &request : rig->server.requests)
            v.posts += request.path() == SessionsPath && request.method == "POST",
                v.deletes += request.method == "DELETE";
        return v;
    }

    // At the first quit request, while everything is as the quitting code left it.
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == qApp && event->type() == QEvent::Quit && ++quits == 1)
            stopsAtQuit = int(observed().frames.count('3'));
        return false;
    }

    // The next service command fails (returns 0: no service, 1: it refuses, 2: it hangs up) or not (-1).
    int breakService(bool may)
    {
        const int fault = may && pick(3) == 0 ? pick(3) : -1;
        if (fault == 0)
            rig->service.reset(), m.frames.clear();
        else if (fault > 0)
            rig->service->queue(fault == 1 ? FakeReply{3, R"({"error":"driver"})"} : FakeReply{0, {}, true});
        return fault;
    }

    // The window's reading of the service's reply.
    bool serviceSays(ServiceCommand command, int fault)
    {
        m.frames += rig->service ? QString::number(int(command)) : QString();
        // A reply the window cannot use leaves the service as it was.
        m.tunnel =
            rig->service &&
            (fault > 0 || command == ServiceCommand::Status ? m.tunnel : command == ServiceCommand::Start);
        m.status = !rig->service ? "后台加速服务未运行"
                   : fault == 1  ? "服务拒绝了请求"
                   : fault == 2  ? "服务响应格式不正确"
                   : m.tunnel    ? "正在加速"
                                 : Idle;
        if (rig->service && fault < 1)
            m.start = !m.tunnel && m.signedIn, m.stop = m.tunnel;
        return rig->service && fault < 1;
    }

    // A stop the window asked for: the service's at once when no session is held, else the backend's first.
    void expectStop(int fault, const QString &statusAtDelete, bool confirm, bool token)
    {
        const bool held = !m.held.isEmpty();
        if (held) {
            deleteStatus = confirm ? std::array{204, 404, 410}[pick(3)] : 409; // 404, 410: already over
            road.last() += QString(", the delete answered %1").arg(deleteStatus);
            m.deletes++;
            m.atDelete = QString("%1, stops %2, quits 0, %3")
                             .arg(statusAtDelete, QString::number(m.frames.count('3')),
                                  token ? "Bearer access-1" : "Bearer");
            if (!confirm) {
                (m.signedIn ? m.status : m.account) = Busy;
                m.start = m.signedIn || m.start;
                m.shown = m.tray = m.quitting || m.tray; // the way back from a refused exit
                return;
            }
        }
        serviceSays(ServiceCommand::Stop, fault);
        if (held)
            m.held.clear(), m.keys = m.stop = false, m.status = Idle, m.start = m.signedIn;
        m.ended = m.quitting;
        m.shown = m.shown && !m.ended; // the quit closes the window, for good
    }

    void check()
    {
        road.last() += " → " + m.status;
        QTRY_COMPARE_WITH_TIMEOUT(observed().text(), m.text(), 3000);
        // The private key never reaches the backend, which gets the public key; the service never gets that.
        for (const RecordedRequest &request : rig->server.requests)
            QVERIFY(!(request.target + request.body + request.header("Authorization")).contains("PRIVKEY") &&
                    (request.method != "POST" || request.path() != SessionsPath ||
                     request.body.contains(R"("client_public_key":"PUBKEY")")));
        for (const ServiceRequestRecord &frame : frames())
            QVERIFY(!frame.payload.contains("PUBKEY"));
    }

    void closeToTray()
    {
        QVERIFY(w().close() == m.quitting && !w().isVisible()); // an ignored close keeps the window, hidden
        if (!m.quitting)
            m.balloons += QString("Zumvari仍在运行|%1|1|2500/")
                              .arg(m.held.isEmpty() ? "程序已最小化到任务栏通知区域。"
                                                    : "加速仍在运行；选择“退出并停止加速”才会断开。");
    }

    void step(int kind, bool confirm, bool last)
    {
        if (!rig->service)
            rig->service = std::make_unique<FakeService>();
        if (kind == 5 && m.quitting) // a pending exit ends through the next confirmed stop
            kind = m.stop ? 2 : 0;
        if ((kind == 1 && !m.start) || (kind == 2 && !m.stop))
            kind = m.signedIn ? 3 : 0;
        // A start offered while a session is held (after a refused stop or an idle report) is often taken. An
        // early exit comes refused and walks the way back; without a session it would end the walk.
        kind = last                                      ? kind
               : m.start && !m.held.isEmpty() && pick(2) ? 1
               : kind == 5 && m.held.isEmpty()           ? 4
                                                         : kind;
        confirm = confirm && (kind != 5 || (last && pick(2)));
        road << QString("%1: %2")
                    .arg(road.size() + 1)
                    .arg(QStringList{m.signedIn ? "sign out" : "sign in", "start", "stop", "check service",
                                     "to the tray and back", "exit"}[kind]);
        // A stop's reply may fail too, once the backend has confirmed.
        const int fault =
            kind == 1 || kind == 4
                ? -1
                : breakService(kind == 3 || ((m.held.isEmpty() || confirm) && (kind || m.signedIn)));
        switch (kind) {
        case 0:
            if (!m.signedIn) {
                QVERIFY(rig->signIn() && rig->regionMatched());
                m.signedIn = m.start = true, m.launch = false;
                m.status = Ready, m.account = w().accountLabel->text();
                break;
            }
            w().logoutButton->click();
            m.account = "尚未登录";
            m.signedIn = m.start = m.launch = false;
            expectStop(fault, m.status, confirm, true);
            break;
        case 1:
            return start(confirm);
        case 2:
            w().stopButton->click();
            QVERIFY(!w().stopButton->isEnabled()); // while the stop is under way
            m.stop = false;
            expectStop(fault, "正在停止加速…", confirm, m.signedIn);
            break;
        case 3: {
            if (fault != 0 && pick(4) == 0) // the tunnel came or went behind the window's back
                rig->service->setAccelerating(m.tunnel = !m.tunnel);
            const int odd = fault < 0 ? pick(6) - 3 : -1;
            if (odd >= 0)
                rig->service->queue(FakeReply{0, OddReplies[odd][0]});
            w().findChild<QPushButton *>("checkServiceButton")->click();
            if (odd < 0) {
                serviceSays(ServiceCommand::Status, fault);
                break;
            }
            m.frames += QLatin1Char('1');
            m.status = QString::fromUtf8(OddReplies[odd][1]);
            m.start = m.start && odd != 0;
            m.stop = m.stop || odd == 0;
            break;
        }
        case 4: { // away to the tray, minimised or maximised, and back through the tray
            const int from = pick(3);
            from == 0 ? closeToTray() : from == 1 ? w().showMinimized() : w().showMaximized();
            const auto before = std::pair(w().isVisible(), int(w().windowState()));
            other->activateWindow();
            QTRY_VERIFY(other->isActiveWindow());
            for (int reason = pick(6);; reason = pick(6)) { // 5: the menu's open action
                reason == 5 ? w().trayIcon->contextMenu()->actions().constFirst()->trigger()
                            : w().trayIcon->activated(QSystemTrayIcon::ActivationReason(reason));
                if (reason == 5 || reason == QSystemTrayIcon::Trigger ||
                    reason == QSystemTrayIcon::DoubleClick)
                    break;
                QCOMPARE(std::pair(w().isVisible(), int(w().windowState())), before);
            }
            QCOMPARE(w().windowState(), Qt::WindowNoState);
            QTRY_VERIFY(w().isActiveWindow());
            break;
        }
        case 5:
            if (pick(2) == 0) {
                closeToTray();
                m.shown = false;
            }
            w().trayIcon->contextMenu()->actions().constLast()->trigger();
            m.quitting = true, m.tray = false;
            if (!m.held.isEmpty())
                m.status = "正在停止加速并退出…";
            expectStop(fault, m.status, confirm, m.signedIn);
            break;
        }
        check();
    }

    void start(bool confirm)
    {
        if (m.held.isEmpty() && pick(3) == 0) { // a broken key-pair program: nobody is asked
            const int broken = brokenKeys++ % 3;
            QVERIFY(installProgram(broken == 0   ? ""
                                   : broken == 1 ? "#!/bin/sh\nprintf '{\"public_key\":\"p\"}'\n"
                                                 : Keys + "exit 1\n"));
            w().startButton->click();
            m.status = broken == 1 ? "隧道密钥生成失败" : "无法生成隧道密钥，请重新安装客户端";
            QVERIFY(installProgram(Keys));
            return check();
        }
        const bool grant = pick(m.held.isEmpty() ? 4 : 2) > 0;
        const QStringList session = QString(Sessions).split('\n', Qt::SkipEmptyParts)[pick(4)].split(" | ");
        const QByteArray id = "s-" + QByteArray::number(m.posts + 1);
        const QByteArray body = "{\"session_id\":\"" + id + "\"," + session[0].toUtf8() + '}';
        nextSession = grant ? ScriptedReply::json(201, body) : failure(403, "会员已过期，请续费");
        rig->server.on("DELETE", SessionsPath + '/' + id).handle([this](const RecordedRequest &request) {
            deleteSeen = QString("%1, stops %2, quits %3, %4")
                             .arg(w().statusLabel->text(), QString::number(observed().frames.count('3')),
                                  QString::number(quits), request.header("Authorization"));
            return deleteStatus == 409 ? failure(409, Busy) : ScriptedReply(deleteStatus);
        });
        const int fault = breakService(grant);
        const bool odd = grant && fault < 0 && pick(5) == 0; // a reply without a state word
        if (odd)
            rig->service->queue(FakeReply{0, R"({"tunnel":"up"})"});
        w().startButton->click();
        QCOMPARE(w().statusLabel->text(), "正在选择最优线路…");
        QVERIFY(!w().startButton->isEnabled());
        m.posts++;
        m.start = !grant;
        m.held = grant ? QString::fromLatin1(id) : m.held; // a held session is replaced, not handed back
        m.keys = grant;
        m.frames += odd ? "2" : "";
        const bool running = grant && (odd || serviceSays(ServiceCommand::Start, fault));
        m.launch = running || (grant && m.launch);
        if (!grant)
            m.status = "会员已过期，请续费", m.stop = false;
        else if (running)
            m.status = session[2];
        else
            expectStop(-1, "本地隧道启动失败，正在撤销会话…", confirm, true);
        check();
        if (QTest::currentTestFailed() || !grant || !rig->service)
            return;
        // The start payload: the whole session, the private key printed, the route rule.
        QJsonObject payload = QJsonDocument::fromJson(body).object();
        payload["private_key"] = "PRIVKEY";
        if (session[1] != "-")
            payload["route_mode"] = session[1];
        QByteArray sent;
        for (const ServiceRequestRecord &frame : frames())
            sent = frame.command == quint16(ServiceCommand::Start) ? frame.payload : sent;
        QCOMPARE(sent, QJsonDocument(payload).toJson(QJsonDocument::Compact));
        if (running)
            QCOMPARE(w().routeCard->text(), "当前节点：Hong Kong Test Node · 加速 IP：" + session[3]);
    }

private slots:
    void initTestCase()
    {
        // Expiry lines are local time; a zone away from UTC shows whether the conversion happens.
        qputenv("TZ", "CST-8");
        QCOMPARE(QDateTime(QDate(2030, 1, 1), QTime(0, 0), Qt::UTC).toLocalTime().time(), QTime(8, 0));
        QVERIFY(installProgram(Keys));
        for (const char *scheme : {"https", "steam"})
            QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    void cleanupTestCase()
    {
        for (const char *scheme : {"https", "steam"})
            QDesktopServices::unsetUrlHandler(scheme);
    }
    void init()
    {
        rig.reset(); // first: the old service would take the new one's socket away
        rig = std::make_unique<WindowRig>();
        QVERIFY(rig->open());
    }
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
            // "登录" is off while the backend is asked.
            QCOMPARE(w.loginButton->isEnabled(), account.trimmed().isEmpty() || password.isEmpty());
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
        QCOMPARE(rig->service->requests().size(), 1);
        QCOMPARE(rig->service->requests()[0].command, int(ServiceCommand::Stop));
        QCOMPARE(seen(w), "尚未登录 | 当前未加速 | " + Matching + " | L--- // | ++++---");
        QVERIFY(w.gameList->count() == 0 && !w.apiClient->IsLoggedIn());
        // A game list that arrives after the sign-out leaves a game current with nobody signed in: an idle
        // report must not offer start then.
        emit w.apiClient->GamesLoaded({QJsonObject{{"id", "g-1"}, {"name", "反恐精英2"}}});
        w.findChild<QPushButton *>("checkServiceButton")->click();
        QVERIFY(w.gameList->currentItem());
        QCOMPARE(middle(w), "当前未加速 | " + Matching + " | L--- //");
        // The window keeps its size through sign-ins and sign-outs.
        QVERIFY(rig->signIn("bob", "hunter2"));
        QCOMPARE(rig->server.requests.at(requests).path(), "/api/v1/auth/login");
        QCoreApplication::sendPostedEvents();
        QCOMPARE(w.size(), QSize(1120, 720));
        // One device id for every sign-in: a random one without braces, made at the first and stored.
        QSet<QString> ids;
        for (const RecordedRequest &request : rig->server.requests)
            ids << QJsonDocument::fromJson(request.body)["device_id"].toString();
        const QString id = QSettings().value("device/id").toString();
        ids.remove("");
        QVERIFY2(ids == QSet<QString>() << id && QUuid(id).version() == QUuid::Random &&
                     QUuid(id).toString(QUuid::WithoutBraces) == id,
                 qPrintable(id));

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
        // A refusal offers no start without a region.
        emit w.apiClient->AccelerationFailed("会员已过期，请续费");
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
        QVERIFY(installProgram("#!/bin/sh\ntouch '" + marker.toUtf8() + "'$#\n", path));
        for (const bool startable : {false, true}) {
            if (startable)
                init();
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

    // A start being set up or a session deleted (the road's last request answers late) while "检查服务"
    // reports idle or another game's region arrives: start stays off and a click sends nothing; the answer
    // offers start again. Road: requests | meanwhile | the late one: method, path, status, body | status
    // after.
    void requestsInFlight_data()
    {
        rows(R"(
nodes, region reply | 1 | region | GET /api/v1/games/g-1/regions/r-1/nodes 200 {"items":[]} | 香港节点在线，可开始加速
session, idle report | 2 | idle | POST /api/v1/acceleration/sessions 403 {"message":"会员已过期，请续费"} | 会员已过期，请续费
rollback, idle report | 3 | idle | DELETE /api/v1/acceleration/sessions/s-1 204 | 当前未加速
rollback, region reply | 3 | region | DELETE /api/v1/acceleration/sessions/s-1 204 | 当前未加速
stop, idle report | 1 | idle | DELETE /api/v1/acceleration/sessions/s-1 204 | 当前未加速
stop, region reply | 1 | region | DELETE /api/v1/acceleration/sessions/s-1 204 | 当前未加速
)");
    }
    void requestsInFlight()
    {
        QFETCH(QStringList, row);
        const QString road = QTest::currentDataTag();
        const QList<QByteArray> late = row[2].toUtf8().split(' ');
        QVERIFY(rig->signIn() && rig->regionMatched());
        if (road.startsWith("stop"))
            w().startButton->click(); // s-1, which the stop button deletes
        QTRY_VERIFY(!road.startsWith("stop") || w().stopButton->isEnabled());
        if (road.startsWith("rollback"))
            rig->service->queue(FakeReply{3}); // the tunnel start fails
        ScriptedReply reply = ScriptedReply::json(late[2].toInt(), late.value(3));
        reply.delayMs = 500;
        rig->server.on(late[0], late[1]).reply(reply);
        const qsizetype from = rig->server.requests.size();
        (road.startsWith("stop") ? w().stopButton : w().startButton)->click();
        QTRY_COMPARE(rig->server.requests.size() - from, row[0].toInt());
        if (row[1] == "idle")
            rig->service->queue(FakeReply{0, R"({"state":"idle"})"});
        row[1] == "idle" ? w().findChild<QPushButton *>("checkServiceButton")->click()
                         : w().gameList->setCurrentRow(1);
        QTRY_COMPARE(w().statusLabel->text(), row[1] == "idle" ? Idle : Ready);
        w().startButton->click(); // off: it sends nothing
        QTRY_COMPARE(w().statusLabel->text() + (w().startButton->isEnabled() ? " | start" : ""),
                     row[3] + " | start");
        // The road's requests and, after a game change, its regions: no start went out.
        QCOMPARE(rig->server.requests.size() - from, row[0].toInt() + (row[1] == "region"));
    }

    // A confirmation that comes after a start replaced its session leaves the newer one held and running; a
    // pending exit goes on with it, and ends the program when the backend no longer knows that one either.
    void lateStopKeepsNewerSession()
    {
        QVERIFY(rig->signIn() && rig->regionMatched());
        w().startButton->click();
        QTRY_VERIFY(w().stopButton->isEnabled());
        const QString running = seen(w()) + " s-1 1"; // and the service heard only the start
        w().apiClient->StopSession("s-0");
        QTRY_VERIFY(!w().apiClient->AccelerationRequestInFlight());
        QCOMPARE(seen(w()) + QString(" %1 %2").arg(w().activeSessionId).arg(rig->service->requests().size()),
                 running);
        w().quitting = true;
        rig->server.on("DELETE", SessionsPath + "/s-1").reply(ScriptedReply(404)); // over there already
        QCOMPARE(runEventLoop([&] { w().apiClient->StopSession("s-0"); }), 0);
        QCOMPARE(rig->service->requests().last().command, quint16(ServiceCommand::Stop));
    }

    // Eight fixed seeds; `tst_window walk:"seed N"` replays one.
    void walk_data()
    {
        QTest::addColumn<quint32>("seed");
        for (quint32 seed = 20261207; seed < 20261215; ++seed)
            QTest::addRow("seed %u", seed) << seed;
    }
    void walk()
    {
        QFETCH(quint32, seed);
        random.seed(seed);
        m = {}, m.tray = m.shown = true;
        quits = 0, stopsAtQuit = -1, balloons.clear(), deleteSeen.clear(), road.clear();
        other = std::make_unique<QWidget>();
        other->show();
        QCOMPARE(w().trayIcon->toolTip(), "Zumvari游戏加速器");
        m.status = w().statusLabel->text();
        m.account = w().accountLabel->text();
        rig->server.on("POST", SessionsPath).handle([this](const RecordedRequest &) { return nextSession; });
        qApp->installEventFilter(this);
        const int result = runEventLoop(
            [this] {
                // Kinds by weight: sign-in/out, start, stop, check, tray, exit; an exit ends the last steps.
                for (int n = 0; n < 60 && !m.ended && !QTest::currentTestFailed(); ++n)
                    step(n < 45 ? "000111111122222223333333444445"[pick(30)] - '0' : 5,
                         n >= 45 || pick(3) > 0, n >= 45);
                if (!quits)
                    QCoreApplication::exit(NotQuit);
            },
            120000);
        qApp->removeEventFilter(this);
        if (QTest::currentTestFailed())
            return qWarning("the walk of seed %u failed at step %lld: %s\nseen:\n%s\nexpected:\n%s", seed,
                            road.size(), qPrintable(road.join("; ")), qPrintable(observed().text()),
                            qPrintable(m.text()));
        QCOMPARE(result, 0);
        QVERIFY(w().close()); // an ending program's window closes for good, without a notice
        QCOMPARE(stopsAtQuit, m.frames.count('3')); // the service heard the stop before the program ended
    }
};

ZUMVARI_TEST_MAIN(TstWindow)
#include "tst_window.moc"
