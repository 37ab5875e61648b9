#pragma once

// What the client suites share: a test main that gives each suite process its own settings store and
// temporary folder (where local socket names live on Unix) and the identity the program sets at start;
// text tables; and the main window against a scripted loopback backend and a local service on the real
// channel.

#include "fakeservice.h"
#include "mainwindow.h"
#include "testserver.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace ClientTest {

// Before the application object exists. A short folder, since Unix socket paths are limited to about
// 100 bytes, and the owner's alone, as a runtime folder must be.
inline void isolateProcess()
{
    static QTemporaryDir root(QStringLiteral("/tmp/zumvari-test-XXXXXX"));
    const QByteArray path = QFile::encodeName(root.path());
    qputenv("TMPDIR", path);
    qputenv("XDG_CONFIG_HOME", path + "/config");
    qputenv("XDG_RUNTIME_DIR", path);
    qunsetenv("DIVE_DIZUVIVIVID_API_URL"); // never a backend of the environment
}

// A table written as text: one row a line, its fields separated by " | ", the first naming the row.
inline void rows(const char *table)
{
    QTest::addColumn<QStringList>("row");
    for (const QString &line : QString::fromUtf8(table).split(u'\n', Qt::SkipEmptyParts))
        QTest::newRow(qPrintable(line.section(QStringLiteral(" | "), 0, 0)))
            << line.split(QStringLiteral(" | ")).mid(1);
}

// Puts a key-pair program where the client looks for it, beside the running suite ("": none).
inline bool installKeyProgram(const QByteArray &script)
{
    QFile file(QCoreApplication::applicationDirPath() + QStringLiteral("/pairgen.exe"));
    file.remove();
    return script.isEmpty() || (file.open(QIODevice::WriteOnly) && file.write(script) == script.size() &&
                                file.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
}
inline const QByteArray Keys =
    "#!/bin/sh\nprintf '{\"private_key\":\"PRIVKEY\",\"public_key\":\"PUBKEY\"}'\n";

// The program's event loop, as main() runs it: `action` starts from inside it. Returns 0 when the
// application quit, NotQuit when nothing ended the loop within `limitMs`.
constexpr int NotQuit = 99;
inline int runEventLoop(const std::function<void()> &action, int limitMs = 10000)
{
    QTimer::singleShot(0, qApp, action);
    QTimer limit; // ends with this call, so that it never stops a later loop
    QObject::connect(&limit, &QTimer::timeout, qApp, [] { QCoreApplication::exit(NotQuit); });
    limit.start(limitMs);
    return QApplication::exec();
}

inline const QByteArray SessionsPath = "/api/v1/acceleration/sessions";
inline const QString Ready = QStringLiteral("香港节点在线，可开始加速"); // a region matched
inline const auto json = [](int status, const QJsonObject &body) {
    return ScriptedReply::json(status, QJsonDocument(body).toJson(QJsonDocument::Compact));
};
inline const auto items = [](const QJsonArray &items) { return json(200, {{"items", items}}); };
inline const auto failure = [](int status, const QString &message) {
    return json(status, {{"message", message}});
};

} // namespace ClientTest

// The window against a backend with a small catalogue that every flow can walk (tests replace any
// route before the step that sends its request):
//     sign-in → tokens "access-1" / "refresh-1"; profile "alice@example.com", trial until 2030-01-01 UTC
//     games g-1 "反恐精英2" (cs2), g-2 "绝地求生" (pubg); their regions r-1 "亚服" / r-2 "国际服"
//     with nodes n-1 "Test" hk 35 / n-2 "Kowloon" hk 60
//     session request → 201 "s-1", split routing ("cs2.exe"), egress 203.0.113.7; its DELETE → 204
//     release check → 404
struct WindowRig
{
    WindowRig()
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
        server.on("GET", "/api/v1/games/g-1/regions")
            .always(reply(R"({"items":[{"id":"r-1","name":"亚服"}]})"));
        server.on("GET", "/api/v1/games/g-2/regions")
            .always(reply(R"({"items":[{"id":"r-2","name":"国际服"}]})"));
        server.on("GET", "/api/v1/games/g-1/regions/r-1/nodes")
            .always(reply(R"({"items":[{"id":"n-1","name":"Test","location":"hk","score":35}]})"));
        server.on("GET", "/api/v1/games/g-2/regions/r-2/nodes")
            .always(reply(R"({"items":[{"id":"n-2","name":"Kowloon","location":"hk","score":60}]})"));
        server.on("POST", ClientTest::SessionsPath)
            .always(ScriptedReply::json(201, R"({"session_id":"s-1","game_processes":["cs2.exe"],)"
                                             R"("rules_environment":"process","egress_ip":"203.0.113.7"})"));
        server.on("DELETE", ClientTest::SessionsPath + "/s-1").always(ScriptedReply(204));
    }

    // Destroyed in reverse order: the window goes first.
    TestServer server;
    std::unique_ptr<FakeService> service = std::make_unique<FakeService>();
    std::unique_ptr<MainWindow> window;

    // Builds the window against the server, shows it and waits for its start-up release check.
    bool open()
    {
        qputenv("DIVE_DIZUVIVIVID_API_URL", server.url().toEncoded());
        window = std::make_unique<MainWindow>();
        window->show();
        return QTest::qWaitForWindowExposed(window.get()) &&
               QTest::qWaitFor([&] { return !server.requests.isEmpty(); });
    }
    void submitSignIn(const QString &account = "alice", const QString &password = "secret")
    {
        window->accountEdit->setText(account);
        window->passwordEdit->setText(password);
        QTest::mouseClick(window->loginButton, Qt::LeftButton);
    }
    // Until the profile has replaced the form.
    bool signIn(const QString &account = "alice", const QString &password = "secret")
    {
        submitSignIn(account, password);
        return QTest::qWaitFor([this] { return window->logoutButton->isVisible(); });
    }
    // Until the route card shows `route`, the status line Ready and "开始加速" is enabled.
    bool regionMatched(const QString &route = QStringLiteral("加速线路：亚服 · 香港智能节点"))
    {
        return QTest::qWaitFor([&] {
            return window->routeCard->text() == route && window->statusLabel->text() == ClientTest::Ready &&
                   window->startButton->isEnabled();
        });
    }
    int commandsSent(ServiceCommand command) const
    {
        const QList<ServiceRequestRecord> frames =
            service ? service->requests() : QList<ServiceRequestRecord>();
        return int(
            std::count_if(frames.begin(), frames.end(), [&](auto &f) { return f.command == int(command); }));
    }
};

#define ZUMVARI_TEST_MAIN(TestObject)                                                                        \
    int main(int argc, char *argv[])                                                                         \
    {                                                                                                        \
        ClientTest::isolateProcess();                                                                        \
        QApplication app(argc, argv);                                                                        \
        QApplication::setQuitOnLastWindowClosed(false);                                                      \
        QApplication::setApplicationName(QStringLiteral("ZUMVARI"));                                         \
        QApplication::setApplicationVersion(QStringLiteral("0.4.0"));                                        \
        QApplication::setOrganizationName(QStringLiteral("ZUMVARI COM LLC"));                                \
        TestObject test;                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                              \
    }
