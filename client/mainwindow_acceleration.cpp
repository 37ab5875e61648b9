// Starting and stopping an acceleration. Set-up runs key pair → node → backend session →
// local tunnel; tear-down deletes the backend session first and stops the tunnel only once the
// backend has confirmed.

#include "mainwindow.h"

#include "apiclient.h"
#include "decisions.h"
#include "keypair.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

bool MainWindow::runServiceCommand(ServiceCommand command, const QByteArray &payload)
{
    const ServiceReply reply = callControlService(command, payload);
    if (!reply.ok) {
        statusLabel->setText(reply.error);
        return false;
    }
    switch (serviceStateOf(reply.text)) {
    case ServiceState::Accelerating:
        statusLabel->setText(tr("正在加速"));
        startButton->setEnabled(false);
        stopButton->setEnabled(true);
        break;
    case ServiceState::Idle:
        statusLabel->setText(tr("当前未加速"));
        offerStart(apiClient->IsLoggedIn() && gameList->currentItem() != nullptr);
        stopButton->setEnabled(false);
        break;
    case ServiceState::Unknown:
        statusLabel->setText(reply.text);
        break;
    }
    return true;
}

bool MainWindow::generateTunnelKeyPair()
{
    const KeyPairRun run = runKeyPairProgram(keyPairProgramPath());
    if (run.outcome == KeyPairRun::Outcome::ProgramFailed) {
        statusLabel->setText(tr("无法生成隧道密钥，请重新安装客户端"));
        return false;
    }
    tunnelPrivateKey = run.privateKey;
    tunnelPublicKey = run.publicKey;
    if (run.outcome == KeyPairRun::Outcome::KeysMissing) {
        statusLabel->setText(tr("隧道密钥生成失败"));
        return false;
    }
    return true;
}

void MainWindow::startAcceleration()
{
    if (!generateTunnelKeyPair())
        return;
    startButton->setEnabled(false);
    statusLabel->setText(tr("正在选择最优线路…"));
    apiClient->LoadNodes(selectedGameId, selectedRegionId);
}

void MainWindow::startTunnel(const QJsonObject &session)
{
    activeSessionId = session.value(QLatin1String("session_id")).toString();
    const QJsonObject payload = buildStartPayload(session, tunnelPrivateKey);
    if (!runServiceCommand(ServiceCommand::Start, QJsonDocument(payload).toJson(QJsonDocument::Compact))) {
        // A granted session without a tunnel would be billed for nothing: hand it back.
        statusLabel->setText(tr("本地隧道启动失败，正在撤销会话…"));
        apiClient->StopSession(activeSessionId);
        return;
    }

    const QString egressIp = session.value(QLatin1String("egress_ip")).toString();
    routeCard->setText(
        tr("当前节点：Hong Kong Test Node · 加速 IP：%1").arg(egressIp.isEmpty() ? tr("分配中") : egressIp));
    if (isSplitRouting(payload))
        statusLabel->setText(tr("正在加速 · 智能分流 Beta（仅游戏流量）"));
    else if (session.value(QLatin1String("rules_environment")).toString() == QLatin1String("global-fallback"))
        statusLabel->setText(tr("正在加速 · 全局模式（全部 IPv4 流量经香港）"));
    else
        statusLabel->setText(tr("正在加速 · 游戏分流模式"));
    launchButton->setEnabled(true);
}

void MainWindow::refuseSession(const QString &message)
{
    statusLabel->setText(message);
    tunnelPrivateKey.clear();
    tunnelPublicKey.clear();
    offerStart(!selectedRegionId.isEmpty());
    stopButton->setEnabled(false);
    launchButton->setEnabled(false);
}

void MainWindow::stopOnSignOut()
{
    if (activeSessionId.isEmpty())
        runServiceCommand(ServiceCommand::Stop, QByteArray());
    else
        apiClient->StopSession(activeSessionId);
}

void MainWindow::stopAcceleration()
{
    stopButton->setEnabled(false);
    if (!activeSessionId.isEmpty()) {
        statusLabel->setText(tr("正在停止加速…"));
        apiClient->StopSession(activeSessionId);
    } else {
        // A tunnel the window holds no session for, such as one found by "检查服务".
        runServiceCommand(ServiceCommand::Stop, QByteArray());
    }
}

void MainWindow::finishStop(const QString &stoppedId)
{
    // The session was replaced while its delete was on the way (a start from Accelerating): the tunnel
    // now runs for the newer one, which stays held; a pending exit goes on with it. A confirmation that
    // names no session speaks for the one held.
    if (!stoppedId.isEmpty() && stoppedId != activeSessionId) {
        if (quitting && !activeSessionId.isEmpty())
            apiClient->StopSession(activeSessionId);
        return;
    }
    runServiceCommand(ServiceCommand::Stop, QByteArray());
    activeSessionId.clear();
    tunnelPrivateKey.clear();
    tunnelPublicKey.clear();
    statusLabel->setText(tr("当前未加速"));
    offerStart(apiClient->IsLoggedIn() && !selectedRegionId.isEmpty());
    stopButton->setEnabled(false);
    if (quitting)
        QCoreApplication::quit();
}

void MainWindow::offerStart(bool allowed)
{
    // While a start is being set up or a session deleted, a second start would request a session the
    // window cannot hold, or go out while the stop clears the keys.
    startButton->setEnabled(allowed && !apiClient->AccelerationRequestInFlight());
}
