// The tray and the window's lifecycle: close to the notification area with its notice, bringing the
// window back, and the exit that stops an acceleration before the program ends.
//
// The offscreen platform has no notification area, so QSystemTrayIcon::showMessage leaves no trace
// there. This file is therefore built twice: as the suite, and (with RECORDING_TRAY_THEME_PLUGIN) as a
// platform theme plugin whose tray icon records what Qt asks the platform to show. The suite loads that
// theme when its build provides it.

#ifdef RECORDING_TRAY_THEME_PLUGIN

#include <QGuiApplication>
#include <QIcon>
#include <QRect>
#include <QVariant>
#include <qpa/qplatformsystemtrayicon.h>
#include <qpa/qplatformtheme.h>
#include <qpa/qplatformthemeplugin.h>

namespace {
const char RegistryName[] = "zumvariRecordingTray";
const char ThemeKey[] = "zumvari-recording-tray";
} // namespace

// The newest installed icon registers itself on the application object, where the suite finds it.
class RecordingTrayIcon : public QPlatformSystemTrayIcon
{
    Q_OBJECT
public:
    ~RecordingTrayIcon() override
    {
        if (qApp && qApp->property(RegistryName).value<QObject *>() == this)
            qApp->setProperty(RegistryName, QVariant());
    }
    void init() override
    {
        setProperty("installed", true);
        qApp->setProperty(RegistryName, QVariant::fromValue<QObject *>(this));
    }
    void cleanup() override { setProperty("installed", false); }
    void updateIcon(const QIcon &icon) override { setProperty("icon", QVariant::fromValue(icon)); }
    void updateToolTip(const QString &tip) override { setProperty("toolTip", tip); }
    void updateMenu(QPlatformMenu *) override {}
    QRect geometry() const override { return QRect(0, 0, 22, 22); }
    void showMessage(const QString &title, const QString &message, const QIcon &, MessageIcon icon,
                     int msecs) override
    {
        QVariantList messages = property("messages").toList();
        messages.append(QVariantMap{{QStringLiteral("title"), title},
                                    {QStringLiteral("message"), message},
                                    {QStringLiteral("icon"), int(icon)},
                                    {QStringLiteral("msecs"), msecs}});
        setProperty("messages", messages);
    }
    bool isSystemTrayAvailable() const override { return true; }
    bool supportsMessages() const override { return true; }
};

class RecordingTrayTheme : public QPlatformTheme
{
public:
    QPlatformSystemTrayIcon *createPlatformSystemTrayIcon() const override { return new RecordingTrayIcon; }
    QVariant themeHint(ThemeHint hint) const override
    {
        // The offscreen platform's own theme asks for Fusion too.
        if (hint == StyleNames)
            return QStringList{QStringLiteral("Fusion")};
        return QPlatformTheme::themeHint(hint);
    }
};

class RecordingTrayThemePlugin : public QPlatformThemePlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QPlatformThemeFactoryInterface_iid FILE "recordingtray.json")
public:
    QPlatformTheme *create(const QString &key, const QStringList &) override
    {
        return key.compare(QLatin1String(ThemeKey), Qt::CaseInsensitive) == 0 ? new RecordingTrayTheme
                                                                              : nullptr;
    }
};

#else // the suite

#include "apiclient.h"
#include "clienttest.h"
#include "fakeservice.h"
#include "mainwindow.h"
#include "testserver.h"

#include <QAction>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>
#include <optional>

#define STEP(call)                                                                                           \
    do {                                                                                                     \
        call;                                                                                                \
        if (QTest::currentTestFailed())                                                                      \
            return;                                                                                          \
    } while (false)

// The rest of a test checks the balloons, which only the recording theme can show.
#define SKIP_WITHOUT_BALLOONS()                                                                              \
    do {                                                                                                     \
        if (!recording) {                                                                                    \
            QTest::qSkip(NoBalloons, __FILE__, __LINE__);                                                    \
            return;                                                                                          \
        }                                                                                                    \
    } while (false)

namespace {

const char RegistryName[] = "zumvariRecordingTray";
const char NoBalloons[] =
    "the offscreen platform shows no tray balloons; this build has no recording platform "
    "theme (it needs Qt's platform headers, Debian qt6-base-private-dev)";
constexpr int NotQuit = 99;

#ifdef RECORDING_TRAY_PLUGIN_PATH
// Before the application object exists, so that it picks the recording theme.
[[maybe_unused]] const bool recordingThemeChosen = [] {
    qputenv("QT_PLUGIN_PATH", RECORDING_TRAY_PLUGIN_PATH);
    qputenv("QT_QPA_PLATFORMTHEME", "zumvari-recording-tray");
    return true;
}();
#endif

const QString BalloonTitle = QStringLiteral("Zumvari仍在运行");
const QString IdleNotice = QStringLiteral("程序已最小化到任务栏通知区域。");
const QString RunningNotice = QStringLiteral("加速仍在运行；选择“退出并停止加速”才会断开。");
const QByteArray SessionPath = "/api/v1/acceleration/sessions/s-1";

ScriptedReply jsonReply(int status, const QJsonObject &body)
{
    return ScriptedReply::json(status, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

ScriptedReply itemsReply(const QJsonArray &items)
{
    return jsonReply(200, QJsonObject{{"items", items}});
}

QObject *platformTray()
{
    return qApp->property(RegistryName).value<QObject *>();
}

struct Balloon
{
    QString title;
    QString message;
    int icon = -1;
    int msecs = -1;
};

QList<Balloon> balloons()
{
    QList<Balloon> shown;
    if (QObject *tray = platformTray())
        for (const QVariant &entry : tray->property("messages").toList()) {
            const QVariantMap map = entry.toMap();
            shown.append({map.value("title").toString(), map.value("message").toString(),
                          map.value("icon").toInt(), map.value("msecs").toInt()});
        }
    return shown;
}

bool platformTrayInstalled()
{
    QObject *tray = platformTray();
    return tray && tray->property("installed").toBool();
}

int commandsSent(const FakeService &service, ServiceCommand command)
{
    int count = 0;
    for (const ServiceRequestRecord &request : service.requests())
        count += request.command == quint16(command);
    return count;
}

// Sees the application's quit request, which only arrives while QApplication::exec() runs.
class QuitWatcher : public QObject
{
public:
    explicit QuitWatcher(std::function<void()> onQuit) : onQuit(std::move(onQuit))
    {
        qApp->installEventFilter(this);
    }
    ~QuitWatcher() override { qApp->removeEventFilter(this); }
    int quits = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == qApp && event->type() == QEvent::Quit) {
            ++quits;
            if (onQuit)
                onQuit();
        }
        return false;
    }

private:
    std::function<void()> onQuit;
};

// Runs the program's event loop as main() does, starts `action` from inside it and returns the loop's
// result: 0 when the window quit the application, NotQuit when nothing did within `limitMs`.
int runEventLoop(const std::function<void()> &action, int limitMs)
{
    QTimer::singleShot(0, qApp, action);
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, qApp, [] { QCoreApplication::exit(NotQuit); });
    limit.start(limitMs);
    return QApplication::exec();
}

} // namespace

class TstMainWindowTray : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void closeHidesWithNoticeEachTime();
    void closeWhileAcceleratingKeepsSessionAndSaysSo();
    void trayActivation_data();
    void trayActivation();
    void openActionShowsAndActivates();
    void exitWithoutSessionStopsServiceThenQuits();
    void exitWithoutServiceStillQuits();
    void exitWithSessionQuitsAfterBackendAndService();
    void exitRefusedByBackendComesBack();

private:
    void startAccelerating();
    void closeToTray();

    bool recording = false;
    std::unique_ptr<TestServer> server;
    std::unique_ptr<FakeService> service;
    std::unique_ptr<MainWindow> window;
};

void TstMainWindowTray::initTestCase()
{
#ifdef RECORDING_TRAY_PLUGIN_PATH
    QVERIFY2(QSystemTrayIcon::isSystemTrayAvailable(), "the recording platform theme was not loaded");
    recording = true;
#endif
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/pairgen.exe");
    QFile::remove(beside);
    QVERIFY(QFile::copy(QStringLiteral(PAIRGEN_PATH), beside));
}

void TstMainWindowTray::init()
{
    server = std::make_unique<TestServer>();
    QVERIFY(server->isListening());
    server->on("GET", "/api/v1/client/releases/latest").always(ScriptedReply(404));
    server->on("POST", "/api/v1/auth/login")
        .always(jsonReply(200, {{"access_token", "access-1"}, {"refresh_token", "refresh-1"}}));
    server->on("GET", "/api/v1/me")
        .always(jsonReply(200, {{"account", "alice@example.com"},
                                {"membership", QJsonObject{{"active", true}, {"kind", "paid"}}}}));
    server->on("GET", "/api/v1/games")
        .always(itemsReply({QJsonObject{{"id", "g-1"}, {"name", "反恐精英2"}, {"slug", "cs2"}}}));
    server->on("GET", "/api/v1/games/g-1/regions")
        .always(itemsReply({QJsonObject{{"id", "r-1"}, {"name", "亚服"}}}));
    server->on("GET", "/api/v1/games/g-1/regions/r-1/nodes")
        .always(
            itemsReply({QJsonObject{{"id", "n-1"}, {"name", "Test"}, {"location", "hk"}, {"score", 35}}}));
    server->on("POST", "/api/v1/acceleration/sessions")
        .always(jsonReply(201, {{"session_id", "s-1"},
                                {"game_processes", QJsonArray()},
                                {"rules_environment", "global-fallback"},
                                {"egress_ip", "203.0.113.7"}}));
    server->on("DELETE", SessionPath).always(ScriptedReply(204));
    qputenv("DIVE_DIZUVIVIVID_API_URL", server->baseUrl().toString().toUtf8());

    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QVERIFY(server->waitForRequests(1)); // the start-up release check
    if (recording) {
        QVERIFY(platformTrayInstalled());
        QCOMPARE(platformTray()->property("toolTip").toString(), QStringLiteral("Zumvari游戏加速器"));
        // The notification area shows the window's own icon.
        const QImage shown = platformTray()->property("icon").value<QIcon>().pixmap(QSize(32, 32)).toImage();
        QVERIFY(!shown.isNull());
        QCOMPARE(shown, window->windowIcon().pixmap(QSize(32, 32)).toImage());
        QVERIFY(balloons().isEmpty());
    }
}

void TstMainWindowTray::cleanup()
{
    window.reset();
    service.reset();
    server.reset();
    qunsetenv("DIVE_DIZUVIVIVID_API_URL");
}

void TstMainWindowTray::startAccelerating()
{
    MainWindow &w = *window;
    if (!service) {
        service = std::make_unique<FakeService>();
        QVERIFY(service->isListening());
    }
    w.accountEdit->setText(QStringLiteral("alice"));
    w.passwordEdit->setText(QStringLiteral("secret"));
    QTest::mouseClick(w.loginButton, Qt::LeftButton);
    QTRY_VERIFY(w.startButton->isEnabled());
    QTest::mouseClick(w.startButton, Qt::LeftButton);
    QTRY_VERIFY(w.stopButton->isEnabled());
    QCOMPARE(w.activeSessionId, QStringLiteral("s-1"));
    QCOMPARE(w.statusLabel->text(), QStringLiteral("正在加速 · 全局模式（全部 IPv4 流量经香港）"));
}

void TstMainWindowTray::closeToTray()
{
    MainWindow &w = *window;
    // An ignored close event is what keeps the window object alive, hidden.
    QVERIFY(!w.close());
    QVERIFY(!w.isVisible());
    QVERIFY(w.trayIcon->isVisible());
}

void TstMainWindowTray::closeHidesWithNoticeEachTime()
{
    MainWindow &w = *window;
    STEP(closeToTray());
    w.trayIcon->contextMenu()->actions().at(0)->trigger();
    QVERIFY(w.isVisible());
    STEP(closeToTray());

    // Closing never ends the program, also with its event loop running.
    QuitWatcher watcher(nullptr);
    QCOMPARE(runEventLoop(
                 [&] {
                     w.show();
                     w.close();
                 },
                 300),
             NotQuit);
    QCOMPARE(watcher.quits, 0);
    QVERIFY(!w.isVisible());
    QVERIFY(!w.quitting);

    SKIP_WITHOUT_BALLOONS();
    const QList<Balloon> shown = balloons();
    QCOMPARE(shown.size(), 3);
    for (const Balloon &balloon : shown) {
        QCOMPARE(balloon.title, BalloonTitle);
        QCOMPARE(balloon.message, IdleNotice);
        QCOMPARE(balloon.icon, int(QSystemTrayIcon::Information));
        QCOMPARE(balloon.msecs, 2500);
    }
    QVERIFY(platformTrayInstalled());
}

void TstMainWindowTray::closeWhileAcceleratingKeepsSessionAndSaysSo()
{
    MainWindow &w = *window;
    STEP(startAccelerating());
    const int requestsBefore = server->requestCount();
    const int framesBefore = service->requestCount();

    STEP(closeToTray());
    w.show();
    STEP(closeToTray());

    // The acceleration goes on untouched.
    QCOMPARE(w.activeSessionId, QStringLiteral("s-1"));
    QVERIFY(w.stopButton->isEnabled());
    QTest::qWait(100);
    QCOMPARE(server->requestCount(), requestsBefore);
    QCOMPARE(service->requestCount(), framesBefore);

    SKIP_WITHOUT_BALLOONS();
    const QList<Balloon> shown = balloons();
    QCOMPARE(shown.size(), 2);
    for (const Balloon &balloon : shown) {
        QCOMPARE(balloon.title, BalloonTitle);
        QCOMPARE(balloon.message, RunningNotice);
        QCOMPARE(balloon.icon, int(QSystemTrayIcon::Information));
        QCOMPARE(balloon.msecs, 2500);
    }
}

void TstMainWindowTray::trayActivation_data()
{
    QTest::addColumn<QSystemTrayIcon::ActivationReason>("reason");
    QTest::addColumn<bool>("shows");
    QTest::newRow("single click") << QSystemTrayIcon::Trigger << true;
    QTest::newRow("double click") << QSystemTrayIcon::DoubleClick << true;
    QTest::newRow("context menu") << QSystemTrayIcon::Context << false;
    QTest::newRow("middle click") << QSystemTrayIcon::MiddleClick << false;
    QTest::newRow("unknown") << QSystemTrayIcon::Unknown << false;
}

void TstMainWindowTray::trayActivation()
{
    QFETCH(QSystemTrayIcon::ActivationReason, reason);
    QFETCH(bool, shows);
    MainWindow &w = *window;
    // Another window holds the focus, so that activation can be seen.
    QWidget other;
    other.resize(200, 100);
    other.show();
    QVERIFY(QTest::qWaitForWindowExposed(&other));

    // From the tray.
    STEP(closeToTray());
    other.activateWindow();
    QTRY_VERIFY(other.isActiveWindow());
    emit w.trayIcon->activated(reason);
    if (shows) {
        QVERIFY(w.isVisible());
        QTRY_VERIFY(w.isActiveWindow());
    } else {
        QTest::qWait(50);
        QVERIFY(!w.isVisible());
        QVERIFY(other.isActiveWindow());
    }

    // From a minimised window.
    w.showMinimized();
    QVERIFY(w.isMinimized());
    other.activateWindow();
    QTRY_VERIFY(other.isActiveWindow());
    emit w.trayIcon->activated(reason);
    if (shows) {
        QVERIFY(!w.isMinimized());
        QCOMPARE(w.windowState(), Qt::WindowNoState);
        QVERIFY(w.isVisible());
        QTRY_VERIFY(w.isActiveWindow());
    } else {
        QTest::qWait(50);
        QVERIFY(w.isMinimized());
        QVERIFY(other.isActiveWindow());
    }
    QVERIFY(w.trayIcon->isVisible());
    QVERIFY(!w.quitting);
}

void TstMainWindowTray::openActionShowsAndActivates()
{
    MainWindow &w = *window;
    QAction *open = w.trayIcon->contextMenu()->findChild<QAction *>(QStringLiteral("openAction"));
    QVERIFY(open);
    QWidget other;
    other.resize(200, 100);
    other.show();
    QVERIFY(QTest::qWaitForWindowExposed(&other));

    STEP(closeToTray());
    other.activateWindow();
    QTRY_VERIFY(other.isActiveWindow());
    open->trigger();
    QVERIFY(w.isVisible());
    QTRY_VERIFY(w.isActiveWindow());

    // It also brings back a minimised or maximised window at its normal size.
    for (auto state : {Qt::WindowMinimized, Qt::WindowMaximized}) {
        w.setWindowState(state);
        other.activateWindow();
        QTRY_VERIFY(other.isActiveWindow());
        open->trigger();
        QCOMPARE(w.windowState(), Qt::WindowNoState);
        QVERIFY(w.isVisible());
        QTRY_VERIFY(w.isActiveWindow());
        QTRY_COMPARE(w.size(), QSize(1120, 720));
    }
    QVERIFY(!w.quitting);
    QVERIFY(w.trayIcon->isVisible());
}

void TstMainWindowTray::exitWithoutSessionStopsServiceThenQuits()
{
    MainWindow &w = *window;
    service = std::make_unique<FakeService>();
    QVERIFY(service->isListening());
    QAction *exit = w.trayIcon->contextMenu()->findChild<QAction *>(QStringLiteral("exitAction"));
    QVERIFY(exit);
    const int requestsBefore = server->requestCount();

    std::optional<int> stopsAtQuit;
    bool trayVisibleAtQuit = true, platformTrayAtQuit = true;
    QuitWatcher watcher([&] {
        stopsAtQuit = commandsSent(*service, ServiceCommand::Stop);
        trayVisibleAtQuit = w.trayIcon->isVisible();
        platformTrayAtQuit = platformTrayInstalled();
    });
    QCOMPARE(runEventLoop([exit] { exit->trigger(); }, 10000), 0);

    QCOMPARE(watcher.quits, 1);
    QVERIFY(w.quitting);
    // The local service was told to stop before the program ended, although nothing ran.
    QCOMPARE(stopsAtQuit, std::optional<int>(1));
    const ServiceRequestRecord stop = service->requests().first();
    QCOMPARE(stop.command, quint16(ServiceCommand::Stop));
    QCOMPARE(stop.payloadLength, quint32(0));
    QCOMPARE(service->requestCount(), 1);
    QVERIFY(!trayVisibleAtQuit);
    QVERIFY(!platformTrayAtQuit);
    QCOMPARE(server->requestCount(), requestsBefore);
    SKIP_WITHOUT_BALLOONS();
    QVERIFY(balloons().isEmpty());
}

void TstMainWindowTray::exitWithoutServiceStillQuits()
{
    MainWindow &w = *window;
    QAction *exit = w.trayIcon->contextMenu()->findChild<QAction *>(QStringLiteral("exitAction"));
    QuitWatcher watcher(nullptr);
    QCOMPARE(runEventLoop([exit] { exit->trigger(); }, 10000), 0);
    QCOMPARE(watcher.quits, 1);
    QCOMPARE(w.statusLabel->text(), QStringLiteral("后台加速服务未运行"));
    QVERIFY(!w.trayIcon->isVisible());
}

void TstMainWindowTray::exitWithSessionQuitsAfterBackendAndService()
{
    MainWindow &w = *window;
    STEP(startAccelerating());
    QAction *exit = w.trayIcon->contextMenu()->findChild<QAction *>(QStringLiteral("exitAction"));

    struct AtDelete
    {
        QByteArray authorization;
        int stops = -1;
        int quits = -1;
        bool trayVisible = true;
        bool platformTray = true;
        QString status;
        bool windowVisible = false;
        bool closeAccepted = false;
        bool visibleAfterClose = true;
        qsizetype balloonsAfterClose = -1;
    };
    std::optional<AtDelete> atDelete;
    std::optional<int> stopsAtQuit;
    QuitWatcher watcher([&] { stopsAtQuit = commandsSent(*service, ServiceCommand::Stop); });
    server->on("DELETE", SessionPath).handle([&](const RecordedRequest &request) {
        AtDelete seen;
        seen.authorization = request.header("Authorization");
        seen.stops = commandsSent(*service, ServiceCommand::Stop);
        seen.quits = watcher.quits;
        seen.trayVisible = w.trayIcon->isVisible();
        seen.platformTray = platformTrayInstalled();
        seen.status = w.statusLabel->text();
        seen.windowVisible = w.isVisible();
        // Closing the window now hides it without a notice.
        const qsizetype before = balloons().size();
        seen.closeAccepted = w.close();
        seen.visibleAfterClose = w.isVisible();
        seen.balloonsAfterClose = balloons().size() - before;
        atDelete = seen;
        return ScriptedReply(204).delayed(200);
    });

    bool trayVisibleAfterTrigger = true;
    QString statusAfterTrigger;
    const int rc = runEventLoop(
        [&] {
            exit->trigger();
            trayVisibleAfterTrigger = w.trayIcon->isVisible();
            statusAfterTrigger = w.statusLabel->text();
        },
        10000);
    QCOMPARE(rc, 0);

    // The tray icon went at once; the window stayed as it was, saying what happens.
    QVERIFY(!trayVisibleAfterTrigger);
    QCOMPARE(statusAfterTrigger, QStringLiteral("正在停止加速并退出…"));
    QVERIFY(atDelete.has_value());
    QCOMPARE(atDelete->authorization, QByteArray("Bearer access-1"));
    QVERIFY(!atDelete->trayVisible);
    QVERIFY(!atDelete->platformTray);
    QCOMPARE(atDelete->status, QStringLiteral("正在停止加速并退出…"));
    QVERIFY(atDelete->windowVisible);
    // Nothing stopped locally and no quit while the backend had not answered.
    QCOMPARE(atDelete->stops, 0);
    QCOMPARE(atDelete->quits, 0);
    QVERIFY(atDelete->closeAccepted);
    QVERIFY(!atDelete->visibleAfterClose);
    QCOMPARE(atDelete->balloonsAfterClose, 0);

    // After the 204: the local stop, then the quit.
    QCOMPARE(watcher.quits, 1);
    QCOMPARE(stopsAtQuit, std::optional<int>(1));
    QVERIFY(w.activeSessionId.isEmpty());
    QVERIFY(w.tunnelPrivateKey.isEmpty());
    SKIP_WITHOUT_BALLOONS();
    QVERIFY(balloons().isEmpty());
}

void TstMainWindowTray::exitRefusedByBackendComesBack()
{
    MainWindow &w = *window;
    STEP(startAccelerating());
    STEP(closeToTray());
    QWidget other;
    other.resize(200, 100);
    other.show();
    QVERIFY(QTest::qWaitForWindowExposed(&other));
    other.activateWindow();
    QTRY_VERIFY(other.isActiveWindow());
    const qsizetype balloonsBefore = balloons().size();
    server->on("DELETE", SessionPath)
        .reply(jsonReply(409, {{"message", "会话结算中，请稍后再试"}}))
        .reply(ScriptedReply(204));

    QAction *exit = w.trayIcon->contextMenu()->findChild<QAction *>(QStringLiteral("exitAction"));
    exit->trigger();
    QVERIFY(w.quitting);
    QVERIFY(!w.trayIcon->isVisible());
    QVERIFY(!w.isVisible());

    // The refusal brings the tray and the window back, so the member sees why and can retry.
    QTRY_COMPARE(w.statusLabel->text(), QStringLiteral("会话结算中，请稍后再试"));
    QVERIFY(w.trayIcon->isVisible());
    QVERIFY(w.isVisible());
    QTRY_VERIFY(w.isActiveWindow());
    QVERIFY(w.quitting);
    QCOMPARE(w.activeSessionId, QStringLiteral("s-1"));
    QCOMPARE(commandsSent(*service, ServiceCommand::Stop), 0);
    QVERIFY(w.stopButton->isEnabled());
    if (recording)
        QVERIFY(platformTrayInstalled());

    // Still exiting: a close hides the window without a notice.
    QVERIFY(w.close());
    QVERIFY(!w.isVisible());
    QVERIFY(w.trayIcon->isVisible());

    // The next stop that goes through ends the program.
    std::optional<int> stopsAtQuit;
    QuitWatcher watcher([&] { stopsAtQuit = commandsSent(*service, ServiceCommand::Stop); });
    QAction *open = w.trayIcon->contextMenu()->findChild<QAction *>(QStringLiteral("openAction"));
    const int rc = runEventLoop(
        [&] {
            open->trigger();
            w.stopButton->click();
        },
        10000);
    QCOMPARE(rc, 0);
    QCOMPARE(watcher.quits, 1);
    QCOMPARE(stopsAtQuit, std::optional<int>(1));
    int deletes = 0;
    for (const RecordedRequest &request : server->requests())
        deletes += request.method == "DELETE" && request.path() == SessionPath;
    QCOMPARE(deletes, 2);

    SKIP_WITHOUT_BALLOONS();
    QCOMPARE(balloons().size(), balloonsBefore);
}

ZUMVARI_TEST_MAIN(TstMainWindowTray)

#endif

#include "tst_mainwindow_tray.moc"
