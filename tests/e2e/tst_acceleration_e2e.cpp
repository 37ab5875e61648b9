// End to end: the real main window in this process against the real development backend and
// local service processes, with the real key-pair program beside this test binary. The service
// listens in this process's private temporary folder, which it inherits.

#include "apiclient.h"
#include "clienttest.h"
#include "mainwindow.h"

#include <QAction>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>

#include <csignal>
#include <memory>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

const QString Member = QStringLiteral("member@zumvari.test");
const QString MemberPassword = QStringLiteral("member123");
const QString Expired = QStringLiteral("expired@zumvari.test");
const QString ExpiredPassword = QStringLiteral("expired123");

// A child process whose standard output is kept line by line as it arrives.
class LoggedProcess
{
public:
    explicit LoggedProcess(const QString &name) : name(name)
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.setReadChannel(QProcess::StandardOutput);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] { take(); });
#ifdef Q_OS_LINUX
        // A test killed by its time-out must not leave servers behind.
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
    }
    ~LoggedProcess()
    {
        stop();
    }

    bool start(const QString &program, const QStringList &arguments)
    {
        process.start(program, arguments);
        return process.waitForStarted(10000);
    }
    // Waits until a line matches; returns its first capture (or the whole line).
    QString waitForLine(const QRegularExpression &pattern, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            for (const QString &line : std::as_const(lines)) {
                const QRegularExpressionMatch match = pattern.match(line);
                if (match.hasMatch())
                    return match.lastCapturedIndex() >= 1 ? match.captured(1) : line;
            }
            if (deadline.hasExpired() || process.state() != QProcess::Running)
                return QString();
            process.waitForReadyRead(int(qMax<qint64>(1, qMin<qint64>(100, deadline.remainingTime()))));
            take();
        }
    }
    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(5000);
        }
        take();
    }
    // Lines from `from` on.
    QStringList linesFrom(int from) const
    {
        return lines.mid(from);
    }
    int lineCount() const
    {
        return int(lines.size());
    }
    QString describe()
    {
        return name + QStringLiteral(" output:\n") + lines.join(QLatin1Char('\n')) + QLatin1Char('\n') +
               QString::fromLocal8Bit(process.readAllStandardError());
    }
    QProcess process;

private:
    void take()
    {
        partial += process.readAllStandardOutput();
        qsizetype newline;
        while ((newline = partial.indexOf('\n')) >= 0) {
            lines.append(QString::fromUtf8(partial.left(newline)));
            partial.remove(0, newline + 1);
        }
    }
    QString name;
    QByteArray partial;
    QStringList lines;
};

// Index of the first line at or after `from` that matches, or -1.
int findLine(const QStringList &lines, const QRegularExpression &pattern, int from = 0)
{
    for (int i = from; i < lines.size(); ++i) {
        if (pattern.match(lines.at(i)).hasMatch())
            return i;
    }
    return -1;
}

QString esc(const QString &text)
{
    return QRegularExpression::escape(text);
}

struct HttpAnswer
{
    int status = 0;
    QJsonObject body;
};

// A plain request to the backend, outside the client, to learn what it says.
HttpAnswer httpRequest(const QUrl &url, const QByteArray &verb, const QJsonObject &body = {},
                       const QString &token = {})
{
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    QNetworkReply *reply = manager.sendCustomRequest(
        request, verb, body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson());
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(15000, &loop, &QEventLoop::quit);
    loop.exec();
    HttpAnswer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = QJsonDocument::fromJson(reply->readAll()).object();
    delete reply;
    return answer;
}

bool isKey(const QString &text)
{
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == 32;
}

QAction *trayAction(MainWindow &window, const char *name)
{
    const QList<QAction *> actions = window.trayIcon->contextMenu()->actions();
    for (QAction *action : actions) {
        if (action->objectName() == QLatin1String(name))
            return action;
    }
    return nullptr;
}

} // namespace

class AccelerationEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void signInShowsMembershipAndGames();
    void wrongPasswordShowsTheBackendsMessage();
    void oneAccelerationFromStartToStop();
    void globalRoutingForAGameWithoutProcesses();
    void inactiveMembershipIsRefusedByTheBackend();
    void exitWithASessionQuitsAfterTheDelete();
    void exitWithoutASessionStopsTheServiceAndQuits();

private:
    std::unique_ptr<MainWindow> signedInWindow(const QString &account, const QString &password);
    bool waitForAccelerating(MainWindow &window);
    void selectGameBySlug(MainWindow &window, const QString &slug);
    QString signInDirectly(const QString &account, const QString &password);
    struct ServiceRun
    {
        QString start; // the service's Start line for the session
        QString next;  // the command line that came after it
        bool nothingAfterNext = false;
    };
    ServiceRun serviceRunOf(const QString &sessionId);
    QUrl api(const QString &path) const { return baseUrl.resolved(QUrl(path)); }

    std::unique_ptr<LoggedProcess> backend;
    std::unique_ptr<LoggedProcess> service;
    QUrl baseUrl;
    std::unique_ptr<MainWindow> window;
};

void AccelerationEndToEnd::initTestCase()
{
    // The client takes pairgen.exe from beside itself, here beside this test.
    QVERIFY2(
        QFileInfo(QCoreApplication::applicationDirPath() + QStringLiteral("/pairgen.exe")).isExecutable(),
        "pairgen.exe must be copied beside the test binary");

    backend = std::make_unique<LoggedProcess>(QStringLiteral("devbackend"));
    QVERIFY(backend->start(QStringLiteral(DEVBACKEND_PATH), {QStringLiteral("--port"), QStringLiteral("0")}));
    const QString url =
        backend->waitForLine(QRegularExpression(QStringLiteral("(https?://127\\.0\\.0\\.1:[0-9]+)")), 30000);
    QVERIFY2(!url.isEmpty(), qPrintable(backend->describe()));
    baseUrl = QUrl(url);
    QVERIFY2(baseUrl.port() > 0, qPrintable(url));

    service = std::make_unique<LoggedProcess>(QStringLiteral("devservice"));
    QVERIFY(service->start(QStringLiteral(DEVSERVICE_PATH), {}));
    QVERIFY2(!service->waitForLine(QRegularExpression(QStringLiteral("^devservice listening on ")), 30000)
                  .isEmpty(),
             qPrintable(service->describe()));
    // Its socket lies in this process's private temporary folder, which the client looks in too.
    const QString socket =
        service->waitForLine(QRegularExpression(QStringLiteral("^devservice: socket (.+)$")), 10000);
    QVERIFY2(socket.startsWith(QDir::tempPath() + QLatin1Char('/')), qPrintable(service->describe()));

    qputenv("DIVE_DIZUVIVIVID_API_URL", baseUrl.toString().toUtf8());
}

void AccelerationEndToEnd::cleanupTestCase()
{
    window.reset();
    if (service)
        service->stop();
    if (backend)
        backend->stop();
}

void AccelerationEndToEnd::cleanup()
{
    if (QTest::currentTestFailed()) {
        qInfo().noquote() << backend->describe();
        qInfo().noquote() << service->describe();
    }
    window.reset();
}

std::unique_ptr<MainWindow> AccelerationEndToEnd::signedInWindow(const QString &account,
                                                                 const QString &password)
{
    auto signedIn = std::make_unique<MainWindow>();
    signedIn->show();
    QTest::keyClicks(signedIn->accountEdit, account);
    QTest::keyClicks(signedIn->passwordEdit, password);
    QTest::mouseClick(signedIn->loginButton, Qt::LeftButton);
    return signedIn;
}

bool AccelerationEndToEnd::waitForAccelerating(MainWindow &window)
{
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (window.stopButton->isEnabled() &&
            window.statusLabel->text().startsWith(QStringLiteral("正在加速 · ")))
            return true;
        QTest::qWait(20);
    }
    return false;
}

QString AccelerationEndToEnd::signInDirectly(const QString &account, const QString &password)
{
    const HttpAnswer login = httpRequest(api(QStringLiteral("/api/v1/auth/login")), "POST",
                                         {{QStringLiteral("account"), account},
                                          {QStringLiteral("password"), password},
                                          {QStringLiteral("device_id"), QStringLiteral("e2e-test")}});
    return login.status == 200 ? login.body.value(QStringLiteral("access_token")).toString() : QString();
}

AccelerationEndToEnd::ServiceRun AccelerationEndToEnd::serviceRunOf(const QString &sessionId)
{
    const QStringList lines = service->linesFrom(0);
    const QRegularExpression anyCommand(QStringLiteral("^request .*command="));
    ServiceRun run;
    const int start =
        findLine(lines, QRegularExpression(QStringLiteral("^request .*command=Start .*session_id=") +
                                           esc(sessionId) + QStringLiteral(" ")));
    if (start < 0)
        return run;
    run.start = lines.at(start);
    const int next = findLine(lines, anyCommand, start + 1);
    if (next < 0)
        return run;
    run.next = lines.at(next);
    run.nothingAfterNext = findLine(lines, anyCommand, next + 1) < 0;
    return run;
}

void AccelerationEndToEnd::selectGameBySlug(MainWindow &window, const QString &slug)
{
    // The list shows names; the catalogue says which name has the slug.
    const HttpAnswer games =
        httpRequest(api(QStringLiteral("/api/v1/games")), "GET", {}, signInDirectly(Member, MemberPassword));
    QString name;
    for (const QJsonValue &game : games.body.value(QStringLiteral("items")).toArray()) {
        if (game.toObject().value(QStringLiteral("slug")).toString() == slug)
            name = game.toObject().value(QStringLiteral("name")).toString();
    }
    const QList<QListWidgetItem *> items = window.gameList->findItems(name, Qt::MatchExactly);
    QVERIFY2(!name.isEmpty() && items.size() == 1, qPrintable(slug));
    window.gameList->setCurrentItem(items.first());
    QCOMPARE(window.selectedGameSlug, slug);
    QTRY_VERIFY_WITH_TIMEOUT(window.startButton->isEnabled(), 20000);
    QCOMPARE(window.statusLabel->text(), QStringLiteral("香港节点在线，可开始加速"));
}

void AccelerationEndToEnd::signInShowsMembershipAndGames()
{
    const int backendFrom = backend->lineCount();
    window = signedInWindow(Member, MemberPassword);

    QTRY_VERIFY_WITH_TIMEOUT(window->startButton->isEnabled(), 20000);
    QCOMPARE(window->accountLabel->text(), QStringLiteral("账号：") + Member);
    QVERIFY(window->membershipStatus->isVisible());
    // The demo membership is paid and runs 30 days from the backend's start.
    QCOMPARE(window->membershipStatus->text(), QStringLiteral("会员状态：正式会员 · 剩余 30 天"));
    QCOMPARE(window->membershipStatus->property("active").toBool(), true);
    QVERIFY2(QRegularExpression(QStringLiteral("^到期时间：\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}$"))
                 .match(window->membershipExpiry->text())
                 .hasMatch(),
             qPrintable(window->membershipExpiry->text()));
    QVERIFY(!window->loginButton->isVisible());
    QVERIFY(window->logoutButton->isVisible());

    // The list is the backend's catalogue, in its order, and the first game is current.
    const QString token = signInDirectly(Member, MemberPassword);
    QVERIFY(!token.isEmpty());
    const HttpAnswer games = httpRequest(api(QStringLiteral("/api/v1/games")), "GET", {}, token);
    QCOMPARE(games.status, 200);
    const QJsonArray items = games.body.value(QStringLiteral("items")).toArray();
    QVERIFY(items.size() > 1);
    QCOMPARE(window->gameList->count(), items.size());
    for (int i = 0; i < items.size(); ++i)
        QCOMPARE(window->gameList->item(i)->text(),
                 items.at(i).toObject().value(QStringLiteral("name")).toString());
    QCOMPARE(window->gameList->currentRow(), 0);

    // The first region of the first game is matched.
    const QString firstGame = items.at(0).toObject().value(QStringLiteral("id")).toString();
    const HttpAnswer regions =
        httpRequest(api(QStringLiteral("/api/v1/games/%1/regions").arg(firstGame)), "GET", {}, token);
    const QJsonObject firstRegion = regions.body.value(QStringLiteral("items")).toArray().at(0).toObject();
    QCOMPARE(window->selectedGameId, firstGame);
    QCOMPARE(window->selectedRegionId, firstRegion.value(QStringLiteral("id")).toString());
    QCOMPARE(window->routeCard->text(), QStringLiteral("加速线路：%1 · 香港智能节点")
                                            .arg(firstRegion.value(QStringLiteral("name")).toString()));
    QCOMPARE(window->statusLabel->text(), QStringLiteral("香港节点在线，可开始加速"));

    // The backend saw the sign-in, the profile, the catalogue and the regions.
    const QStringList lines = backend->linesFrom(backendFrom);
    QVERIFY2(findLine(lines, QRegularExpression(QStringLiteral("^POST /api/v1/auth/login 200 account=") +
                                                esc(Member))) >= 0,
             qPrintable(lines.join(QLatin1Char('\n'))));
    QVERIFY(findLine(lines, QRegularExpression(QStringLiteral("^GET /api/v1/me 200"))) >= 0);
    QVERIFY(findLine(lines, QRegularExpression(QStringLiteral("^GET /api/v1/games 200"))) >= 0);
}

void AccelerationEndToEnd::wrongPasswordShowsTheBackendsMessage()
{
    const HttpAnswer refused = httpRequest(api(QStringLiteral("/api/v1/auth/login")), "POST",
                                           {{QStringLiteral("account"), Member},
                                            {QStringLiteral("password"), QStringLiteral("not-the-password")},
                                            {QStringLiteral("device_id"), QStringLiteral("e2e-test")}});
    QCOMPARE(refused.status, 401);
    const QString message = refused.body.value(QStringLiteral("message")).toString();
    QVERIFY(!message.isEmpty());

    window = signedInWindow(Member, QStringLiteral("not-the-password"));
    QTRY_COMPARE_WITH_TIMEOUT(window->accountLabel->text(), message, 20000);
    QVERIFY(window->loginButton->isEnabled());
    QVERIFY(window->loginButton->isVisible());
    QVERIFY(!window->membershipStatus->isVisible());
    QVERIFY(!window->startButton->isEnabled());
    QCOMPARE(window->gameList->count(), 0);
}

void AccelerationEndToEnd::oneAccelerationFromStartToStop()
{
    window = signedInWindow(Member, MemberPassword);
    QTRY_VERIFY_WITH_TIMEOUT(window->startButton->isEnabled(), 20000);
    selectGameBySlug(*window, QStringLiteral("cs2"));
    if (QTest::currentTestFailed())
        return;

    const int backendFrom = backend->lineCount();
    QTest::mouseClick(window->startButton, Qt::LeftButton);
    QVERIFY2(waitForAccelerating(*window), qPrintable(window->statusLabel->text()));

    // The real key-pair program made the keys; the backend granted a session the service runs.
    QVERIFY2(isKey(window->tunnelPrivateKey), qPrintable(window->tunnelPrivateKey));
    QVERIFY2(isKey(window->tunnelPublicKey), qPrintable(window->tunnelPublicKey));
    const QString sessionId = window->activeSessionId;
    QVERIFY(!sessionId.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!serviceRunOf(sessionId).start.isEmpty(), 5000);
    const QRegularExpressionMatch tunnel =
        QRegularExpression(QStringLiteral("status=0 state=accelerating .*route_mode=(\\S+) "
                                          "game_processes=(\\d+) egress_ip=(\\S+)"))
            .match(serviceRunOf(sessionId).start);
    QVERIFY2(tunnel.hasMatch(), qPrintable(serviceRunOf(sessionId).start));

    // What the window shows is the session the service holds: split routing for a game with
    // processes, and the session's egress address.
    QCOMPARE(tunnel.captured(1), QStringLiteral("process-beta"));
    QVERIFY(tunnel.captured(2).toInt() > 0);
    QCOMPARE(window->statusLabel->text(), QStringLiteral("正在加速 · 智能分流 Beta（仅游戏流量）"));
    QCOMPARE(window->routeCard->text(),
             QStringLiteral("当前节点：Hong Kong Test Node · 加速 IP：%1").arg(tunnel.captured(3)));
    QVERIFY(tunnel.captured(3).startsWith(QStringLiteral("203.0.113.")));
    QVERIFY(!window->startButton->isEnabled());
    QVERIFY(window->launchButton->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(
        findLine(backend->linesFrom(backendFrom),
                 QRegularExpression(QStringLiteral("^POST /api/v1/acceleration/sessions 201 .*session=") +
                                    esc(sessionId))) >= 0,
        5000);

    QTest::mouseClick(window->stopButton, Qt::LeftButton);
    QVERIFY(!window->stopButton->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(window->statusLabel->text(), QStringLiteral("当前未加速"), 20000);
    QVERIFY(window->activeSessionId.isEmpty());
    QVERIFY(window->tunnelPrivateKey.isEmpty());
    QVERIFY(window->tunnelPublicKey.isEmpty());
    QVERIFY(window->startButton->isEnabled());
    QVERIFY(!window->stopButton->isEnabled());

    // Backend: created, then deleted. Service: started, then stopped, and idle again.
    QTRY_VERIFY_WITH_TIMEOUT(
        findLine(backend->linesFrom(backendFrom),
                 QRegularExpression(QStringLiteral("^DELETE /api/v1/acceleration/sessions/") +
                                    esc(sessionId) + QStringLiteral(" 204"))) >= 0,
        5000);
    const QStringList backendLines = backend->linesFrom(backendFrom);
    const int created =
        findLine(backendLines, QRegularExpression(QStringLiteral("^POST /api/v1/acceleration/sessions 201")));
    const int deleted =
        findLine(backendLines, QRegularExpression(QStringLiteral("^DELETE /api/v1/acceleration/sessions/")));
    QVERIFY2(created >= 0 && deleted > created, qPrintable(backendLines.join(QLatin1Char('\n'))));
    QCOMPARE(findLine(backendLines, QRegularExpression(QStringLiteral("^POST /api/v1/acceleration/sessions")),
                      created + 1),
             -1);

    QTRY_VERIFY_WITH_TIMEOUT(!serviceRunOf(sessionId).next.isEmpty(), 5000);
    const ServiceRun run = serviceRunOf(sessionId);
    QVERIFY2(run.next.contains(QStringLiteral(" command=Stop ")) &&
                 run.next.contains(QStringLiteral(" status=0 state=idle")),
             qPrintable(run.next));
    QVERIFY(run.nothingAfterNext);

    // Gone for good: a second delete finds nothing.
    QCOMPARE(httpRequest(api(QStringLiteral("/api/v1/acceleration/sessions/") + sessionId), "DELETE", {},
                         signInDirectly(Member, MemberPassword))
                 .status,
             404);
}

void AccelerationEndToEnd::globalRoutingForAGameWithoutProcesses()
{
    window = signedInWindow(Member, MemberPassword);
    QTRY_VERIFY_WITH_TIMEOUT(window->startButton->isEnabled(), 20000);
    selectGameBySlug(*window, QStringLiteral("vrchat"));
    if (QTest::currentTestFailed())
        return;

    QTest::mouseClick(window->startButton, Qt::LeftButton);
    QVERIFY2(waitForAccelerating(*window), qPrintable(window->statusLabel->text()));
    QCOMPARE(window->statusLabel->text(), QStringLiteral("正在加速 · 全局模式（全部 IPv4 流量经香港）"));
    const QString sessionId = window->activeSessionId;
    QTRY_VERIFY_WITH_TIMEOUT(!serviceRunOf(sessionId).start.isEmpty(), 5000);
    // No processes: the client adds no route mode, and the backend sent none.
    const QString startLine = serviceRunOf(sessionId).start;
    QVERIFY2(startLine.contains(QStringLiteral(" route_mode=- game_processes=0 ")), qPrintable(startLine));

    QTest::mouseClick(window->stopButton, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(window->statusLabel->text(), QStringLiteral("当前未加速"), 20000);
    QVERIFY(window->activeSessionId.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(serviceRunOf(sessionId).next.contains(QStringLiteral(" command=Stop ")), 5000);
}

void AccelerationEndToEnd::inactiveMembershipIsRefusedByTheBackend()
{
    const int backendFrom = backend->lineCount();
    const int serviceFrom = service->lineCount();
    window = signedInWindow(Expired, ExpiredPassword);
    QTRY_VERIFY_WITH_TIMEOUT(window->startButton->isEnabled(), 20000);
    QCOMPARE(window->membershipStatus->text(), QStringLiteral("会员状态：未开通或已过期"));
    QCOMPARE(window->membershipStatus->property("active").toBool(), false);

    QTest::mouseClick(window->startButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(
        findLine(backend->linesFrom(backendFrom),
                 QRegularExpression(QStringLiteral("^POST /api/v1/acceleration/sessions 403"))) >= 0,
        20000);
    QTRY_VERIFY_WITH_TIMEOUT(window->startButton->isEnabled(), 20000);
    const QString shown = window->statusLabel->text();
    QVERIFY2(!shown.isEmpty() && !shown.startsWith(QStringLiteral("正在")), qPrintable(shown));
    QVERIFY(window->tunnelPrivateKey.isEmpty());
    QVERIFY(window->tunnelPublicKey.isEmpty());
    QVERIFY(window->activeSessionId.isEmpty());
    QVERIFY(!window->stopButton->isEnabled());
    QVERIFY(!window->launchButton->isEnabled());
    // Nothing reached the service.
    QCOMPARE(findLine(service->linesFrom(serviceFrom), QRegularExpression(QStringLiteral(" command=Start "))),
             -1);

    // The text is the backend's own message for that refusal, asked directly.
    const QString token = signInDirectly(Expired, ExpiredPassword);
    QVERIFY(!token.isEmpty());
    const HttpAnswer nodes = httpRequest(api(QStringLiteral("/api/v1/games/%1/regions/%2/nodes")
                                                 .arg(window->selectedGameId, window->selectedRegionId)),
                                         "GET", {}, token);
    const QString nodeId = nodes.body.value(QStringLiteral("items"))
                               .toArray()
                               .at(0)
                               .toObject()
                               .value(QStringLiteral("id"))
                               .toString();
    const QJsonObject body{
        {QStringLiteral("game_id"), window->selectedGameId},
        {QStringLiteral("region_id"), window->selectedRegionId},
        {QStringLiteral("preferred_node_id"), nodeId},
        {QStringLiteral("client_public_key"), QStringLiteral("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=")},
        {QStringLiteral("probes"),
         QJsonArray{QJsonObject{{QStringLiteral("node_id"), nodeId}, {QStringLiteral("rtt_ms"), 30}}}}};
    const HttpAnswer refused =
        httpRequest(api(QStringLiteral("/api/v1/acceleration/sessions")), "POST", body, token);
    QCOMPARE(refused.status, 403);
    QCOMPARE(shown, refused.body.value(QStringLiteral("message")).toString());
}

void AccelerationEndToEnd::exitWithASessionQuitsAfterTheDelete()
{
    window = signedInWindow(Member, MemberPassword);
    QTRY_VERIFY_WITH_TIMEOUT(window->startButton->isEnabled(), 20000);
    QTest::mouseClick(window->startButton, Qt::LeftButton);
    QVERIFY2(waitForAccelerating(*window), qPrintable(window->statusLabel->text()));
    const QString sessionId = window->activeSessionId;
    QTRY_VERIFY_WITH_TIMEOUT(!serviceRunOf(sessionId).start.isEmpty(), 5000);
    QAction *exitAction = trayAction(*window, "exitAction");
    QVERIFY(exitAction);

    const int backendFrom = backend->lineCount();
    bool trayHidden = false;
    QString exitingText;
    bool sessionHeldWhileWaiting = false;
    bool stopConfirmedInTheLoop = false;
    // The exit runs inside the application's event loop, whose end is what is tested.
    QTimer::singleShot(0, window.get(), [&] {
        exitAction->trigger();
        trayHidden = !window->trayIcon->isVisible();
        exitingText = window->statusLabel->text();
        sessionHeldWhileWaiting = window->activeSessionId == sessionId;
    });
    QObject::connect(window->apiClient, &ApiClient::SessionStopped, window.get(),
                     [&] { stopConfirmedInTheLoop = window->activeSessionId.isEmpty(); });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    watchdog.start(30000);
    const int code = QCoreApplication::exec();
    watchdog.stop();

    QCOMPARE(code, 0); // ended by the client, not by the watchdog
    QVERIFY(trayHidden);
    QCOMPARE(exitingText, QStringLiteral("正在停止加速并退出…"));
    QVERIFY(sessionHeldWhileWaiting);
    // The loop was still running when the backend's confirmation arrived and was handled.
    QVERIFY(stopConfirmedInTheLoop);
    QVERIFY(window->activeSessionId.isEmpty());
    QVERIFY(window->quitting);

    // By the time the loop ended the backend had deleted the session: a second delete finds
    // nothing. The local service was told to stop.
    QCOMPARE(httpRequest(api(QStringLiteral("/api/v1/acceleration/sessions/") + sessionId), "DELETE", {},
                         signInDirectly(Member, MemberPassword))
                 .status,
             404);
    QTRY_VERIFY_WITH_TIMEOUT(
        findLine(backend->linesFrom(backendFrom),
                 QRegularExpression(QStringLiteral("^DELETE /api/v1/acceleration/sessions/") +
                                    esc(sessionId) + QStringLiteral(" 204"))) >= 0,
        5000);
    QTRY_VERIFY_WITH_TIMEOUT(!serviceRunOf(sessionId).next.isEmpty(), 5000);
    const ServiceRun run = serviceRunOf(sessionId);
    QVERIFY2(run.next.contains(QStringLiteral(" command=Stop ")) &&
                 run.next.contains(QStringLiteral(" status=0 state=idle")),
             qPrintable(run.next));
}

void AccelerationEndToEnd::exitWithoutASessionStopsTheServiceAndQuits()
{
    window = signedInWindow(Member, MemberPassword);
    QTRY_VERIFY_WITH_TIMEOUT(window->startButton->isEnabled(), 20000);
    QAction *exitAction = trayAction(*window, "exitAction");
    QVERIFY(exitAction);

    const int backendFrom = backend->lineCount();
    const int serviceFrom = service->lineCount();
    QTimer::singleShot(0, window.get(), [&] { exitAction->trigger(); });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    watchdog.start(30000);
    const int code = QCoreApplication::exec();
    watchdog.stop();

    QCOMPARE(code, 0);
    QVERIFY(!window->trayIcon->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(findLine(service->linesFrom(serviceFrom),
                                      QRegularExpression(QStringLiteral("command=Stop .*status=0"))) >= 0,
                             5000);
    QCOMPARE(findLine(backend->linesFrom(backendFrom),
                      QRegularExpression(QStringLiteral("acceleration/sessions"))),
             -1);
}

ZUMVARI_TEST_MAIN(AccelerationEndToEnd)

#include "tst_acceleration_e2e.moc"
