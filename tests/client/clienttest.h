#pragma once

// What the client suites share: text tables, programs beside the suite, the event loop as main() runs
// it, the main window against a scripted loopback backend and a local service on the real channel, and
// the test main.

#include "apiclient.h"
#include "decisions.h"
#include "fakeservice.h"
#include "keypair.h"
#include "mainwindow.h"
#include "testserver.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

namespace ClientTest {

// A table written as text: one row a line, its fields separated by " | ", the first naming the row.
inline void rows(const char *table)
{
    QTest::addColumn<QStringList>("row");
    for (const QString &line : QString::fromUtf8(table).split(u'\n', Qt::SkipEmptyParts))
        QTest::newRow(qPrintable(line.section(QStringLiteral(" | "), 0, 0)))
            << line.split(QStringLiteral(" | ")).mid(1);
}

// Writes a program for the owner, by default the key-pair program where the client looks for it ("":
// none there).
inline bool installProgram(const QByteArray &script, const QString &path = keyPairProgramPath())
{
    QFile file(path);
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
// route before the step that sends its request): two games, the first with one region and its node, the
// second with two regions (the first is the one chosen); a session with split routing.
struct WindowRig
{
    WindowRig()
    {
        // method path | status | body, without blanks
        const char catalogue[] = R"(
POST /api/v1/auth/login | 200 | {"access_token":"access-1","refresh_token":"refresh-1"}
GET /api/v1/me | 200 | {"account":"alice@example.com","membership":{"active":true,"kind":"trial","expires_at":"2030-01-01T00:00:00Z"}}
GET /api/v1/games | 200 | {"items":[{"id":"g-1","name":"反恐精英2","slug":"cs2"},{"id":"g-2","name":"绝地求生","slug":"pubg"}]}
GET /api/v1/games/g-1/regions | 200 | {"items":[{"id":"r-1","name":"亚服"}]}
GET /api/v1/games/g-2/regions | 200 | {"items":[{"id":"r-2","name":"国际服"},{"id":"r-3","name":"欧服"}]}
GET /api/v1/games/g-1/regions/r-1/nodes | 200 | {"items":[{"id":"n-1","name":"Test","location":"hk","score":35}]}
POST /api/v1/acceleration/sessions | 201 | {"session_id":"s-1","game_processes":["cs2.exe"],"rules_environment":"process","egress_ip":"203.0.113.7"}
)";
        for (const QByteArray &line : QByteArray(catalogue).split('\n')) {
            const QList<QByteArray> route = line.split(' ');
            if (route.size() > 4)
                server.on(route[0], route[1]).always(ScriptedReply::json(route[3].toInt(), route.value(5)));
        }
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
};

// Each suite process gets its own settings store and temporary folder (where local socket names live on
// Unix): a short one, since Unix socket paths are limited to about 100 bytes, and the owner's alone, as
// a runtime folder must be. Never a backend of the environment; the identity the program sets at start.
#define ZUMVARI_TEST_MAIN(TestObject)                                                                        \
    int main(int argc, char *argv[])                                                                         \
    {                                                                                                        \
        QTemporaryDir root(QStringLiteral("/tmp/zumvari-test-XXXXXX"));                                      \
        for (const char *name : {"TMPDIR", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"})                            \
            qputenv(name, QFile::encodeName(root.path()));                                                   \
        qunsetenv("DIVE_DIZUVIVIVID_API_URL");                                                               \
        QApplication app(argc, argv);                                                                        \
        QApplication::setQuitOnLastWindowClosed(false);                                                      \
        QApplication::setApplicationName(QStringLiteral("ZUMVARI"));                                         \
        QApplication::setApplicationVersion(QStringLiteral("0.4.0"));                                        \
        QApplication::setOrganizationName(QStringLiteral("ZUMVARI COM LLC"));                                \
        TestObject test;                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                              \
    }
