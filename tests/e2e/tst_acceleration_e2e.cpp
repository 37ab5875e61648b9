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
const QString Password = QStringLiteral("member123");

// A child process whose standard output is kept line by line as it arrives.
class LoggedProcess
{
public:
    LoggedProcess(const QString &program, const QStringList &arguments)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] { take(); });
#ifdef Q_OS_LINUX
        // A test killed by its time-out must not leave servers behind.
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
        process.start(program, arguments);
    }
    ~LoggedProcess()
    {
        process.terminate();
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished(5000);
    }

    // Waits until a line matches; returns its first capture (or the whole line), or nothing.
    QString waitForLine(const QRegularExpression &pattern, int timeoutMs = 30000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            take();
            for (const QString &line : std::as_const(lines)) {
                const QRegularExpressionMatch match = pattern.match(line);
                if (match.hasMatch())
                    return match.lastCapturedIndex() >= 1 ? match.captured(1) : line;
            }
            if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
                return QString();
            process.waitForReadyRead(100);
        }
    }
    // Index of the first line from `from` on that matches, or -1.
    int find(const QString &pattern, int from = 0) const
    {
        const QRegularExpression re(pattern);
        for (int i = from; i < lines.size(); ++i) {
            if (re.match(lines.at(i)).hasMatch())
                return i;
        }
        return -1;
    }
    QString describe()
    {
        return lines.join(QLatin1Char('\n')) + '\n' + process.readAllStandardError();
    }

    QProcess process;
    QStringList lines;

private:
    void take()
    {
        partial += process.readAllStandardOutput();
        for (qsizetype newline; (newline = partial.indexOf('\n')) >= 0; partial.remove(0, newline + 1))
            lines.append(QString::fromUtf8(partial.left(newline)));
    }
    QByteArray partial;
};

QString esc(const QString &text)
{
    return QRegularExpression::escape(text);
}

bool isKey(const QString &text)
{
    const auto decoded =
        QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == 32;
}

} // namespace

class AccelerationEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void theWholeRoadThenExitWithASession();
    void refusalsShowTheBackendsMessages();
    void exitWithoutASessionStopsTheServiceAndQuits();

private:
    // The backend as another program sees it: a plain request, its status and its JSON body.
    QPair<int, QJsonObject> ask(const QString &path, const QByteArray &verb = "GET",
                                const QJsonObject &body = {}, const QString &token = {});
    QAction *exitAction() const
    {
        return window->trayIcon->contextMenu()->findChild<QAction *>(QStringLiteral("exitAction"));
    }
    std::unique_ptr<MainWindow> signedInWindow(const QString &account, const QString &password);
    bool waitForAccelerating();
    // The command line the service logged after its Start for the session.
    QString serviceLineAfterStart(const QString &sessionId);
    int runEventLoopUntilQuit(const std::function<void()> &action);

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

    backend = std::make_unique<LoggedProcess>(QStringLiteral(DEVBACKEND_PATH), QStringList{"--port", "0"});
    baseUrl =
        QUrl(backend->waitForLine(QRegularExpression(QStringLiteral("(https?://127\\.0\\.0\\.1:[0-9]+)"))));
    QVERIFY2(baseUrl.port() > 0, qPrintable(backend->describe()));
    qputenv("DIVE_DIZUVIVIVID_API_URL", baseUrl.toString().toUtf8());

    service = std::make_unique<LoggedProcess>(QStringLiteral(DEVSERVICE_PATH), QStringList());
    // Its socket lies in this process's private temporary folder, which the client looks in too.
    const QString socket =
        service->waitForLine(QRegularExpression(QStringLiteral("^devservice: socket (.+)$")));
    QVERIFY2(socket.startsWith(QDir::tempPath() + QLatin1Char('/')), qPrintable(service->describe()));
}

void AccelerationEndToEnd::cleanup()
{
    if (QTest::currentTestFailed())
        qInfo().noquote() << "devbackend:\n"
                          << backend->describe() << "\ndevservice:\n"
                          << service->describe();
    window.reset();
}

QPair<int, QJsonObject> AccelerationEndToEnd::ask(const QString &path, const QByteArray &verb,
                                                  const QJsonObject &body, const QString &token)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(baseUrl.resolved(QUrl(path)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    QNetworkReply *reply = manager.sendCustomRequest(request, verb, QJsonDocument(body).toJson());
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(15000, &loop, &QEventLoop::quit);
    loop.exec();
    const QPair<int, QJsonObject> answer(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                                         QJsonDocument::fromJson(reply->readAll()).object());
    delete reply;
    return answer;
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

bool AccelerationEndToEnd::waitForAccelerating()
{
    const QDeadlineTimer deadline(20000);
    while (!window->stopButton->isEnabled() ||
           !window->statusLabel->text().startsWith(QStringLiteral("正在加速 · "))) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
}

QString AccelerationEndToEnd::serviceLineAfterStart(const QString &sessionId)
{
    const int start = service->find("^request .*command=Start .*session_id=" + esc(sessionId) + ' ');
    const int next = start < 0 ? -1 : service->find(QStringLiteral("^request .*command="), start + 1);
    return next < 0 ? QString() : service->lines.at(next);
}

int AccelerationEndToEnd::runEventLoopUntilQuit(const std::function<void()> &action)
{
    // The exit runs inside the application's event loop, whose end is what is tested.
    QTimer::singleShot(0, window.get(), action);
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    watchdog.start(30000);
    return QCoreApplication::exec();
}

void AccelerationEndToEnd::theWholeRoadThenExitWithASession()
{
    const int backendFrom = int(backend->lines.size());
    window = signedInWindow(Member, Password);
    QTRY_VERIFY_WITH_TIMEOUT(window->startButton->isEnabled(), 20000);
    QCOMPARE(window->accountLabel->text(), QStringLiteral("账号：") + Member);
    // The demo membership is paid and runs 30 days from the backend's start.
    QCOMPARE(window->membershipStatus->text(), QStringLiteral("会员状态：正式会员 · 剩余 30 天"));
    QVERIFY(window->membershipStatus->isVisible() && window->membershipStatus->property("active").toBool());
    QVERIFY(!window->loginButton->isVisible() && window->logoutButton->isVisible());

    // The list is the backend's catalogue, in its order; the first game and its first region are taken.
    const QString token = ask(QStringLiteral("/api/v1/auth/login"), "POST",
                              {{QStringLiteral("account"), Member},
                               {QStringLiteral("password"), Password},
                               {"device_id", "e2e"}})
                              .second.value(QLatin1String("access_token"))
                              .toString();
    const QJsonArray games =
        ask(QStringLiteral("/api/v1/games"), "GET", {}, token).second.value("items").toArray();
    QVERIFY(games.size() > 1);
    QCOMPARE(window->gameList->count(), games.size());
    for (int i = 0; i < games.size(); ++i)
        QCOMPARE(window->gameList->item(i)->text(), games.at(i)[QLatin1String("name")].toString());
    QCOMPARE(window->gameList->currentRow(), 0);
    QCOMPARE(window->selectedGameId, games.at(0)[QLatin1String("id")].toString());
    QVERIFY(window->routeCard->text().startsWith(QStringLiteral("加速线路：")));
    QCOMPARE(window->statusLabel->text(), QStringLiteral("香港节点在线，可开始加速"));
    QTRY_VERIFY(backend->find("^POST /api/v1/auth/login 200 account=" + esc(Member), backendFrom) >= 0);

    // Split routing for a game with processes, then global routing for one without; each stopped
    // on the backend first, then in the service.
    for (const QString &slug : {QStringLiteral("cs2"), QStringLiteral("vrchat")}) {
        for (int i = 0; i < games.size(); ++i) {
            if (games.at(i)[QLatin1String("slug")].toString() == slug)
                window->gameList->setCurrentRow(i);
        }
        QCOMPARE(window->selectedGameSlug, slug);
        QTRY_VERIFY_WITH_TIMEOUT(window->startButton->isEnabled(), 20000);
        const int from = int(backend->lines.size());
        QTest::mouseClick(window->startButton, Qt::LeftButton);
        QVERIFY2(waitForAccelerating(), qPrintable(window->statusLabel->text()));

        // The real key-pair program made the keys; the backend granted a session the service runs.
        QVERIFY2(isKey(window->tunnelPrivateKey) && isKey(window->tunnelPublicKey),
                 qPrintable(window->tunnelPublicKey));
        const QString sessionId = window->activeSessionId;
        const QString startLine = "^request .*command=Start .*session_id=" + esc(sessionId) + ' ';
        QTRY_VERIFY_WITH_TIMEOUT(service->find(startLine) >= 0, 5000);
        const QRegularExpressionMatch tunnel =
            QRegularExpression(QStringLiteral("status=0 state=accelerating .*route_mode=(\\S+) "
                                              "game_processes=(\\d+) egress_ip=(\\S+)"))
                .match(service->lines.at(service->find(startLine)));
        QVERIFY2(tunnel.hasMatch(), qPrintable(service->describe()));
        QVERIFY(tunnel.captured(3).startsWith(QStringLiteral("203.0.113.")));
        QCOMPARE(window->routeCard->text(),
                 QStringLiteral("当前节点：Hong Kong Test Node · 加速 IP：") + tunnel.captured(3));
        if (slug == QLatin1String("cs2")) {
            QCOMPARE(tunnel.captured(1), QStringLiteral("process-beta"));
            QVERIFY(tunnel.captured(2).toInt() > 0);
            QCOMPARE(window->statusLabel->text(), QStringLiteral("正在加速 · 智能分流 Beta（仅游戏流量）"));
        } else {
            // No processes: the client adds no route mode, and the backend sent none.
            QCOMPARE(tunnel.captured(1) + ' ' + tunnel.captured(2), QStringLiteral("- 0"));
            QCOMPARE(window->statusLabel->text(),
                     QStringLiteral("正在加速 · 全局模式（全部 IPv4 流量经香港）"));
            break; // this one is ended by the exit route below
        }
        QVERIFY(!window->startButton->isEnabled() && window->launchButton->isEnabled());

        QTest::mouseClick(window->stopButton, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(window->statusLabel->text(), QStringLiteral("当前未加速"), 20000);
        QVERIFY(window->activeSessionId.isEmpty() && window->tunnelPrivateKey.isEmpty() &&
                window->tunnelPublicKey.isEmpty());
        QVERIFY(window->startButton->isEnabled() && !window->stopButton->isEnabled());
        // Backend: created once, then deleted. Service: started, then stopped and idle again.
        const QString deleteLine = "^DELETE /api/v1/acceleration/sessions/" + esc(sessionId) + " 204";
        QTRY_VERIFY_WITH_TIMEOUT(backend->find(deleteLine, from) >= 0, 5000);
        const int created = backend->find(QStringLiteral("^POST /api/v1/acceleration/sessions 201"), from);
        QVERIFY2(created >= 0 && backend->find(deleteLine, from) > created, qPrintable(backend->describe()));
        QCOMPARE(backend->find(QStringLiteral("^POST /api/v1/acceleration/sessions"), created + 1), -1);
        QTRY_VERIFY_WITH_TIMEOUT(serviceLineAfterStart(sessionId).contains(QStringLiteral(" command=Stop ")),
                                 5000);
        QVERIFY(serviceLineAfterStart(sessionId).contains(QStringLiteral(" status=0 state=idle")));
    }

    // The exit with a session running: the window waits for the backend's delete, then quits.
    QVERIFY(exitAction());
    const QString sessionId = window->activeSessionId;
    bool trayHidden = false, sessionHeldWhileWaiting = false, stoppedInTheLoop = false;
    QString exitingText;
    QObject::connect(window->apiClient, &ApiClient::SessionStopped, window.get(),
                     [&] { stoppedInTheLoop = window->activeSessionId.isEmpty(); });
    const int code = runEventLoopUntilQuit([&] {
        exitAction()->trigger();
        trayHidden = !window->trayIcon->isVisible();
        exitingText = window->statusLabel->text();
        sessionHeldWhileWaiting = window->activeSessionId == sessionId;
    });
    QCOMPARE(code, 0); // ended by the client, not by the watchdog
    QCOMPARE(exitingText, QStringLiteral("正在停止加速并退出…"));
    // The loop was still running when the backend's confirmation arrived and was handled.
    QVERIFY(trayHidden && sessionHeldWhileWaiting && stoppedInTheLoop && window->quitting);
    QTRY_VERIFY(backend->find("^DELETE /api/v1/acceleration/sessions/" + esc(sessionId) + " 204") >= 0);
    QTRY_VERIFY_WITH_TIMEOUT(serviceLineAfterStart(sessionId).contains(QStringLiteral(" command=Stop ")),
                             5000);
}

void AccelerationEndToEnd::refusalsShowTheBackendsMessages()
{
    // A wrong password: the backend's own words, where the sign-in form is.
    const QString wrong = QStringLiteral("not-the-password");
    const QPair<int, QJsonObject> refused =
        ask(QStringLiteral("/api/v1/auth/login"), "POST",
            {{"account", Member}, {"password", wrong}, {"device_id", "e2e"}});
    QCOMPARE(refused.first, 401);
    window = signedInWindow(Member, wrong);
    QTRY_COMPARE_WITH_TIMEOUT(window->accountLabel->text(), refused.second.value("message").toString(),
                              20000);
    QVERIFY(window->loginButton->isEnabled() && window->loginButton->isVisible());
    QVERIFY(!window->membershipStatus->isVisible() && !window->startButton->isEnabled());

    // An expired membership: the window signs in, but the backend refuses the session.
    const int backendFrom = int(backend->lines.size());
    const int serviceFrom = int(service->lines.size());
    window = signedInWindow(QStringLiteral("expired@zumvari.test"), QStringLiteral("expired123"));
    QTRY_VERIFY_WITH_TIMEOUT(window->startButton->isEnabled(), 20000);
    QCOMPARE(window->membershipStatus->text(), QStringLiteral("会员状态：未开通或已过期"));
    QTest::mouseClick(window->startButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(
        backend->find(QStringLiteral("^POST /api/v1/acceleration/sessions 403"), backendFrom) >= 0, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(window->startButton->isEnabled(), 20000);
    // The backend's message, not the client's fallback, and nothing left of the attempt.
    const QString shown = window->statusLabel->text();
    QVERIFY2(!shown.isEmpty() && !shown.startsWith(QStringLiteral("正在")) &&
                 shown != QStringLiteral("创建加速会话失败"),
             qPrintable(shown));
    QVERIFY(window->tunnelPrivateKey.isEmpty() && window->tunnelPublicKey.isEmpty() &&
            window->activeSessionId.isEmpty());
    QVERIFY(!window->stopButton->isEnabled() && !window->launchButton->isEnabled());
    QCOMPARE(service->find(QStringLiteral(" command=Start "), serviceFrom), -1);
}

void AccelerationEndToEnd::exitWithoutASessionStopsTheServiceAndQuits()
{
    window = signedInWindow(Member, Password);
    QTRY_VERIFY_WITH_TIMEOUT(window->startButton->isEnabled(), 20000);
    QVERIFY(exitAction());
    const int backendFrom = int(backend->lines.size());
    const int serviceFrom = int(service->lines.size());
    QCOMPARE(runEventLoopUntilQuit([&] { exitAction()->trigger(); }), 0);
    QVERIFY(!window->trayIcon->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(service->find(QStringLiteral("command=Stop .*status=0"), serviceFrom) >= 0,
                             5000);
    QCOMPARE(backend->find(QStringLiteral("acceleration/sessions"), backendFrom), -1);
}

ZUMVARI_TEST_MAIN(AccelerationEndToEnd)

#include "tst_acceleration_e2e.moc"
