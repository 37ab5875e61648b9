// The release prompt, the download progress and the hand-off to the verified installer.

#include "mainwindow.h"

#include "apiclient.h"
#include "decisions.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

void MainWindow::showDownloadProgress(qint64 received, qint64 total)
{
    if (const auto percent = downloadPercent(received, total))
        statusLabel->setText(tr("正在下载更新：%1%").arg(*percent));
}

void MainWindow::showDownloadFailure(const QString &message)
{
    statusLabel->setText(message);
    QMessageBox::warning(this, tr("更新失败"), message);
}

void MainWindow::offerRelease(const QString &version, const QUrl &downloadUrl, const QString &releaseNotes,
                              bool mandatory, const QString &sha256, qint64 sizeBytes)
{
    QMessageBox box(this);
    box.setWindowTitle(tr("发现新版本"));
    box.setText(tr("Zumvari %1 已发布").arg(version));
    box.setInformativeText(releaseNotes);
    QPushButton *download = box.addButton(tr("下载并升级"), QMessageBox::AcceptRole);
    if (mandatory)
        box.setEscapeButton(download); // Esc or closing the box still starts the download
    else
        box.addButton(tr("稍后提醒"), QMessageBox::RejectRole);
    box.exec();
    if (box.clickedButton() != download)
        return;
    statusLabel->setText(tr("正在下载更新…"));
    apiClient->DownloadUpdate(downloadUrl, sha256, sizeBytes);
}

void MainWindow::offerInstall(const QString &installerPath)
{
    const auto answer = QMessageBox::question(this, tr("安装更新"),
                                              tr("新版已下载并通过安全校验。现在退出Zumvari并开始升级吗？"),
                                              QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (answer != QMessageBox::Yes) {
        statusLabel->setText(tr("更新已下载，可稍后重新检查更新"));
        return;
    }
    if (!QProcess::startDetached(installerPath, QStringList())) {
        QMessageBox::warning(this, tr("更新失败"), tr("无法启动更新安装程序"));
        return;
    }
    // Quitting closes the window first; it must close for good rather than go to the tray
    // with a "still running" notice.
    quitting = true;
    // Let the dialog's handler return before the event loop ends.
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
}
