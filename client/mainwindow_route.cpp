// Game, region and node choice. The backend's order is the ranking: the first region and the
// first node are taken.

#include "mainwindow.h"

#include "apiclient.h"
#include "decisions.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>

namespace {
constexpr int GameIdRole = Qt::UserRole;
constexpr int GameSlugRole = Qt::UserRole + 1;
} // namespace

void MainWindow::fillGameList(const QJsonArray &games)
{
    gameList->clear();
    for (const auto &value : games) {
        const QJsonObject game = value.toObject();
        auto *item = new QListWidgetItem(game.value(QLatin1String("name")).toString());
        item->setData(GameIdRole, game.value(QLatin1String("id")).toString());
        item->setData(GameSlugRole, game.value(QLatin1String("slug")).toString());
        gameList->addItem(item);
    }
    if (gameList->count() > 0)
        gameList->setCurrentRow(0);
}

void MainWindow::selectGame(QListWidgetItem *current)
{
    selectedGameId.clear();
    selectedRegionId.clear();
    selectedGameSlug.clear();
    startButton->setEnabled(false);
    launchButton->setEnabled(false);
    routeCard->setText(tr("加速线路：正在匹配…"));
    if (!current || !apiClient->IsLoggedIn())
        return;
    selectedGameId = current->data(GameIdRole).toString();
    selectedGameSlug = current->data(GameSlugRole).toString();
    statusLabel->setText(tr("正在读取可用区服…"));
    apiClient->LoadRegions(selectedGameId);
}

void MainWindow::takeRegion(const QString &gameId, const QJsonArray &regions)
{
    if (gameId != selectedGameId || regions.isEmpty()) {
        statusLabel->setText(tr("当前游戏暂无可用区服"));
        return;
    }
    const QJsonObject region = regions.at(0).toObject();
    selectedRegionId = region.value(QLatin1String("id")).toString();
    routeCard->setText(tr("加速线路：%1 · 香港智能节点").arg(region.value(QLatin1String("name")).toString()));
    statusLabel->setText(tr("香港节点在线，可开始加速"));
    offerStart(true);
}

void MainWindow::takeNode(const QString &gameId, const QString &regionId, const QJsonArray &nodes)
{
    if (gameId != selectedGameId || regionId != selectedRegionId) {
        // A reply for an earlier choice; it ends that start, so the current choice's start may come back.
        offerStart(apiClient->IsLoggedIn() && !selectedRegionId.isEmpty());
        return;
    }
    if (nodes.isEmpty()) {
        statusLabel->setText(tr("当前没有在线加速节点"));
        routeCard->setText(tr("加速线路：暂无可用节点"));
        offerStart(true);
        return;
    }
    const QJsonObject node = nodes.at(0).toObject();
    routeCard->setText(tr("当前节点：%1 · %2")
                           .arg(node.value(QLatin1String("name")).toString(),
                                node.value(QLatin1String("location")).toString().toUpper()));
    const int rttMs = roundTripValue(node.value(QLatin1String("score")));
    statusLabel->setText(tr("正在申请加速会话…"));
    apiClient->CreateSession(selectedGameId, selectedRegionId, node.value(QLatin1String("id")).toString(),
                             tunnelPublicKey, rttMs);
}
