#include "windowrig.h"

#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace Rig {

QByteArray regionsPath(const QByteArray &gameId)
{
    return "/api/v1/games/" + gameId + "/regions";
}

QByteArray nodesPath(const QByteArray &gameId, const QByteArray &regionId)
{
    return regionsPath(gameId) + '/' + regionId + "/nodes";
}

ScriptedReply json(int status, const QJsonObject &body)
{
    return ScriptedReply::json(status, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

ScriptedReply items(const QJsonArray &items, int delayMs)
{
    return json(200, {{"items", items}}).delayed(delayMs);
}

ScriptedReply failure(int status, const QString &message)
{
    return json(status, {{"message", message}});
}

bool installPairgen(const QString &program)
{
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/pairgen.exe");
    QFile::remove(beside);
    return QFile::copy(program, beside);
}

bool withModalBox(const std::function<void()> &trigger, const std::function<void(QMessageBox *)> &check)
{
    bool found = false;
    QTimer poller;
    QObject::connect(&poller, &QTimer::timeout, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            poller.stop();
            found = true;
            check(box);
            // Whatever the checks said, the box must go, or the test would hang in its exec().
            if (QApplication::activeModalWidget() == box)
                box->done(QMessageBox::Cancel);
        }
    });
    poller.start(20);
    QTimer::singleShot(5000, &poller, &QTimer::stop);
    trigger();
    return found;
}

int runEventLoop(const std::function<void()> &action, int limitMs)
{
    QTimer::singleShot(0, qApp, action);
    QTimer limit;
    QObject::connect(&limit, &QTimer::timeout, qApp, [] { QCoreApplication::exit(NotQuit); });
    limit.start(limitMs);
    return QApplication::exec();
}

QuitWatcher::QuitWatcher(std::function<void()> onQuit) : onQuit(std::move(onQuit))
{
    qApp->installEventFilter(this);
}

QuitWatcher::~QuitWatcher()
{
    qApp->removeEventFilter(this);
}

bool QuitWatcher::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == qApp && event->type() == QEvent::Quit && ++quits && onQuit)
        onQuit();
    return false;
}

} // namespace Rig

using namespace Rig;

WindowRig::WindowRig()
{
    const auto game = [](const char *id, const char *name, const char *slug) {
        return QJsonObject{{"id", id}, {"name", name}, {"slug", slug}};
    };
    const auto node = [](const char *id, const char *name, int score) {
        return QJsonObject{{"id", id}, {"name", name}, {"location", "hk"}, {"score", score}};
    };
    server.on("GET", "/api/v1/client/releases/latest").always(ScriptedReply(404));
    server.on("POST", "/api/v1/auth/login")
        .always(json(200, {{"access_token", "access-1"}, {"refresh_token", "refresh-1"}}));
    const QJsonObject trial{{"active", true}, {"kind", "trial"}, {"expires_at", "2030-01-01T00:00:00Z"}};
    server.on("GET", "/api/v1/me")
        .always(json(200, {{"account", "alice@example.com"}, {"membership", trial}}));
    server.on("GET", "/api/v1/games")
        .always(items({game("g-1", "反恐精英2", "cs2"), game("g-2", "绝地求生", "pubg")}));
    server.on("GET", regionsPath("g-1")).always(items({QJsonObject{{"id", "r-1"}, {"name", "亚服"}}}));
    server.on("GET", regionsPath("g-2")).always(items({QJsonObject{{"id", "r-2"}, {"name", "国际服"}}}));
    server.on("GET", nodesPath("g-1", "r-1")).always(items({node("n-1", "Test", 35)}));
    server.on("GET", nodesPath("g-2", "r-2")).always(items({node("n-2", "Kowloon", 60)}));
    server.on("POST", SessionsPath)
        .always(json(201, {{"session_id", "s-1"},
                           {"game_processes", QJsonArray{"cs2.exe"}},
                           {"rules_environment", "process"},
                           {"egress_ip", "203.0.113.7"}}));
    server.on("DELETE", SessionsPath + "/s-1").always(ScriptedReply(204));
}

bool WindowRig::open()
{
    qputenv("DIVE_DIZUVIVIVID_API_URL", server.baseUrl().toEncoded());
    window = std::make_unique<MainWindow>();
    window->show();
    return server.isListening() && QTest::qWaitForWindowExposed(window.get()) && server.waitForRequests(1);
}

bool WindowRig::startService()
{
    if (!service)
        service = std::make_unique<FakeService>();
    return service->isListening();
}

void WindowRig::submitSignIn(const QString &account, const QString &password)
{
    window->accountEdit->setText(account);
    window->passwordEdit->setText(password);
    QTest::mouseClick(window->loginButton, Qt::LeftButton);
}

bool WindowRig::signIn(const QString &account, const QString &password)
{
    submitSignIn(account, password);
    return waitFor([this] { return window->logoutButton->isVisible(); }, "signed in with a profile");
}

bool WindowRig::regionMatched(const QString &route)
{
    return waitFor(
        [&] {
            return window->routeCard->text() == route && window->statusLabel->text() == ReadyText &&
                   window->startButton->isEnabled();
        },
        "region matched");
}

bool WindowRig::accelerate()
{
    QTest::mouseClick(window->startButton, Qt::LeftButton);
    return waitFor(
        [this] {
            return !window->activeSessionId.isEmpty() && window->stopButton->isEnabled() &&
                   window->launchButton->isEnabled();
        },
        "accelerating");
}

QList<RecordedRequest> WindowRig::requestsTo(const QByteArray &method, const QByteArray &path) const
{
    QList<RecordedRequest> matching = server.requests();
    matching.removeIf([&](const RecordedRequest &r) { return r.method != method || r.path() != path; });
    return matching;
}

int WindowRig::commandsSent(ServiceCommand command) const
{
    const QList<ServiceRequestRecord> frames = service ? service->requests() : QList<ServiceRequestRecord>();
    return int(std::count_if(frames.begin(), frames.end(), [&](const ServiceRequestRecord &frame) {
        return frame.command == quint16(command);
    }));
}

QJsonObject WindowRig::lastSessionRequest() const
{
    const QList<RecordedRequest> posts = requestsTo("POST", SessionsPath);
    return posts.isEmpty() ? QJsonObject() : QJsonDocument::fromJson(posts.last().body).object();
}

bool WindowRig::waitFor(const std::function<bool()> &condition, const char *what) const
{
    // Every step of a flow is a round trip through the server on this thread: look often.
    if (QTest::qWaitFor(condition, 5000))
        return true;
    qWarning("not %s: account \"%s\", status \"%s\", route \"%s\"", what,
             qUtf8Printable(window->accountLabel->text()), qUtf8Printable(window->statusLabel->text()),
             qUtf8Printable(window->routeCard->text()));
    return false;
}
