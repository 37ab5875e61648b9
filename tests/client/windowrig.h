#pragma once

// The main window against a scripted loopback backend and, when a test wants one, a local service on
// the real channel. The backend starts with a small catalogue that every flow can walk:
//
//     sign-in            → tokens "access-1" / "refresh-1"
//     profile            → "alice@example.com", active trial until 2030-01-01T00:00:00Z
//     games              → g-1 "反恐精英2" (cs2), g-2 "绝地求生" (pubg)
//     regions of g-1/g-2 → r-1 "亚服" / r-2 "国际服"
//     nodes of r-1/r-2   → n-1 "Test" hk 35 / n-2 "Kowloon" hk 60
//     session request    → 201 "s-1", split routing ("cs2.exe"), egress 203.0.113.7; its DELETE → 204
//     release check      → 404
//
// Tests replace any of these with rig.server.on(...) before the step that sends the request.

#include "fakeservice.h"
#include "mainwindow.h"
#include "testserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <functional>
#include <memory>

namespace Rig {

// Inline, so that they are ready before any constant of a suite that is built from them.
inline const QByteArray SessionsPath = "/api/v1/acceleration/sessions";
inline const QString FirstRoute = QStringLiteral("加速线路：亚服 · 香港智能节点");    // g-1's region matched
inline const QString SecondRoute = QStringLiteral("加速线路：国际服 · 香港智能节点"); // g-2's
inline const QString ReadyText = QStringLiteral("香港节点在线，可开始加速");          // a region matched

inline const auto regionsPath = [](const QByteArray &game) -> QByteArray {
    return "/api/v1/games/" + game + "/regions";
};
inline const auto nodesPath = [](const QByteArray &game, const QByteArray &region) -> QByteArray {
    return regionsPath(game) + '/' + region + "/nodes";
};
// Compact JSON; 200 {"items":[...]}; {"message":...}.
inline const auto json = [](int status, const QJsonObject &body) {
    return ScriptedReply::json(status, QJsonDocument(body).toJson(QJsonDocument::Compact));
};
inline const auto items = [](const QJsonArray &items, int delayMs = 0) {
    return json(200, {{"items", items}}).delayed(delayMs);
};
inline const auto failure = [](int status, const QString &message) {
    return json(status, {{"message", message}});
};

// Copies a key-pair program to where the client looks for it: beside the running test.
bool installPairgen(const QString &program);

// The program's event loop, as main() runs it: `action` starts from inside it. Returns 0 when the
// application quit, NotQuit when nothing ended the loop within `limitMs`.
constexpr int NotQuit = 99;
int runEventLoop(const std::function<void()> &action, int limitMs = 10000);

} // namespace Rig

class WindowRig
{
public:
    WindowRig(); // the backend, listening, with the catalogue above

    // Destroyed in reverse order: the window goes first.
    TestServer server;
    std::unique_ptr<FakeService> service;
    std::unique_ptr<MainWindow> window;

    // Builds the window against the server, shows it and waits for its start-up release check.
    bool open();
    bool startService();

    // Fills the form and clicks "登录".
    void submitSignIn(const QString &account = QStringLiteral("alice"),
                      const QString &password = QStringLiteral("secret"));

    // The waits return false (and say what the window showed) when the state does not come.
    // Signs in and waits until the profile has replaced the form.
    bool signIn(const QString &account = QStringLiteral("alice"),
                const QString &password = QStringLiteral("secret"));
    // Waits until the route card shows `route`, the status line ReadyText and "开始加速" is enabled.
    bool regionMatched(const QString &route = Rig::FirstRoute);
    // Clicks "开始加速" and waits until the service runs the tunnel of a granted session.
    bool accelerate();

    QList<RecordedRequest> requestsTo(const QByteArray &method, const QByteArray &path) const;
    int commandsSent(ServiceCommand command) const;
    QJsonObject lastSessionRequest() const; // body of the last POST to the sessions path

private:
    bool waitFor(const std::function<bool()> &condition, const char *what) const;
};
