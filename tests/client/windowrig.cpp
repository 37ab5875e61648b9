#include "windowrig.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

bool Rig::installPairgen(const QString &program)
{
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/pairgen.exe");
    QFile::remove(beside);
    return QFile::copy(program, beside);
}

int Rig::runEventLoop(const std::function<void()> &action, int limitMs)
{
    QTimer::singleShot(0, qApp, action);
    QTimer limit; // ends with this call, so that it never stops a later loop
    QObject::connect(&limit, &QTimer::timeout, qApp, [] { QCoreApplication::exit(NotQuit); });
    limit.start(limitMs);
    return QApplication::exec();
}

using namespace Rig;

WindowRig::WindowRig()
{
    const auto reply = [](const char *body) { return ScriptedReply::json(200, body); };
    server.on("GET", "/api/v1/client/releases/latest").always(ScriptedReply(404));
    server.on("POST", "/api/v1/auth/login")
        .always(reply(R"({"access_token":"access-1","refresh_token":"refresh-1"})"));
    server.on("GET", "/api/v1/me")
        .always(reply(R"({"account":"alice@example.com","membership":{"active":true,"kind":"trial",)"
                      R"("expires_at":"2030-01-01T00:00:00Z"}})"));
    server.on("GET", "/api/v1/games")
        .always(reply(R"({"items":[{"id":"g-1","name":"反恐精英2","slug":"cs2"},)"
                      R"({"id":"g-2","name":"绝地求生","slug":"pubg"}]})"));
    server.on("GET", regionsPath("g-1")).always(reply(R"({"items":[{"id":"r-1","name":"亚服"}]})"));
    server.on("GET", regionsPath("g-2")).always(reply(R"({"items":[{"id":"r-2","name":"国际服"}]})"));
    server.on("GET", nodesPath("g-1", "r-1"))
        .always(reply(R"({"items":[{"id":"n-1","name":"Test","location":"hk","score":35}]})"));
    server.on("GET", nodesPath("g-2", "r-2"))
        .always(reply(R"({"items":[{"id":"n-2","name":"Kowloon","location":"hk","score":60}]})"));
    server.on("POST", SessionsPath)
        .always(ScriptedReply::json(201, R"({"session_id":"s-1","game_processes":["cs2.exe"],)"
                                         R"("rules_environment":"process","egress_ip":"203.0.113.7"})"));
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
    return int(std::count_if(frames.begin(), frames.end(),
                             [&](auto &frame) { return frame.command == int(command); }));
}

QJsonObject WindowRig::lastSessionRequest() const
{
    const QList<RecordedRequest> posts = requestsTo("POST", SessionsPath);
    return posts.isEmpty() ? QJsonObject() : QJsonDocument::fromJson(posts.last().body).object();
}

bool WindowRig::waitFor(const std::function<bool()> &condition, const char *what) const
{
    // Every step of a flow is a round trip through the server on this thread: look often.
    if (!QTest::qWaitFor(condition, 5000))
        qWarning("not %s: status \"%s\", route \"%s\"", what, qUtf8Printable(window->statusLabel->text()),
                 qUtf8Printable(window->routeCard->text()));
    return condition();
}
