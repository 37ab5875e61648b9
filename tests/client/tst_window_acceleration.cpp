// Acceleration, tray and exit through the real window: a randomized walk against the rig (scripted
// backend, local service on the real channel, the real key-pair program) that checks after every step
// what the window shows, what reached the backend and the service, and in which order.
//
// The offscreen platform keeps no trace of tray balloons, so this file also builds (with
// RECORDING_TRAY_THEME_PLUGIN) as a platform theme whose tray icon records them.

#ifdef RECORDING_TRAY_THEME_PLUGIN

#include <QGuiApplication>
#include <QRect>
#include <QVariant>
#include <qpa/qplatformsystemtrayicon.h>
#include <qpa/qplatformtheme.h>
#include <qpa/qplatformthemeplugin.h>

class RecordingTray : public QPlatformSystemTrayIcon
{
public:
    void init() override {}
    void cleanup() override {}
    void updateIcon(const QIcon &) override {}
    void updateToolTip(const QString &tip) override { qApp->setProperty("trayTip", tip); }
    void updateMenu(QPlatformMenu *) override {}
    QRect geometry() const override { return {0, 0, 22, 22}; }
    bool isSystemTrayAvailable() const override { return true; }
    bool supportsMessages() const override { return true; }
    void showMessage(const QString &title, const QString &text, const QIcon &, MessageIcon icon,
                     int ms) override
    {
        const QString balloon = QStringLiteral("%1|%2|%3|%4").arg(title, text).arg(icon).arg(ms);
        qApp->setProperty("balloons", qApp->property("balloons").toStringList() << balloon);
    }
};

class RecordingTheme : public QPlatformTheme
{
public:
    QPlatformSystemTrayIcon *createPlatformSystemTrayIcon() const override { return new RecordingTray; }
};

class RecordingThemePlugin : public QPlatformThemePlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QPlatformThemeFactoryInterface_iid FILE "recordingtray.json")
public:
    QPlatformTheme *create(const QString &, const QStringList &) override { return new RecordingTheme; }
};

#else

#include "clienttest.h"
#include "windowrig.h"

#include <QAction>
#include <QFile>
#include <QJsonDocument>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRandomGenerator>
#include <QtTest>

using namespace Rig;

namespace {

#ifdef RECORDING_TRAY_PLUGIN_PATH
[[maybe_unused]] const bool themeChosen = qputenv("QT_PLUGIN_PATH", RECORDING_TRAY_PLUGIN_PATH) &&
                                          qputenv("QT_QPA_PLATFORMTHEME", "zumvari-recording-tray");
#endif

const QString Idle = QStringLiteral("当前未加速");
const QString Refused = QStringLiteral("会员已过期，请续费");  // the backend refuses a session
const QString Busy = QStringLiteral("会话结算中，请稍后再试"); // the backend refuses a delete
const QString Malformed = QStringLiteral("服务响应格式不正确");

struct SessionCase
{
    const char *members, *routeMode, *text, *address;
};
const SessionCase Sessions[] = {
    {R"("game_processes":["cs2.exe"],"route_mode":"full","private_key":"from-backend","egress_ip":"203.0.113.7",)"
     R"("relay":{"mtu":1420,"ips":["0.0.0.0/0"]},"note":"香港 · 一号线")",
     "process-beta", "正在加速 · 智能分流 Beta（仅游戏流量）", "203.0.113.7"},
    {R"("game_processes":[],"rules_environment":"global-fallback")", nullptr,
     "正在加速 · 全局模式（全部 IPv4 流量经香港）", "分配中"},
    {R"("rules_environment":"per-game","route_mode":"process-beta","egress_ip":"")", "process-beta",
     "正在加速 · 智能分流 Beta（仅游戏流量）", "分配中"},
    {R"("rules_environment":"Global-Fallback","route_mode":"full","egress_ip":"203.0.113.9")", "full",
     "正在加速 · 游戏分流模式", "203.0.113.9"},
};

// Replies to "检查服务" without a plain state: the window shows what they amount to.
const struct
{
    const char *text, *shown;
} OddReplies[] = {{R"({"state":"idle","was":"accelerating"})", "正在加速"},
                  {R"({"state":"Accelerating"})", R"({"state":"Accelerating"})"},
                  {"state: idle", "state: idle"}};

QString beside(const char *name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(name);
}

bool writeProgram(const QByteArray &script)
{
    QFile::remove(beside("pairgen.exe"));
    QFile file(beside("pairgen.exe"));
    return script.isEmpty() || (file.open(QIODevice::WriteOnly) && file.write(script) == script.size() &&
                                file.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
}

// The real key-pair program behind a wrapper that logs each pair it printed.
const QByteArray Recording =
    "#!/bin/sh\nout=$(\"$(dirname \"$0\")/pairgen-real.exe\" \"$@\") || exit $?\n"
    "printf '%s\\n' \"$out\" >> \"$(dirname \"$0\")/keys.log\"\nprintf '%s' \"$out\"\n";

QList<QJsonObject> printedKeys()
{
    QList<QJsonObject> keys;
    QFile log(beside("keys.log"));
    if (log.open(QIODevice::ReadOnly))
        for (const QByteArray &line : log.readAll().split('\n'))
            if (!line.isEmpty())
                keys.append(QJsonDocument::fromJson(line).object());
    return keys;
}

} // namespace

class TstWindowAcceleration : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void walk_data();
    void walk();
    void keyFailureAndLateGameList();

private:
    // What the window must show and what must have reached the backend and the service.
    struct Model
    {
        bool start = false, stop = false, launch = false, keys = false, signedIn = false, tunnel = false;
        bool quitting = false, tray = true, shown = true, ended = false;
        QString status, account, held, atDelete, frames;
        int posts = 0, deletes = 0;
        QStringList balloons;
    };
    Model seen() const;
    static QStringList describe(const Model &model);
    bool serviceSays(ServiceCommand command, int fault = -1); // the window's reading of a reply
    int breakService();                                       // the next command fails; -1: it does not
    void stopped();                                           // the backend confirmed a delete
    void expectDelete(const QString &statusThen, bool confirm, bool token = true);
    void step(int kind, int backend); // backend: 0 answers at random, 1 refuses, 2 confirms
    void check();

    std::unique_ptr<WindowRig> rig;
    std::unique_ptr<QWidget> other; // holds the focus, so that activation shows
    QRandomGenerator random;
    Model m;
    bool recording = false, deleteConfirms = true;
    struct
    {
        int quits = 0, stopsAtQuit = -1, game = 0;
        QString deleteSeen, trail;
    } run;
    ScriptedReply nextSession{500};

    int pick(int n) { return int(random.bounded(n)); }
    MainWindow &w() const { return *rig->window; }
};

void TstWindowAcceleration::initTestCase()
{
    recording = QSystemTrayIcon::isSystemTrayAvailable();
    if (!recording)
        qWarning("no recording tray theme in this build (needs Qt's private headers): balloons unchecked");
    QFile::remove(beside("pairgen-real.exe"));
    QVERIFY(QFile::copy(QStringLiteral(PAIRGEN_PATH), beside("pairgen-real.exe")));
}

TstWindowAcceleration::Model TstWindowAcceleration::seen() const
{
    Model s;
    s.start = w().startButton->isEnabled();
    s.stop = w().stopButton->isEnabled();
    s.launch = w().launchButton->isEnabled();
    s.keys = !w().tunnelPrivateKey.isEmpty();
    s.tray = w().trayIcon->isVisible();
    s.shown = w().isVisible();
    s.quitting = w().quitting;
    s.ended = run.quits > 0;
    s.status = w().statusLabel->text();
    s.account = w().accountLabel->text();
    s.held = w().activeSessionId;
    for (const ServiceRequestRecord &frame :
         rig->service ? rig->service->requests() : QList<ServiceRequestRecord>())
        s.frames += QString::number(frame.command);
    for (const RecordedRequest &request : rig->server.requests()) {
        s.posts += request.method == "POST" && request.path() == SessionsPath;
        s.deletes += request.method == "DELETE";
    }
    s.atDelete = run.deleteSeen;
    s.balloons = qApp->property("balloons").toStringList();
    return s;
}

QStringList TstWindowAcceleration::describe(const Model &s)
{
    QString flags = QStringLiteral("start stop launch keys tray shown quitting ended: ");
    for (const bool flag : {s.start, s.stop, s.launch, s.keys, s.tray, s.shown, s.quitting, s.ended})
        flags += QLatin1Char(flag ? '1' : '0');
    return {s.status,
            s.account,
            s.held,
            flags,
            s.frames,
            s.atDelete,
            s.balloons.join(QLatin1Char('/')),
            QStringLiteral("posts %1 deletes %2").arg(s.posts).arg(s.deletes)};
}

int TstWindowAcceleration::breakService()
{
    if (pick(3) > 0)
        return -1;
    const int fault = pick(10); // 0: a reply that never comes, a wait of a second
    if (fault < 3 && fault > 0) {
        rig->service.reset();
        m.frames.clear();
    } else {
        rig->service->queue(fault == 0   ? FakeReply::silent()
                            : fault < 6  ? FakeReply::answer(3, R"({"error":"driver"})")
                            : fault == 6 ? FakeReply::hangup()
                                         : FakeReply::rawBytes(QByteArray(20, 'x')));
    }
    return fault;
}

bool TstWindowAcceleration::serviceSays(ServiceCommand command, int fault)
{
    if (!rig->service) {
        m.status = QStringLiteral("后台加速服务未运行");
        m.tunnel = false;
        return false;
    }
    m.frames += QString::number(int(command));
    if (fault >= 0) {
        m.status = fault >= 3 && fault < 6 ? QStringLiteral("服务拒绝了请求") : Malformed;
        return false;
    }
    if (command != ServiceCommand::Status)
        m.tunnel = command == ServiceCommand::Start;
    m.status = m.tunnel ? QStringLiteral("正在加速") : Idle;
    m.start = !m.tunnel && m.signedIn;
    m.stop = m.tunnel;
    return true;
}

void TstWindowAcceleration::stopped()
{
    serviceSays(ServiceCommand::Stop);
    m.held.clear();
    m.keys = false;
    m.status = Idle;
    m.start = m.signedIn;
    m.stop = false;
    m.ended = m.quitting;
    m.shown = m.shown && !m.ended; // the quit closes the window, now for good
}

void TstWindowAcceleration::expectDelete(const QString &statusThen, bool confirm, bool token)
{
    deleteConfirms = confirm;
    m.deletes++;
    m.atDelete = QStringLiteral("%1, stops %2, quits 0, Bearer %3")
                     .arg(statusThen)
                     .arg(m.frames.count('3'))
                     .arg(token ? "access-1" : "");
    if (confirm)
        return stopped();
    (m.signedIn ? m.status : m.account) = Busy;
    m.start = m.signedIn || m.start;
    // The way back from an exit the backend refused: the window and the tray return.
    m.shown = m.tray = m.quitting || m.tray;
}

void TstWindowAcceleration::walk_data()
{
    QTest::addColumn<quint32>("seed");
    bool set = false;
    const quint32 seed = quint32(qEnvironmentVariableIntValue("ZUMVARI_WALK_SEED", &set));
    const quint32 first = set ? seed : 20261207;
    for (quint32 walk = 0; walk < 4; ++walk)
        QTest::addRow("seed %u", first + walk) << first + walk;
}

void TstWindowAcceleration::walk()
{
    QFETCH(quint32, seed);
    qInfo("walk seed %u; ZUMVARI_WALK_SEED=%u replays this walk first", seed, seed);
    random.seed(seed);
    m = Model();
    run = {};
    qApp->setProperty("balloons", QVariant());
    QVERIFY(writeProgram(Recording));
    rig = std::make_unique<WindowRig>();
    QVERIFY(rig->open() && rig->startService());
    other = std::make_unique<QWidget>();
    other->show();
    QCOMPARE(qApp->property("trayTip").toString(),
             recording ? QStringLiteral("Zumvari游戏加速器") : QString());
    QCOMPARE(w().trayIcon->icon().cacheKey(), w().windowIcon().cacheKey());
    m.status = w().statusLabel->text();
    m.account = w().accountLabel->text();
    rig->server.on("POST", SessionsPath).handle([this](const RecordedRequest &) { return nextSession; });

    QuitWatcher watcher([this] { // as the first quit request found things
        if (++run.quits == 1)
            run.stopsAtQuit = rig->commandsSent(ServiceCommand::Stop);
    });
    const int result = runEventLoop(
        [this] {
            // Ends with an exit whose first delete the backend refuses, then the stops that end it.
            for (int n = 0; n < 60 && !m.ended && !QTest::currentTestFailed(); ++n)
                step(n < 45 ? pick(24) : 8, n < 45 ? 0 : n == 45 ? 1 : 2);
            if (!run.quits)
                QCoreApplication::exit(NotQuit);
        },
        120000);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(result, 0);
    QVERIFY(w().close()); // an ending program's window closes for good, without a notice
    QCOMPARE(run.stopsAtQuit, m.frames.count('3')); // the service heard the stop before the program ended
    rig.reset();
}

void TstWindowAcceleration::check()
{
    if (!QTest::qWaitFor([this] { return describe(seen()) == describe(m); }, 3000))
        qWarning("the window differs after: %s", qPrintable(run.trail));
    QCOMPARE(describe(seen()), describe(m));
    // The private key never reaches the backend, the public key never the service.
    QByteArray backend, service;
    for (const RecordedRequest &request : rig->server.requests()) {
        backend += request.target + request.body;
        for (const auto &header : request.headers)
            backend += header.second;
    }
    for (const ServiceRequestRecord &frame :
         rig->service ? rig->service->requests() : QList<ServiceRequestRecord>())
        service += frame.payload;
    for (const QJsonObject &keys : printedKeys()) {
        const QByteArray privateKey = keys["private_key"].toString().toUtf8();
        QVERIFY(!backend.contains(privateKey) && !backend.contains(QUrl::toPercentEncoding(privateKey)));
        QVERIFY(!service.contains(keys["public_key"].toString().toUtf8()));
    }
}

void TstWindowAcceleration::step(int kind, int backend)
{
    if (!rig->service)
        QVERIFY(rig->startService());
    kind = kind > 8 ? 2 + kind % 3 : kind;
    if (kind == 8 && m.quitting) // a pending exit ends through the next confirmed stop
        kind = m.stop ? 4 : 7;
    if (((kind == 2 || kind == 3) && !m.start) || (kind == 4 && !m.stop))
        kind = m.signedIn ? 5 : 0;
    if ((kind == 7 || kind == 1) && !m.signedIn)
        kind = 0;
    const bool confirm = backend ? backend == 2 : pick(3) > 0;
    const char *const names[] = {"sign-in", "game", "start",    "start", "stop",
                                 "check",   "tray", "sign-out", "exit"};
    run.trail += QLatin1Char(' ') + QLatin1String(names[kind]);
    const auto closeToTray = [this] {
        QCOMPARE(w().close(), m.quitting); // an ignored close keeps the window object, hidden
        if (!m.quitting && recording)
            m.balloons << QStringLiteral("Zumvari仍在运行|%1|1|2500")
                              .arg(m.held.isEmpty()
                                       ? QStringLiteral("程序已最小化到任务栏通知区域。")
                                       : QStringLiteral("加速仍在运行；选择“退出并停止加速”才会断开。"));
    };
    switch (kind) {
    case 0:
    case 7:
        if (!m.signedIn) {
            QVERIFY(rig->signIn() && rig->regionMatched());
            m.signedIn = m.start = true;
            m.launch = false;
            m.status = ReadyText;
            m.account = w().accountLabel->text();
            run.game = 0;
        } else {
            const int fault = m.held.isEmpty() ? breakService() : -1;
            const QString before = m.status;
            w().logoutButton->click();
            m.account = QStringLiteral("尚未登录");
            if (m.held.isEmpty())
                serviceSays(ServiceCommand::Stop, fault);
            m.signedIn = m.start = m.launch = false;
            if (!m.held.isEmpty())
                expectDelete(before, confirm);
        }
        break;
    case 1:
        run.game = 1 - run.game;
        w().gameList->setCurrentRow(run.game);
        QVERIFY(rig->regionMatched(run.game ? SecondRoute : FirstRoute));
        m.start = true;
        m.launch = false;
        m.status = ReadyText;
        break;
    case 2:
    case 3: {
        const bool grant = pick(4) > 0;
        const SessionCase &session = Sessions[pick(4)];
        const QByteArray id = "s-" + QByteArray::number(m.posts + 1);
        const QByteArray body = "{\"session_id\":\"" + id + "\"," + session.members + '}';
        nextSession = grant ? ScriptedReply::json(201, body) : failure(403, Refused);
        rig->server.on("DELETE", SessionsPath + '/' + id).handle([this](const RecordedRequest &request) {
            run.deleteSeen = QStringLiteral("%1, stops %2, quits %3, %4")
                                 .arg(w().statusLabel->text())
                                 .arg(rig->commandsSent(ServiceCommand::Stop))
                                 .arg(run.quits)
                                 .arg(QString::fromLatin1(request.header("Authorization")));
            return deleteConfirms ? ScriptedReply(204) : failure(409, Busy);
        });
        const int fault = grant ? breakService() : -1;
        const bool odd = grant && fault < 0 && pick(5) == 0; // a reply without a state word
        if (odd)
            rig->service->queue(FakeReply::answer(0, R"({"tunnel":"up"})"));
        const int starts = rig->commandsSent(ServiceCommand::Start);
        w().startButton->click();
        QCOMPARE(w().statusLabel->text(), QStringLiteral("正在选择最优线路…"));
        QVERIFY(!w().startButton->isEnabled());
        m.posts++;
        m.start = false;
        if (!grant) {
            m.status = Refused;
            m.start = true;
            m.keys = m.stop = m.launch = false;
            break;
        }
        m.held = QString::fromLatin1(id); // replaces a held session, which is not handed back
        QString address;
        m.keys = true;
        if (odd)
            m.frames += QLatin1Char('2');
        if (!odd && !serviceSays(ServiceCommand::Start, fault)) {
            expectDelete(QStringLiteral("本地隧道启动失败，正在撤销会话…"), confirm);
        } else {
            m.status = QString::fromUtf8(session.text);
            m.launch = true;
            address = QString::fromUtf8(session.address);
        }
        check();
        if (QTest::currentTestFailed() || !rig->service || rig->commandsSent(ServiceCommand::Start) == starts)
            return;
        // The start payload: the whole session, the private key printed, the route rule.
        const QJsonObject keys = printedKeys().constLast();
        QJsonObject payload = QJsonDocument::fromJson(body).object();
        payload["private_key"] = keys["private_key"];
        if (session.routeMode)
            payload["route_mode"] = session.routeMode;
        QByteArray sent;
        for (const ServiceRequestRecord &frame : rig->service->requests())
            sent = frame.command == quint16(ServiceCommand::Start) ? frame.payload : sent;
        QCOMPARE(sent, QJsonDocument(payload).toJson(QJsonDocument::Compact));
        QCOMPARE(rig->lastSessionRequest()["client_public_key"].toString(), keys["public_key"].toString());
        QCOMPARE(rig->lastSessionRequest()["game_id"].toString(),
                 QString::fromLatin1(run.game ? "g-2" : "g-1"));
        if (!address.isEmpty())
            QCOMPARE(w().routeCard->text(),
                     QStringLiteral("当前节点：Hong Kong Test Node · 加速 IP：") + address);
        return;
    }
    case 4: {
        const int fault = m.held.isEmpty() ? breakService() : -1;
        w().stopButton->click();
        m.stop = false;
        if (m.held.isEmpty())
            serviceSays(ServiceCommand::Stop, fault);
        else
            expectDelete(QStringLiteral("正在停止加速…"), confirm, m.signedIn);
        break;
    }
    case 5: {
        if (pick(4) == 0) // the tunnel came or went behind the window's back
            rig->service->setAccelerating(m.tunnel = !m.tunnel);
        const int odd = pick(6) - 3;
        if (odd >= 0)
            rig->service->queue(FakeReply::answer(0, OddReplies[odd].text));
        const int fault = odd < 0 ? breakService() : -1;
        w().findChild<QPushButton *>(QStringLiteral("checkServiceButton"))->click();
        if (odd < 0) {
            serviceSays(ServiceCommand::Status, fault);
        } else {
            m.frames += QLatin1Char('1');
            m.status = QString::fromUtf8(OddReplies[odd].shown);
            m.start = m.start && odd != 0;
            m.stop = m.stop || odd == 0;
        }
        break;
    }
    case 6: { // away to the tray, minimised or maximised, and back through the tray
        const int from = pick(3);
        if (from == 0)
            closeToTray();
        else
            from == 1 ? w().showMinimized() : w().showMaximized();
        const bool shownBefore = w().isVisible();
        const Qt::WindowStates stateBefore = w().windowState();
        other->activateWindow();
        QTRY_VERIFY(other->isActiveWindow());
        for (int reason = pick(6);; reason = pick(6)) {
            if (reason == 5)
                w().trayIcon->contextMenu()->actions().constFirst()->trigger();
            else
                emit w().trayIcon->activated(QSystemTrayIcon::ActivationReason(reason));
            if (reason == 5 || reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                break;
            QCOMPARE(w().isVisible(), shownBefore);
            QCOMPARE(w().windowState(), stateBefore);
            QVERIFY(other->isActiveWindow());
        }
        QCOMPARE(w().windowState(), Qt::WindowNoState);
        QTRY_VERIFY(w().isActiveWindow());
        break;
    }
    case 8: {
        const int fault = m.held.isEmpty() ? breakService() : -1;
        if (pick(2) == 0) {
            closeToTray();
            m.shown = false;
        }
        w().trayIcon->contextMenu()->actions().constLast()->trigger();
        m.quitting = true;
        m.tray = false;
        if (m.held.isEmpty()) {
            serviceSays(ServiceCommand::Stop, fault);
            m.ended = true;
            m.shown = false;
        } else {
            m.status = QStringLiteral("正在停止加速并退出…");
            expectDelete(m.status, confirm, m.signedIn);
        }
        break;
    }
    }
    check();
}

// A broken key-pair program stops a start before anyone is asked; a game list that arrives after the
// sign-out leaves a game current with nobody signed in, and an idle report must not offer start then.
void TstWindowAcceleration::keyFailureAndLateGameList()
{
    WindowRig rig;
    QVERIFY(rig.open() && rig.startService() && rig.signIn() && rig.regionMatched());
    const QByteArray programs[] = {"", "#!/bin/sh\nprintf '{\"public_key\":\"cHVi\"}'\n",
                                   "#!/bin/sh\n\"$(dirname \"$0\")/pairgen-real.exe\" \"$@\"\nexit 1\n"};
    for (const QByteArray &program : programs) {
        QVERIFY(writeProgram(program));
        rig.window->startButton->click();
        QCOMPARE(rig.window->statusLabel->text(), program.contains("cHVi")
                                                      ? QStringLiteral("隧道密钥生成失败")
                                                      : QStringLiteral("无法生成隧道密钥，请重新安装客户端"));
        QVERIFY(rig.window->startButton->isEnabled());
    }
    rig.window->logoutButton->click();
    rig.server.on("GET", "/api/v1/games")
        .reply(items({QJsonObject{{"id", "g-1"}, {"name", "反恐精英2"}}}, 300));
    QVERIFY(rig.signIn());
    rig.window->logoutButton->click();
    QTRY_VERIFY(rig.window->gameList->currentItem());
    rig.window->findChild<QPushButton *>(QStringLiteral("checkServiceButton"))->click();
    QCOMPARE(rig.window->statusLabel->text(), Idle);
    QVERIFY(!rig.window->startButton->isEnabled());
}

ZUMVARI_TEST_MAIN(TstWindowAcceleration)

#endif

#include "tst_window_acceleration.moc"
