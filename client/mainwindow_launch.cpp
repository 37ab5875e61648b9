// Starting the chosen game through Steam, for the games whose Steam id the client knows.

#include "mainwindow.h"

#include "decisions.h"

#include <QDesktopServices>
#include <QMessageBox>

void MainWindow::launchGame()
{
    const QString appId = steamAppIdForSlug(selectedGameSlug);
    if (appId.isEmpty()) {
        QMessageBox::information(
            this, tr("启动游戏"),
            tr("该游戏暂未配置自动启动，请保持Zumvari处于“正在加速”，再从游戏官方启动器打开。"));
        return;
    }
    // Whether a Steam client takes the link is its own business.
    QDesktopServices::openUrl(QUrl(QStringLiteral("steam://rungameid/%1").arg(appId), QUrl::TolerantMode));
}
