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

// Keeps what Qt asks the notification area to do on the application object, where the suite reads it.
class RecordingTrayIcon : public QPlatformSystemTrayIcon
{
    Q_OBJECT
public:
    void init() override { qApp->setProperty("trayInstalled", true); }
    void cleanup() override { qApp->setProperty("trayInstalled", false); }
    void updateIcon(const QIcon &icon) override { qApp->setProperty("trayIcon", QVariant::fromValue(icon)); }
    void updateToolTip(const QString &tip) override { qApp->setProperty("trayToolTip", tip); }
    void updateMenu(QPlatformMenu *) override {}
    QRect geometry() const override { return QRect(0, 0, 22, 22); }
    void showMessage(const QString &title, const QString &message, const QIcon &, MessageIcon icon,
                     int msecs) override
    {
        const QString balloon =
            QStringList{title, message, QString::number(icon), QString::number(msecs)}.join(QLatin1Char('|'));
        qApp->setProperty("trayBalloons", qApp->property("trayBalloons").toStringList() << balloon);
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
        return key.compare(QLatin1String("zumvari-recording-tray"), Qt::CaseInsensitive) == 0
                   ? new RecordingTrayTheme
                   : nullptr;
    }
};

#else // the suite

#include "apiclient.h"
#include "clienttest.h"
#include "windowrig.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QtTest>

#include <memory>
#include <optional>

using namespace Rig;

namespace {

const char NoBalloons[] =
    "the offscreen platform shows no tray balloons; this build has no recording platform "
    "theme (it needs Qt's platform headers, Debian qt6-base-private-dev)";

#ifdef RECORDING_TRAY_PLUGIN_PATH
// Before the application object exists, so that it picks the recording theme.
[[maybe_unused]] const bool recordingThemeChosen = [] {
    qputenv("QT_PLUGIN_PATH", RECORDING_TRAY_PLUGIN_PATH);
    qputenv("QT_QPA_PLATFORMTHEME", "zumvari-recording-tray");
    return true;
}();
#endif

const QString IdleNotice = QStringLiteral("程序已最小化到任务栏通知区域。");
const QString RunningNotice = QStringLiteral("加速仍在运行；选择“退出并停止加速”才会断开。");
const QByteArray SessionPath = SessionsPath + "/s-1";

bool platformTrayInstalled()
{
    return qApp->property("trayInstalled").toBool();
}

// Every balloon the notification area was asked to show: "title|text|icon|milliseconds".
QStringList balloons()
{
    return qApp->property("trayBalloons").toStringList();
}

QString balloon(const QString &notice)
{
    return QStringLiteral("Zumvari仍在运行|%1|%2|2500").arg(notice).arg(int(QSystemTrayIcon::Information));
}

// An ignored close event is what keeps the window object alive, hidden.
bool closedToTray(MainWindow &w)
{
    return !w.close() && !w.isVisible() && w.trayIcon->isVisible();
}

// Another window to hold the focus, so that activation can be seen.
std::unique_ptr<QWidget> otherWindow()
{
    auto other = std::make_unique<QWidget>();
    other->resize(200, 100);
    other->show();
    other->activateWindow();
    return other;
}

QAction *trayAction(const MainWindow &w, const char *name)
{
    return w.trayIcon->contextMenu()->findChild<QAction *>(QLatin1String(name));
}

} // namespace

class TstMainWindowTray : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { rig.reset(); }

    void closeHidesWithNoticeEachTime_data();
    void closeHidesWithNoticeEachTime();
    void bringBack_data();
    void bringBack();
    void exitWithoutSessionStopsServiceThenQuits_data();
    void exitWithoutSessionStopsServiceThenQuits();
    void exitWithSessionQuitsAfterBackendAndService();
    void exitRefusedByBackendComesBack();

private:
    bool accelerate();

    bool recording = false;
    std::unique_ptr<WindowRig> rig;
};

void TstMainWindowTray::initTestCase()
{
#ifdef RECORDING_TRAY_PLUGIN_PATH
    QVERIFY2(QSystemTrayIcon::isSystemTrayAvailable(), "the recording platform theme was not loaded");
    recording = true;
#endif
    QVERIFY(installPairgen(QStringLiteral(PAIRGEN_PATH)));
}

void TstMainWindowTray::init()
{
    qApp->setProperty("trayBalloons", QVariant());
    rig = std::make_unique<WindowRig>();
    QVERIFY(rig->open());
    if (recording) {
        // The notification area got the tooltip and the window's own icon.
        QVERIFY(platformTrayInstalled());
        QCOMPARE(qApp->property("trayToolTip").toString(), QStringLiteral("Zumvari游戏加速器"));
        const QImage shown = qApp->property("trayIcon").value<QIcon>().pixmap(QSize(32, 32)).toImage();
        QVERIFY(!shown.isNull());
        QCOMPARE(shown, rig->window->windowIcon().pixmap(QSize(32, 32)).toImage());
    }
}

bool TstMainWindowTray::accelerate()
{
    return rig->startService() && rig->signIn() && rig->regionMatched() && rig->accelerate();
}

void TstMainWindowTray::closeHidesWithNoticeEachTime_data()
{
    QTest::addColumn<bool>("accelerating");
    QTest::newRow("idle") << false;
    QTest::newRow("accelerating") << true;
}

void TstMainWindowTray::closeHidesWithNoticeEachTime()
{
    QFETCH(bool, accelerating);
    MainWindow &w = *rig->window;
    if (accelerating)
        QVERIFY(accelerate());
    const int requestsBefore = rig->server.requestCount();
    const int framesBefore = rig->service ? rig->service->requestCount() : 0;

    QVERIFY(closedToTray(w));
    w.show();
    // The second time with the program's event loop running: closing never ends the program.
    QuitWatcher watcher;
    QCOMPARE(runEventLoop(
                 [&] {
                     w.show();
                     w.close();
                 },
                 100),
             NotQuit);
    QCOMPARE(watcher.quits, 0);
    QVERIFY(!w.isVisible());
    QVERIFY(w.trayIcon->isVisible());
    QVERIFY(!w.quitting);

    // An acceleration goes on untouched.
    QCOMPARE(w.activeSessionId.isEmpty(), !accelerating);
    QCOMPARE(w.stopButton->isEnabled(), accelerating);
    QCOMPARE(rig->server.requestCount(), requestsBefore);
    QCOMPARE(rig->service ? rig->service->requestCount() : 0, framesBefore);

    if (!recording)
        return QTest::qSkip(NoBalloons, __FILE__, __LINE__);
    QCOMPARE(balloons(), QStringList(2, balloon(accelerating ? RunningNotice : IdleNotice)));
}

void TstMainWindowTray::bringBack_data()
{
    QTest::addColumn<int>("reason"); // how the tray is used: an activation reason, or -1 for "打开Zumvari"
    QTest::addColumn<bool>("shows");
    QTest::newRow("single click") << int(QSystemTrayIcon::Trigger) << true;
    QTest::newRow("double click") << int(QSystemTrayIcon::DoubleClick) << true;
    QTest::newRow("context menu") << int(QSystemTrayIcon::Context) << false;
    QTest::newRow("middle click") << int(QSystemTrayIcon::MiddleClick) << false;
    QTest::newRow("unknown") << int(QSystemTrayIcon::Unknown) << false;
    QTest::newRow("open action") << -1 << true;
}

void TstMainWindowTray::bringBack()
{
    QFETCH(int, reason);
    QFETCH(bool, shows);
    MainWindow &w = *rig->window;
    const std::unique_ptr<QWidget> other = otherWindow();

    // From the tray, from a minimised and from a maximised window.
    for (const char *from : {"tray", "minimised", "maximised"}) {
        if (from == QLatin1String("tray"))
            QVERIFY(closedToTray(w));
        else if (from == QLatin1String("minimised"))
            w.showMinimized();
        else
            w.showMaximized();
        const bool visibleBefore = w.isVisible();
        const Qt::WindowStates stateBefore = w.windowState();
        other->activateWindow();
        QTRY_VERIFY(other->isActiveWindow());

        if (reason < 0)
            trayAction(w, "openAction")->trigger();
        else
            emit w.trayIcon->activated(QSystemTrayIcon::ActivationReason(reason));
        if (shows) {
            QVERIFY2(w.isVisible(), from);
            QCOMPARE(w.windowState(), Qt::WindowNoState);
            QTRY_VERIFY2(w.isActiveWindow(), from);
            QTRY_COMPARE(w.size(), QSize(1120, 720));
        } else {
            QTest::qWait(50);
            QCOMPARE(w.isVisible(), visibleBefore);
            QCOMPARE(w.windowState(), stateBefore);
            QVERIFY2(other->isActiveWindow(), from);
        }
    }
    QVERIFY(w.trayIcon->isVisible());
    QVERIFY(!w.quitting);
}

void TstMainWindowTray::exitWithoutSessionStopsServiceThenQuits_data()
{
    QTest::addColumn<bool>("serviceRuns");
    QTest::newRow("service running") << true;
    QTest::newRow("no service") << false;
}

void TstMainWindowTray::exitWithoutSessionStopsServiceThenQuits()
{
    QFETCH(bool, serviceRuns);
    MainWindow &w = *rig->window;
    if (serviceRuns)
        QVERIFY(rig->startService());
    const int requestsBefore = rig->server.requestCount();

    std::optional<int> stopsAtQuit;
    QString trayAtQuit;
    QuitWatcher watcher([&] {
        stopsAtQuit = rig->commandsSent(ServiceCommand::Stop);
        trayAtQuit = QStringLiteral("tray %1 %2").arg(w.trayIcon->isVisible()).arg(platformTrayInstalled());
    });
    QCOMPARE(runEventLoop([&] { trayAction(w, "exitAction")->trigger(); }), 0);
    QCOMPARE(watcher.quits, 1);
    QVERIFY(w.quitting);
    QCOMPARE(trayAtQuit, QStringLiteral("tray 0 0"));
    QCOMPARE(rig->server.requestCount(), requestsBefore);
    if (serviceRuns) {
        // The local service was told to stop before the program ended, although nothing ran.
        QCOMPARE(stopsAtQuit, std::optional<int>(1));
        QCOMPARE(rig->service->requestCount(), 1);
        QCOMPARE(rig->service->requests().first().payloadLength, quint32(0));
    } else {
        QCOMPARE(w.statusLabel->text(), QStringLiteral("后台加速服务未运行"));
    }
    if (!recording)
        return QTest::qSkip(NoBalloons, __FILE__, __LINE__);
    QVERIFY(balloons().isEmpty());
}

void TstMainWindowTray::exitWithSessionQuitsAfterBackendAndService()
{
    MainWindow &w = *rig->window;
    QVERIFY(accelerate());

    // What the backend's DELETE finds: the local tunnel still up, no quit yet, the tray icon gone, the
    // window as it was, and a close that hides it without a notice.
    std::optional<int> stopsAtQuit;
    QuitWatcher watcher([&] { stopsAtQuit = rig->commandsSent(ServiceCommand::Stop); });
    QStringList atDelete;
    rig->server.on("DELETE", SessionPath).handle([&](const RecordedRequest &request) {
        const qsizetype balloonsBefore = balloons().size();
        const bool visible = w.isVisible();
        const bool closed = w.close();
        atDelete = QStringList{
            QString::fromLatin1(request.header("Authorization")),
            QStringLiteral("stops %1 quits %2")
                .arg(rig->commandsSent(ServiceCommand::Stop))
                .arg(watcher.quits),
            QStringLiteral("tray %1 %2").arg(w.trayIcon->isVisible()).arg(platformTrayInstalled()),
            w.statusLabel->text(),
            QStringLiteral("visible %1, closed %2, then visible %3, balloons %4")
                .arg(visible)
                .arg(closed)
                .arg(w.isVisible())
                .arg(balloons().size() - balloonsBefore)};
        return ScriptedReply(204).delayed(200);
    });

    QString afterTrigger;
    QCOMPARE(runEventLoop([&] {
                 trayAction(w, "exitAction")->trigger();
                 afterTrigger =
                     QStringLiteral("tray %1, %2").arg(w.trayIcon->isVisible()).arg(w.statusLabel->text());
             }),
             0);
    // The tray icon went at once; the window stayed, saying what happens.
    QCOMPARE(afterTrigger, QStringLiteral("tray 0, 正在停止加速并退出…"));
    QCOMPARE(atDelete, (QStringList{"Bearer access-1", "stops 0 quits 0", "tray 0 0", "正在停止加速并退出…",
                                    "visible 1, closed 1, then visible 0, balloons 0"}));
    // After the 204: the local stop, then the quit.
    QCOMPARE(watcher.quits, 1);
    QCOMPARE(stopsAtQuit, std::optional<int>(1));
    QVERIFY(w.activeSessionId.isEmpty());
    QVERIFY(w.tunnelPrivateKey.isEmpty());
    if (!recording)
        return QTest::qSkip(NoBalloons, __FILE__, __LINE__);
    QVERIFY(balloons().isEmpty());
}

void TstMainWindowTray::exitRefusedByBackendComesBack()
{
    MainWindow &w = *rig->window;
    QVERIFY(accelerate());
    QVERIFY(closedToTray(w));
    const std::unique_ptr<QWidget> other = otherWindow();
    QTRY_VERIFY(other->isActiveWindow());
    const qsizetype balloonsBefore = balloons().size();
    rig->server.on("DELETE", SessionPath)
        .reply(failure(409, QStringLiteral("会话结算中，请稍后再试")))
        .reply(ScriptedReply(204));

    trayAction(w, "exitAction")->trigger();
    QVERIFY(w.quitting);
    QVERIFY(!w.trayIcon->isVisible());
    QVERIFY(!w.isVisible());

    // Our way back: the refusal brings the tray and the window back, so the member sees why and can
    // retry, instead of a program running on with neither.
    QTRY_COMPARE(w.statusLabel->text(), QStringLiteral("会话结算中，请稍后再试"));
    QVERIFY(w.trayIcon->isVisible());
    QVERIFY(w.isVisible());
    QTRY_VERIFY(w.isActiveWindow());
    QVERIFY(w.quitting);
    QCOMPARE(w.activeSessionId, QStringLiteral("s-1"));
    QCOMPARE(rig->commandsSent(ServiceCommand::Stop), 0);
    QVERIFY(w.stopButton->isEnabled());
    QVERIFY(!recording || platformTrayInstalled());

    // Still exiting: a close hides the window without a notice.
    QVERIFY(w.close());
    QVERIFY(!w.isVisible());
    QVERIFY(w.trayIcon->isVisible());

    // The next stop that goes through ends the program.
    std::optional<int> stopsAtQuit;
    QuitWatcher watcher([&] { stopsAtQuit = rig->commandsSent(ServiceCommand::Stop); });
    QCOMPARE(runEventLoop([&] {
                 trayAction(w, "openAction")->trigger();
                 w.stopButton->click();
             }),
             0);
    QCOMPARE(watcher.quits, 1);
    QCOMPARE(stopsAtQuit, std::optional<int>(1));
    QCOMPARE(rig->requestsTo("DELETE", SessionPath).size(), 2);
    if (!recording)
        return QTest::qSkip(NoBalloons, __FILE__, __LINE__);
    QCOMPARE(balloons().size(), balloonsBefore);
}

ZUMVARI_TEST_MAIN(TstMainWindowTray)

#endif

#include "tst_mainwindow_tray.moc"
