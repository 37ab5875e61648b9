// Closing hides the window to the notification area; only the tray's exit ends the program,
// and only after a running acceleration has been stopped. The desktop session's end closes it
// for good. Also where the window sits on a screen that may be smaller than it.

#include "mainwindow.h"

#include "apiclient.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QSessionManager>

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Windows ends a session by asking the program to commit its data and then quitting it, which
    // closes every window: no notice then, and nothing that could hold the end up.
    if (quitting || sessionEnding) {
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

void MainWindow::settleOnDesktop()
{
    // Direct: the session manager's request is answered before its signal returns.
    connect(
        qGuiApp, &QGuiApplication::commitDataRequest, this, [this] { sessionEnding = true; },
        Qt::DirectConnection);

    winId(); // the frame is known once the native window exists (Windows; elsewhere it counts as none)
    const QRect free = screen()->availableGeometry();
    const QSize frame = frameGeometry().size() - size();
    resize(size().boundedTo(free.size() - frame));
    // Qt centres a window that leaves room around it; one that nearly fills the free area would go
    // where the platform cascades it, its bottom under the taskbar.
    const QSize whole = size() + frame;
    if (whole.width() * 9 >= free.width() * 8 || whole.height() * 9 >= free.height() * 8)
        move(free.topLeft());
}
