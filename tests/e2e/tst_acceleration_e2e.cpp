// End to end: the real window in this process, the real devbackend and devservice processes and the
// real pairgen.exe beside this binary, on a member's road: sign-in, start, stop, start again and leave
// through the tray's exit while that session runs.

#include "clienttest.h"

class EndToEnd : public QObject
{
    Q_OBJECT

    QProcess backend, service;

private slots:
    void initTestCase()
    {
        backend.start(QCoreApplication::applicationDirPath() + "/devbackend", {"--port", "0"});
        service.start(QCoreApplication::applicationDirPath() + "/devservice");
        // Each says where it listens on its first line.
        for (QProcess *standin : {&backend, &service}) {
            while (!standin->canReadLine())
                QVERIFY2(standin->waitForReadyRead(20000), standin->readAllStandardError().constData());
        }
        qputenv("DIVE_DIZUVIVIVID_API_URL", backend.readLine().split(' ').last().trimmed());
    }
    void cleanupTestCase()
    {
        for (QProcess *standin : {&backend, &service})
            standin->terminate(), standin->waitForFinished();
    }

    // One short check each of what the stand-ins refuse; the road below meets them otherwise.
    void standinsRefuse()
    {
        QCOMPARE(QProcess::execute(keyPairProgramPath(), {"KEYPAIR"}), 2);
        QVERIFY(callControlService(ServiceCommand(4), {}).text.contains("unknown_command"));
        QVERIFY(callControlService(ServiceCommand::Start, R"({"session_id":"s"})")
                    .text.contains("invalid_private_key"));
    }

    void road()
    {
        const auto serviceState = [] { // what the service itself reports
            return QJsonDocument::fromJson(callControlService(ServiceCommand::Status, {}).text.toUtf8())
                .object();
        };
        MainWindow window;
        window.show();
        QTest::keyClicks(window.accountEdit, "member@zumvari.test");
        QTest::keyClicks(window.passwordEdit, "member123");
        QTest::mouseClick(window.loginButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(window.startButton->isEnabled(), 20000);
        QCOMPARE(window.membershipStatus->text() + ' ' + window.selectedGameSlug,
                 "会员状态：正式会员 · 剩余 30 天 cs2");

        for (int run = 0; run < 2; ++run) {
            QTest::mouseClick(window.startButton, Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(window.statusLabel->text(), "正在加速 · 智能分流 Beta（仅游戏流量）",
                                      20000);
            // The service runs the session the backend granted, shown with the node's egress address.
            const QJsonObject state = serviceState();
            QCOMPARE(state["session_id"].toString() + ' ' + state["route_mode"].toString(),
                     window.activeSessionId + " process-beta");
            QCOMPARE(window.routeCard->text(),
                     "当前节点：Hong Kong Test Node · 加速 IP：" + state["egress_ip"].toString());
            QCOMPARE(QByteArray::fromBase64(window.tunnelPublicKey.toLatin1()).size(), 32); // pairgen's
            if (run == 1)
                break;
            QTest::mouseClick(window.stopButton, Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(window.statusLabel->text(), "当前未加速", 20000);
            QCOMPARE(serviceState()["state"], "idle");
        }

        // The exit holds the session, out of sight, until the backend's confirmation ends the program.
        bool waited = false;
        const auto exit = [&] {
            window.findChild<QAction *>("exitAction")->trigger();
            waited = !window.activeSessionId.isEmpty() && !window.trayIcon->isVisible() &&
                     window.statusLabel->text() == "正在停止加速并退出…";
        };
        QCOMPARE(ClientTest::runEventLoop(exit, 20000), 0);
        QVERIFY(waited && window.activeSessionId.isEmpty());
        QCOMPARE(serviceState()["state"], "idle");
    }
};

// The control channel's socket lies in the suite's own temporary folder, for the window and for the
// service it starts alike.
ZUMVARI_TEST_MAIN(EndToEnd)

#include "tst_acceleration_e2e.moc"
