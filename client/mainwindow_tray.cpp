// Closing hides the window to the notification area; only the tray's exit ends the program,
// and only after a running acceleration has been stopped.

#include "mainwindow.h"

#include "apiclient.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (quitting) {
        event->accept();
        return;
    }
    hide();
    const QString notice = activeSessionId.isEmpty() ? tr("程序已最小化到任务栏通知区域。")
                                                     : tr("加速仍在运行；选择“退出并停止加速”才会断开。");
    trayIcon->showMessage(tr("Zumvari仍在运行"), notice, QSystemTrayIcon::Information, 2500);
    event->ignore();
}

void MainWindow::showAndActivate()
{
    showNormal();
    raise();
    activateWindow();
}

void MainWindow::exitAndStop()
{
    quitting = true;
    trayIcon->setVisible(false);
    if (activeSessionId.isEmpty()) {
        // Whatever the service answers, the program ends.
        runServiceCommand(ServiceCommand::Stop, QByteArray());
        QCoreApplication::quit();
        return;
    }
    statusLabel->setText(tr("正在停止加速并退出…"));
    apiClient->StopSession(activeSessionId);
}
