// End to end: the real window in this process, the real devbackend and devservice processes and
// the real pairgen.exe beside this binary, on a member's road: sign in, start, stop, start again
// and leave through the tray's exit while that session runs.

#include "apiclient.h"
#include "keypair.h"
#include "mainwindow.h"

#include <QtTest>
#include <QtWidgets>

namespace {

// A stand-in from beside this binary; everything it prints is kept.
struct Standin : QProcess
{
    Standin(const char *name, const QStringList &arguments)
    {
        start(QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(name), arguments);
    }
    ~Standin() override
    {
        terminate();
        waitForFinished(5000);
    }
    // The last capture of the first line from `from` on that matches, waited for with the window's
    // events flowing; empty when none comes.
    QString await(const QString &pattern, qsizetype from = 0)
    {
        const QRegularExpression line(pattern, QRegularExpression::MultilineOption);
        for (QDeadlineTimer deadline(20000);; QTest::qWait(10)) {
            log += QString::fromUtf8(readAllStandardOutput());
            const QRegularExpressionMatch match = line.match(log, from);
            if (match.hasMatch() || deadline.hasExpired())
                return match.captured(match.lastCapturedIndex());
        }
    }
    QString log;
};

} // namespace

class EndToEnd : public QObject
{
    Q_OBJECT

    Standin backend{"devbackend", {QStringLiteral("--port"), QStringLiteral("0")}};
    Standin service{"devservice", {}};

private slots:
    void initTestCase()
    {
        const QString url = backend.await(QStringLiteral("^devbackend listening on (http://\\S+)$"));
        QVERIFY2(!url.isEmpty(), backend.readAllStandardError().constData());
        qputenv("DIVE_DIZUVIVIVID_API_URL", url.toUtf8());
        QVERIFY(!service.await(QStringLiteral("^devservice listening")).isEmpty());
    }

    // The stand-ins refuse what they cannot carry out; the road below meets them otherwise.
    void standinsRefuse()
    {
        QCOMPARE(QProcess::execute(keyPairProgramPath(), {QStringLiteral("KEYPAIR")}), 2);
        const ServiceReply unknown = callControlService(ServiceCommand(4), {});
        const ServiceReply keyless = callControlService(ServiceCommand::Start, R"({"session_id":"s"})");
        QVERIFY(!unknown.ok && unknown.text.contains(QLatin1String("unknown_command")));
        QVERIFY(!keyless.ok && keyless.text.contains(QLatin1String("invalid_private_key")));
        QVERIFY(callControlService(ServiceCommand::Status, {}).text.contains(QLatin1String("idle")));
    }

    void signInStartStopAndExitWithASession()
    {
        MainWindow window;
        window.show();
        QTest::keyClicks(window.accountEdit, QStringLiteral("member@zumvari.test"));
        QTest::keyClicks(window.passwordEdit, QStringLiteral("member12"));
        QTest::mouseClick(window.loginButton, Qt::LeftButton);
        // A wrong password first: the backend's own words, where the sign-in form is.
        QTRY_COMPARE_WITH_TIMEOUT(window.accountLabel->text(), QStringLiteral("账号或密码错误"), 20000);
        QTest::keyClicks(window.passwordEdit, QStringLiteral("3"));
        QTest::mouseClick(window.loginButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(window.startButton->isEnabled(), 20000);
        QCOMPARE(window.membershipStatus->text(), QStringLiteral("会员状态：正式会员 · 剩余 30 天"));

        // Split routing for a game with processes; global routing for one without, left running.
        const struct
        {
            QString slug, route, status;
        } roads[] = {{QStringLiteral("cs2"), QStringLiteral("process-beta game_processes=[1-9]"),
                      QStringLiteral("正在加速 · 智能分流 Beta（仅游戏流量）")},
                     {QStringLiteral("vrchat"), QStringLiteral("- game_processes=0"),
                      QStringLiteral("正在加速 · 全局模式（全部 IPv4 流量经香港）")}};
        QString id;
        QSet<QString> keys;
        for (const auto &road : roads) {
            for (int row = 0; window.selectedGameSlug != road.slug && row < window.gameList->count(); ++row)
                window.gameList->setCurrentRow(row);
            QTRY_VERIFY_WITH_TIMEOUT(window.startButton->isEnabled(), 20000);
            QTest::mouseClick(window.startButton, Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(window.statusLabel->text(), road.status, 20000);
            id = window.activeSessionId;
            // The session the backend granted runs in the service, shown with the node's egress address.
            QVERIFY(!backend.await("^POST /api/v1/acceleration/sessions 201 session=" + id + '$').isEmpty());
            const QString egress =
                service.await("command=Start .* state=accelerating session_id=" + id +
                              " route_mode=" + road.route + " egress_ip=(203\\.0\\.113\\.\\d+)$");
            QCOMPARE(window.routeCard->text(),
                     QStringLiteral("当前节点：Hong Kong Test Node · 加速 IP：") + egress);
            // A fresh pair from pairgen each time; the service has judged the private key already.
            const QByteArray publicKey = QByteArray::fromBase64(window.tunnelPublicKey.toLatin1());
            QVERIFY(publicKey.size() == 32 && publicKey.toBase64() == window.tunnelPublicKey.toLatin1());
            keys << window.tunnelPrivateKey << window.tunnelPublicKey;
            if (road.slug == QLatin1String("vrchat"))
                break;

            const qsizetype mark = service.log.size();
            QTest::mouseClick(window.stopButton, Qt::LeftButton);
            // Nothing reaches the service before the backend has confirmed the stop.
            QVERIFY(!service.waitForReadyRead(300));
            QTRY_COMPARE_WITH_TIMEOUT(window.statusLabel->text(), QStringLiteral("当前未加速"), 20000);
            QVERIFY(!backend.await("^DELETE /api/v1/acceleration/sessions/" + id + " 204").isEmpty());
            QVERIFY(!service.await(QStringLiteral("command=Stop .* state=idle$"), mark).isEmpty());
            QVERIFY(window.startButton->isEnabled() && !window.stopButton->isEnabled());
            QVERIFY(window.activeSessionId.isEmpty() && window.tunnelPrivateKey.isEmpty() &&
                    window.tunnelPublicKey.isEmpty());
        }

        QCOMPARE(keys.size(), 4);

        // The exit holds the session, out of sight, until the backend's confirmation ends the program.
        const qsizetype mark = service.log.size();
        bool waited = false, confirmedInTheLoop = false;
        QObject::connect(window.apiClient, &ApiClient::SessionStopped, &window,
                         [&] { confirmedInTheLoop = window.activeSessionId.isEmpty(); });
        QTimer::singleShot(0, &window, [&] {
            window.findChild<QAction *>(QStringLiteral("exitAction"))->trigger();
            waited = window.activeSessionId == id && !window.trayIcon->isVisible() &&
                     window.statusLabel->text() == QStringLiteral("正在停止加速并退出…") &&
                     !service.waitForReadyRead(300);
        });
        QTimer watchdog;
        watchdog.callOnTimeout([] { QCoreApplication::exit(99); });
        watchdog.start(20000);
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(waited && confirmedInTheLoop);
        QVERIFY(!backend.await("^DELETE /api/v1/acceleration/sessions/" + id + " 204").isEmpty());
        QVERIFY(!service.await(QStringLiteral("command=Stop .* state=idle$"), mark).isEmpty());
    }
};

int main(int argc, char *argv[])
{
    // Private settings and temporary folder: the control channel's socket lies there for the
    // window and for the service it starts alike.
    QTemporaryDir home;
    qputenv("TMPDIR", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    QApplication app(argc, argv);
    // The running version, as the program sets it: the backend's release is no update.
    QApplication::setApplicationVersion(QStringLiteral("0.4.0"));
    EndToEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_acceleration_e2e.moc"
