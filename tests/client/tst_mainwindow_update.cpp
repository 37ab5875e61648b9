// The release prompt and the installer hand-off through the window: the start-up release check answered
// by the rig's backend, the download from a loopback HTTPS server, the boxes answered from a timer, and a
// real installer program that the client starts before it quits.
#include "apiclient.h"
#include "clienttest.h"
#include "windowrig.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include <deque>
#include <functional>
#include <memory>

using namespace Rig;

namespace {

const QByteArray ReleasePath = "/api/v1/client/releases/latest";
const QByteArray InstallerPath = "/files/Zumvari-0.5.0-Setup.exe";
const QString Download = QStringLiteral("下载并升级");
const QString Later = QStringLiteral("稍后提醒");
const QString Declined = QStringLiteral("更新已下载，可稍后重新检查更新");

struct SeenBox
{
    QString title, text, informativeText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons standardButtons;
    QStringList buttons{}; // texts, in the box's order
    QList<QMessageBox::ButtonRole> roles{};
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

// Answers the boxes the window runs modally, one answer per box in order, from a timer that also fires
// inside their own loops. A box past the answers, or one that ignores its answer for a second, is counted
// as unexpected and dismissed: no test hangs on a box.
class BoxAnswers
{
public:
    using Answer = std::function<void(QMessageBox *)>;

    BoxAnswers(std::initializer_list<Answer> answers) : answers(answers)
    {
        QObject::connect(&timer, &QTimer::timeout, [this] { poll(); });
        timer.start(10);
    }

    QList<SeenBox> seen;
    int unexpected = 0;

private:
    void poll()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (box->property("answeredByTest").toBool()) {
            if (++ticksOpen > 100) {
                ++unexpected;
                ticksOpen = 0;
                box->done(0);
            }
            return;
        }
        box->setProperty("answeredByTest", true);
        ticksOpen = 0;
        SeenBox shown{box->windowTitle(), box->text(), box->informativeText(), box->icon(),
                      box->standardButtons()};
        for (QAbstractButton *button : box->buttons()) {
            shown.buttons.append(button->text());
            shown.roles.append(box->buttonRole(button));
        }
        if (box->defaultButton())
            shown.defaultButton = box->standardButton(box->defaultButton());
        seen.append(shown);
        if (answers.empty()) {
            ++unexpected;
            box->done(0);
            return;
        }
        const Answer answer = answers.front();
        answers.pop_front();
        answer(box);
    }

    QTimer timer;
    std::deque<Answer> answers;
    int ticksOpen = 0;
};

enum class Choice { Download, Later, Escape, Close };

BoxAnswers::Answer answer(Choice choice)
{
    return [choice](QMessageBox *box) {
        if (choice == Choice::Escape)
            return QTest::keyClick(box, Qt::Key_Escape);
        if (choice == Choice::Close)
            return void(box->close());
        for (QAbstractButton *button : box->buttons())
            if (button->text() == (choice == Choice::Download ? Download : Later))
                return button->click();
        box->done(0); // not there: the checks on the box say so
    };
}

BoxAnswers::Answer press(QMessageBox::StandardButton which)
{
    return [which](QMessageBox *box) {
        if (QAbstractButton *button = box->button(which))
            return button->click();
        box->done(0);
    };
}

QString markerPath()
{
    return QDir::tempPath() + QStringLiteral("/installer-ran");
}

QByteArray markerText()
{
    QFile marker(markerPath());
    return marker.open(QIODevice::ReadOnly) ? marker.readAll() : QByteArray();
}

// Writes how many arguments it was given, so the test sees that it ran and how.
QByteArray installer()
{
    return "#!/bin/sh\nprintf '%s' \"$#\" > '" + markerPath().toUtf8() + "'\n";
}

} // namespace

class TstMainWindowUpdate : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup() { rig.reset(); }

    void releasePrompt_data();
    void releasePrompt();
    void installHandOff_data();
    void installHandOff();

private:
    TestServer files{TestServer::Https}; // serves the installer
    std::unique_ptr<WindowRig> rig;
};

void TstMainWindowUpdate::initTestCase()
{
    QVERIFY(files.isListening());
    trustTestCa();
    QVERIFY(installPairgen(QStringLiteral(PAIRGEN_PATH)));
}

void TstMainWindowUpdate::init()
{
    files.clearRequests();
    QFile::remove(markerPath());
    QFile::remove(QDir::tempPath() + QStringLiteral("/Zumvari/Zumvari-Update-Setup.exe"));
    rig = std::make_unique<WindowRig>();
}

void TstMainWindowUpdate::releasePrompt_data()
{
    QTest::addColumn<bool>("mandatory");
    QTest::addColumn<QString>("notes");
    QTest::addColumn<int>("choice");
    QTest::addColumn<bool>("downloads");

    QTest::newRow("optional, later") << false << QStringLiteral("修复了若干问题\n提升连接稳定性")
                                     << int(Choice::Later) << false;
    QTest::newRow("optional, Esc") << false << QStringLiteral("<b>重要更新</b>") << int(Choice::Escape)
                                   << false;
    QTest::newRow("optional, closed, no notes") << false << QString() << int(Choice::Close) << false;
    QTest::newRow("optional, download") << false << QStringLiteral("新功能") << int(Choice::Download) << true;
    // The one button is also the escape button: a mandatory release always downloads.
    QTest::newRow("mandatory, Esc") << true << QStringLiteral("安全更新，必须安装") << int(Choice::Escape)
                                    << true;
    QTest::newRow("mandatory, closed") << true << QStringLiteral("安全更新") << int(Choice::Close) << true;
}

void TstMainWindowUpdate::releasePrompt()
{
    QFETCH(bool, mandatory);
    QFETCH(QString, notes);
    QFETCH(int, choice);
    QFETCH(bool, downloads);

    const QJsonObject release{
        {"version", "0.5.0"},
        {"download_url", files.url(InstallerPath).toString()},
        {"release_notes", notes},
        {"mandatory", mandatory},
        {"sha256",
         QString::fromLatin1(QCryptographicHash::hash(installer(), QCryptographicHash::Sha256).toHex())},
        {"size_bytes", installer().size()},
    };
    rig->server.on("GET", ReleasePath).always(json(200, release));
    files.on("GET", InstallerPath)
        .always(ScriptedReply(200, installer()).withContentType("application/octet-stream").delayed(300));
    QString statusAtDownload;
    QObject scope; // ends the connection with this test
    QObject::connect(&files, &TestServer::requestReceived, &scope,
                     [&](const RecordedRequest &) { statusAtDownload = rig->window->statusLabel->text(); });
    BoxAnswers boxes{answer(Choice(choice)), press(QMessageBox::No)};
    QVERIFY(rig->open());

    QTRY_COMPARE(boxes.seen.size(), 1);
    const SeenBox prompt = boxes.seen.first();
    QCOMPARE(prompt.title, QStringLiteral("发现新版本"));
    QCOMPARE(prompt.text, QStringLiteral("Zumvari 0.5.0 已发布"));
    QCOMPARE(prompt.informativeText, notes);
    QCOMPARE(prompt.buttons, mandatory ? QStringList{Download} : (QStringList{Download, Later}));
    QCOMPARE(prompt.roles,
             mandatory ? QList<QMessageBox::ButtonRole>{QMessageBox::AcceptRole}
                       : (QList<QMessageBox::ButtonRole>{QMessageBox::AcceptRole, QMessageBox::RejectRole}));

    if (!downloads) {
        QTest::qWait(300); // a download, had one started, would have reached the server by now
        QCOMPARE(files.requestCount(), 0);
        QCOMPARE(rig->server.requestCount(), 1); // the release check only
        QCOMPARE(rig->window->statusLabel->text(), QStringLiteral("尚未连接本地加速服务"));
        QCOMPARE(boxes.unexpected, 0);
        return;
    }
    QVERIFY(files.waitForRequests(1));
    QCOMPARE(statusAtDownload, QStringLiteral("正在下载更新…"));
    const RecordedRequest request = files.lastRequest();
    QCOMPARE(request.method + ' ' + request.target, "GET " + InstallerPath);
    QVERIFY(request.encrypted);
    QVERIFY(!request.hasHeader("Authorization"));

    // The verified installer is offered; declining leaves it where it was saved, and nothing runs it.
    QTRY_COMPARE(boxes.seen.size(), 2);
    const SeenBox question = boxes.seen.at(1);
    QCOMPARE(question.title, QStringLiteral("安装更新"));
    QCOMPARE(question.text, QStringLiteral("新版已下载并通过安全校验。现在退出Zumvari并开始升级吗？"));
    QCOMPARE(question.standardButtons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(question.buttons.size(), 2);
    QCOMPARE(question.defaultButton, QMessageBox::Yes);
    QCOMPARE(question.icon, QMessageBox::Question);
    QCOMPARE(rig->window->statusLabel->text(), Declined);
    QFile saved(QDir::tempPath() + QStringLiteral("/Zumvari/Zumvari-Update-Setup.exe"));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), installer());
    QTest::qWait(200);
    QVERIFY(!QFile::exists(markerPath()));
    QCOMPARE(boxes.unexpected, 0);
}

void TstMainWindowUpdate::installHandOff_data()
{
    QTest::addColumn<bool>("startable");
    QTest::newRow("installer starts: the program quits") << true;
    QTest::newRow("installer cannot start: the program stays") << false;
}

// Accepting the install during an acceleration touches neither the backend session nor the tunnel.
void TstMainWindowUpdate::installHandOff()
{
    QFETCH(bool, startable);

    const QString path = QDir::tempPath() + QStringLiteral("/verified-installer.exe");
    QFile::remove(path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(installer()) == installer().size());
    file.close();
    QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                (startable ? QFileDevice::ExeOwner : QFileDevice::Permissions())));
    QVERIFY(rig->startService() && rig->open() && rig->signIn() && rig->regionMatched() && rig->accelerate());
    const QString acceleratingText = rig->window->statusLabel->text();
    const int framesBefore = rig->service->requestCount();

    BoxAnswers boxes{press(QMessageBox::Yes), press(QMessageBox::Ok)};
    // The verified-download signal, as the API client gives it, inside the program's event loop.
    const int result =
        runEventLoop([&] { emit rig->window->apiClient->UpdateDownloaded(path); }, startable ? 10000 : 1000);

    QCOMPARE(result, startable ? 0 : NotQuit);
    QCOMPARE(boxes.seen.size(), startable ? 1 : 2);
    QCOMPARE(boxes.seen.first().title, QStringLiteral("安装更新"));
    if (startable) {
        QTRY_COMPARE(markerText(), QByteArray("0")); // it ran, without arguments
    } else {
        const SeenBox warning = boxes.seen.last();
        QCOMPARE(warning.title, QStringLiteral("更新失败"));
        QCOMPARE(warning.text, QStringLiteral("无法启动更新安装程序"));
        QCOMPARE(warning.icon, QMessageBox::Warning);
        QCOMPARE(warning.standardButtons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(warning.buttons.size(), 1);
        QCOMPARE(rig->window->statusLabel->text(), acceleratingText);
        QVERIFY(rig->window->isVisible());
        QVERIFY(!QFile::exists(markerPath()));
    }
    QTest::qWait(200); // a stop, had one been sent, would have arrived by now
    QVERIFY(rig->requestsTo("DELETE", SessionsPath + "/s-1").isEmpty());
    QCOMPARE(rig->service->requestCount(), framesBefore);
    QCOMPARE(rig->window->activeSessionId, QStringLiteral("s-1"));
    QCOMPARE(boxes.unexpected, 0);
}

ZUMVARI_TEST_MAIN(TstMainWindowUpdate)
#include "tst_mainwindow_update.moc"
