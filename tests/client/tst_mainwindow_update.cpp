// The release prompt and the installer hand-off through the window: the start-up release check
// answered by a scripted backend, the download from a loopback HTTPS server, the boxes answered
// from timers, and a real installer program that the client starts before it quits.
#include "apiclient.h"
#include "clienttest.h"
#include "fakeservice.h"
#include "mainwindow.h"
#include "testserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <deque>
#include <functional>
#include <memory>

namespace {

const QByteArray ReleasePath = "/api/v1/client/releases/latest";
const QByteArray InstallerPath = "/files/Zumvari-0.5.0-Setup.exe";
const QString InitialStatus = QStringLiteral("尚未连接本地加速服务");
const QString InstallQuestion = QStringLiteral("新版已下载并通过安全校验。现在退出Zumvari并开始升级吗？");

struct SeenBox
{
    QString title;
    QString text;
    QString informativeText;
    QStringList buttons; // texts, in the box's order
    QList<QMessageBox::ButtonRole> roles;
    QMessageBox::StandardButtons standardButtons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Answers the boxes the window runs modally, one answer per box in order. An answer may decline
// to act yet (returns false) and is asked again on the next tick. A box without an answer is
// recorded as unexpected and dismissed, so no test hangs on a box.
class BoxAnswers
{
public:
    using Answer = std::function<bool(QMessageBox *)>;

    BoxAnswers()
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this] { poll(); });
        timer.start();
    }
    void then(Answer answer) { answers.push_back(std::move(answer)); }

    QList<SeenBox> seen;
    int unexpected = 0;

private:
    void poll()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box->property("answeredByTest").toBool())
            return;
        if (answers.empty()) {
            box->setProperty("answeredByTest", true);
            seen.append(describe(box));
            ++unexpected;
            box->done(0);
            return;
        }
        const SeenBox description = describe(box);
        const Answer answer = answers.front();
        box->setProperty("answeredByTest", true);
        if (!answer(box)) {
            box->setProperty("answeredByTest", false);
            return;
        }
        answers.pop_front();
        seen.append(description);
    }

    static SeenBox describe(QMessageBox *box)
    {
        SeenBox seen;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.informativeText = box->informativeText();
        for (QAbstractButton *button : box->buttons()) {
            seen.buttons.append(button->text());
            seen.roles.append(box->buttonRole(button));
        }
        seen.standardButtons = box->standardButtons();
        if (box->defaultButton())
            seen.defaultButton = box->standardButton(box->defaultButton());
        seen.icon = box->icon();
        return seen;
    }

    QTimer timer;
    std::deque<Answer> answers;
};

BoxAnswers::Answer clickButton(const QString &text)
{
    return [text](QMessageBox *box) {
        for (QAbstractButton *button : box->buttons())
            if (button->text() == text) {
                button->click();
                return true;
            }
        box->done(0); // not there: let the test fail on the description, not hang
        return true;
    };
}

BoxAnswers::Answer clickStandard(QMessageBox::StandardButton which)
{
    return [which](QMessageBox *box) {
        if (QAbstractButton *button = box->button(which))
            button->click();
        else
            box->done(0);
        return true;
    };
}

BoxAnswers::Answer pressEscape()
{
    return [](QMessageBox *box) {
        QTest::keyClick(box, Qt::Key_Escape);
        return true;
    };
}

BoxAnswers::Answer closeBox()
{
    return [](QMessageBox *box) {
        box->close();
        return true;
    };
}

QByteArray installerBody(const QString &marker)
{
    // Writes how many arguments it was given, so the test sees that it ran and how.
    return "#!/bin/sh\nprintf '%s' \"$#\" > '" + marker.toUtf8() + "'\n";
}

QByteArray releaseJson(const QString &version, const QUrl &url, const QString &notes, bool mandatory,
                       const QByteArray &installer)
{
    const QJsonObject release{
        {QStringLiteral("version"), version},
        {QStringLiteral("download_url"), url.toString()},
        {QStringLiteral("release_notes"), notes},
        {QStringLiteral("mandatory"), mandatory},
        {QStringLiteral("sha256"),
         QString::fromLatin1(QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex())},
        {QStringLiteral("size_bytes"), installer.size()},
    };
    return QJsonDocument(release).toJson(QJsonDocument::Compact);
}

std::unique_ptr<MainWindow> windowFor(const TestServer &server)
{
    qputenv("DIVE_DIZUVIVIVID_API_URL", server.baseUrl().toEncoded());
    return std::make_unique<MainWindow>();
}

QString markerPath()
{
    return QDir::tempPath() + QStringLiteral("/installer-ran");
}

QString downloadedInstaller()
{
    return QDir::tempPath() + QStringLiteral("/Zumvari/Zumvari-Update-Setup.exe");
}

bool writeFile(const QString &path, const QByteArray &bytes, QFileDevice::Permissions permissions)
{
    QFile::remove(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return file.setPermissions(permissions);
}

// Steps of a scenario that runs inside QApplication::exec(): each step acts once its condition
// holds, polled from a timer that also fires inside the modal boxes' own loops.
class Scenario
{
public:
    void step(std::function<bool()> ready, std::function<void()> act)
    {
        steps.push_back({std::move(ready), std::move(act)});
    }

    // Runs the event loop until something ends it; past the deadline it ends it with TimedOut.
    int run(int deadlineMs)
    {
        QTimer poller;
        poller.setInterval(10);
        QObject::connect(&poller, &QTimer::timeout, [this] {
            if (steps.empty() || !steps.front().ready())
                return;
            const std::function<void()> act = steps.front().act;
            steps.pop_front(); // before acting: the act may run a nested loop that polls again
            act();
        });
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, [] { QCoreApplication::exit(TimedOut); });
        poller.start();
        deadline.start(deadlineMs);
        return QApplication::exec();
    }

    int pending() const { return int(steps.size()); }

    static constexpr int TimedOut = 99;

private:
    struct Step
    {
        std::function<bool()> ready;
        std::function<void()> act;
    };
    std::deque<Step> steps;
};

constexpr int StillRunning = 7;

} // namespace

class TstMainWindowUpdate : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void optionalReleaseCanWait_data();
    void optionalReleaseCanWait();
    void mandatoryReleaseAlwaysDownloads_data();
    void mandatoryReleaseAlwaysDownloads();
    void acceptedReleaseDownloadsThenInstallDeclined();
    void installerThatCannotStartKeepsTheProgram_data();
    void installerThatCannotStartKeepsTheProgram();
    void startedInstallerEndsTheProgramWithoutStopping();

private:
    // The scripted backend answers the start-up release check with this release of `installer`.
    void offerRelease(bool mandatory, const QString &notes, const QByteArray &installer, int delayMs = 0);

    TestServer backend;
    TestServer downloads{TestServer::Https};
};

void TstMainWindowUpdate::initTestCase()
{
    QVERIFY(backend.isListening());
    QVERIFY(downloads.isListening());
    trustTestCa();
    const QString pairgen = QCoreApplication::applicationDirPath() + QStringLiteral("/pairgen.exe");
    QFile::remove(pairgen);
    QVERIFY2(QFile::copy(QStringLiteral(PAIRGEN_PATH), pairgen), PAIRGEN_PATH);
}

void TstMainWindowUpdate::init()
{
    backend.clearRequests();
    downloads.clearRequests();
    QFile::remove(markerPath());
    QFile::remove(downloadedInstaller());
}

void TstMainWindowUpdate::offerRelease(bool mandatory, const QString &notes, const QByteArray &installer,
                                       int delayMs)
{
    backend.on("GET", ReleasePath)
        .always(ScriptedReply::json(200, releaseJson(QStringLiteral("0.5.0"), downloads.url(InstallerPath),
                                                     notes, mandatory, installer))
                    .delayed(delayMs));
    downloads.on("GET", InstallerPath)
        .always(ScriptedReply(200, installer).withContentType("application/octet-stream").delayed(300));
}

void TstMainWindowUpdate::optionalReleaseCanWait_data()
{
    QTest::addColumn<QString>("notes");
    QTest::addColumn<int>("dismissal");

    QTest::newRow("later button") << QStringLiteral("修复了若干问题\n提升连接稳定性") << 0;
    QTest::newRow("escape") << QStringLiteral("<b>重要更新</b>") << 1;
    QTest::newRow("closed, empty notes") << QString() << 2;
}

void TstMainWindowUpdate::optionalReleaseCanWait()
{
    QFETCH(QString, notes);
    QFETCH(int, dismissal);

    offerRelease(false, notes, installerBody(markerPath()));
    BoxAnswers boxes;
    boxes.then(dismissal == 0   ? clickButton(QStringLiteral("稍后提醒"))
               : dismissal == 1 ? pressEscape()
                                : closeBox());
    auto window = windowFor(backend);
    QTRY_COMPARE(boxes.seen.size(), 1);

    const SeenBox box = boxes.seen.first();
    QCOMPARE(box.title, QStringLiteral("发现新版本"));
    QCOMPARE(box.text, QStringLiteral("Zumvari 0.5.0 已发布"));
    QCOMPARE(box.informativeText, notes);
    QCOMPARE(box.buttons, (QStringList{QStringLiteral("下载并升级"), QStringLiteral("稍后提醒")}));
    QCOMPARE(box.roles, (QList<QMessageBox::ButtonRole>{QMessageBox::AcceptRole, QMessageBox::RejectRole}));

    QTest::qWait(300); // a download, had one started, would have reached the server by now
    QCOMPARE(downloads.requestCount(), 0);
    QCOMPARE(backend.requestCount(), 1); // the release check only
    QCOMPARE(window->statusLabel->text(), InitialStatus);
    QCOMPARE(boxes.unexpected, 0);
}

void TstMainWindowUpdate::mandatoryReleaseAlwaysDownloads_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("download button") << 0;
    QTest::newRow("escape") << 1;
    QTest::newRow("closed") << 2;
}

void TstMainWindowUpdate::mandatoryReleaseAlwaysDownloads()
{
    QFETCH(int, answer);

    offerRelease(true, QStringLiteral("安全更新，必须安装"), installerBody(markerPath()));
    BoxAnswers boxes;
    boxes.then(answer == 0   ? clickButton(QStringLiteral("下载并升级"))
               : answer == 1 ? pressEscape()
                             : closeBox());
    boxes.then(clickStandard(QMessageBox::No));
    auto window = windowFor(backend);
    QTRY_COMPARE(boxes.seen.size(), 1);
    const SeenBox prompt = boxes.seen.first();
    QCOMPARE(prompt.title, QStringLiteral("发现新版本"));
    QCOMPARE(prompt.buttons, QStringList{QStringLiteral("下载并升级")});
    QCOMPARE(prompt.roles, QList<QMessageBox::ButtonRole>{QMessageBox::AcceptRole});

    QVERIFY(downloads.waitForRequests(1));
    QCOMPARE(downloads.lastRequest().target, InstallerPath);
    QTRY_COMPARE(boxes.seen.size(), 2);
    QCOMPARE(boxes.seen.at(1).title, QStringLiteral("安装更新"));
    QCOMPARE(window->statusLabel->text(), QStringLiteral("更新已下载，可稍后重新检查更新"));
    QCOMPARE(boxes.unexpected, 0);
}

void TstMainWindowUpdate::acceptedReleaseDownloadsThenInstallDeclined()
{
    const QByteArray installer = installerBody(markerPath());
    offerRelease(false, QStringLiteral("新功能"), installer);
    BoxAnswers boxes;
    boxes.then(clickButton(QStringLiteral("下载并升级")));
    boxes.then(clickStandard(QMessageBox::No));
    std::unique_ptr<MainWindow> window;
    QString statusAtDownload;
    QObject scope; // ends the connection with this test
    QObject::connect(&downloads, &TestServer::requestReceived, &scope,
                     [&](const RecordedRequest &) { statusAtDownload = window->statusLabel->text(); });
    window = windowFor(backend);

    QVERIFY(downloads.waitForRequests(1));
    QCOMPARE(statusAtDownload, QStringLiteral("正在下载更新…"));
    const RecordedRequest request = downloads.lastRequest();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.target, InstallerPath);
    QVERIFY(request.encrypted);
    QVERIFY(!request.hasHeader("Authorization"));

    QTRY_COMPARE(boxes.seen.size(), 2);
    const SeenBox question = boxes.seen.at(1);
    QCOMPARE(question.title, QStringLiteral("安装更新"));
    QCOMPARE(question.text, InstallQuestion);
    QCOMPARE(question.standardButtons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(question.buttons.size(), 2);
    QCOMPARE(question.defaultButton, QMessageBox::Yes);
    QCOMPARE(question.icon, QMessageBox::Question);
    QCOMPARE(window->statusLabel->text(), QStringLiteral("更新已下载，可稍后重新检查更新"));

    // The verified file stays where it was saved, and nothing ran it.
    QFile saved(downloadedInstaller());
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), installer);
    QTest::qWait(300);
    QVERIFY(!QFile::exists(markerPath()));
    QCOMPARE(boxes.unexpected, 0);
}

void TstMainWindowUpdate::installerThatCannotStartKeepsTheProgram_data()
{
    QTest::addColumn<int>("installer");
    QTest::newRow("downloaded file is not a program") << 0;
    QTest::newRow("file without execute permission") << 1;
    QTest::newRow("file missing") << 2;
}

void TstMainWindowUpdate::installerThatCannotStartKeepsTheProgram()
{
    QFETCH(int, installer);

    BoxAnswers boxes;
    Scenario scenario;
    std::unique_ptr<MainWindow> window;
    QString expectedStatus = InitialStatus;
    if (installer == 0) {
        offerRelease(false, QString(), QByteArray("这不是一个安装程序\n"));
        boxes.then(clickButton(QStringLiteral("下载并升级")));
        expectedStatus = QStringLiteral("正在下载更新：100%");
    } else {
        backend.on("GET", ReleasePath).always(ScriptedReply(404));
        const QString path = QDir::tempPath() + QStringLiteral("/not-startable.exe");
        QFile::remove(path);
        if (installer == 1)
            QVERIFY(writeFile(path, installerBody(markerPath()),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        // The verified-download signal, as the API client gives it, for a file that cannot run.
        scenario.step([] { return true; },
                      [&window, path] { emit window->apiClient->UpdateDownloaded(path); });
    }
    boxes.then(clickStandard(QMessageBox::Yes));
    boxes.then(clickStandard(QMessageBox::Ok));
    const int boxCount = installer == 0 ? 3 : 2;
    scenario.step([&] { return boxes.seen.size() == boxCount; },
                  [] { QTimer::singleShot(300, [] { QCoreApplication::exit(StillRunning); }); });
    window = windowFor(backend);
    window->show();

    const int result = scenario.run(15000);
    QCOMPARE(result, StillRunning); // 0 would mean the program quit
    QCOMPARE(boxes.seen.size(), boxCount);
    const SeenBox warning = boxes.seen.last();
    QCOMPARE(warning.title, QStringLiteral("更新失败"));
    QCOMPARE(warning.text, QStringLiteral("无法启动更新安装程序"));
    QCOMPARE(warning.icon, QMessageBox::Warning);
    QCOMPARE(warning.standardButtons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(warning.buttons.size(), 1);
    QCOMPARE(window->statusLabel->text(), expectedStatus);
    QVERIFY(window->isVisible());
    QVERIFY(!QFile::exists(markerPath()));
    QCOMPARE(boxes.unexpected, 0);
}

// Last in the suite: it ends the application's event loop for good.
void TstMainWindowUpdate::startedInstallerEndsTheProgramWithoutStopping()
{
    const QByteArray installer = installerBody(markerPath());
    // The release answer comes late, as on a slow network: by then an acceleration runs.
    offerRelease(false, QStringLiteral("新功能"), installer, 1000);
    backend.on("POST", "/api/v1/auth/login")
        .always(ScriptedReply::json(200, R"({"access_token":"token-A","refresh_token":"refresh-A"})"));
    backend.on("GET", "/api/v1/me").always(ScriptedReply::json(200, R"({"account":"player@example.com"})"));
    backend.on("GET", "/api/v1/games")
        .always(ScriptedReply::json(200, R"({"items":[{"id":"g1","name":"CS2","slug":"cs2"}]})"));
    backend.on("GET", "/api/v1/games/g1/regions")
        .always(ScriptedReply::json(200, R"({"items":[{"id":"r1","name":"亚洲服"}]})"));
    backend.on("GET", "/api/v1/games/g1/regions/r1/nodes")
        .always(ScriptedReply::json(200, R"({"items":[{"id":"n1","name":"Test","location":"hk"}]})"));
    backend.on("POST", "/api/v1/acceleration/sessions")
        .always(ScriptedReply::json(201, R"({"session_id":"s1","game_processes":["cs2.exe"]})"));
    backend.on("DELETE", "/api/v1/acceleration/sessions/s1").always(ScriptedReply(204));
    FakeService service;

    std::unique_ptr<MainWindow> window;
    const auto accelerating = [&] {
        return window->activeSessionId == QLatin1String("s1") && window->stopButton->isEnabled();
    };
    bool acceleratingAtInstall = false;
    BoxAnswers boxes;
    boxes.then(clickButton(QStringLiteral("下载并升级")));
    boxes.then([&](QMessageBox *box) {
        if (!accelerating())
            return false;
        acceleratingAtInstall = true;
        box->button(QMessageBox::Yes)->click();
        return true;
    });
    Scenario scenario;
    scenario.step([] { return true; },
                  [&] {
                      window->accountEdit->setText(QStringLiteral("player@example.com"));
                      window->passwordEdit->setText(QStringLiteral("secret"));
                      window->loginButton->click();
                  });
    scenario.step([&] { return window->startButton->isEnabled(); }, [&] { window->startButton->click(); });
    window = windowFor(backend);
    window->show();

    const int result = scenario.run(20000);
    QCOMPARE(result, 0);
    QVERIFY(acceleratingAtInstall);
    QCOMPARE(boxes.seen.size(), 2);
    QCOMPARE(boxes.unexpected, 0);
    const auto markerText = [] {
        QFile marker(markerPath());
        return marker.open(QIODevice::ReadOnly) ? marker.readAll() : QByteArray();
    };
    QTRY_COMPARE(markerText(), QByteArray("0")); // it ran, without arguments

    // Neither the backend session nor the tunnel was touched on the way out.
    QTest::qWait(200);
    for (const RecordedRequest &request : backend.requests())
        QVERIFY2(request.method != "DELETE", request.target.constData());
    QCOMPARE(service.requestCount(), 1);
    QCOMPARE(service.requests().first().command, quint16(ServiceCommand::Start));
    QCOMPARE(window->activeSessionId, QStringLiteral("s1"));
}

ZUMVARI_TEST_MAIN(TstMainWindowUpdate)
#include "tst_mainwindow_update.moc"
