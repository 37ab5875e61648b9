#pragma once

#include "servicechannel.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMainWindow>
#include <QString>
#include <QSystemTrayIcon>
#include <QUrl>

class ApiClient;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

// The one window the client lives in. It reacts only through lambdas connected in its
// constructor; its widgets and workflow state are plain members that the rest of the client
// and the tests reach directly.
class MainWindow : public QMainWindow
{
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    QLabel *statusLabel = nullptr;
    QLabel *accountLabel = nullptr;
    QLabel *membershipStatus = nullptr;
    QLabel *membershipExpiry = nullptr;
    QLabel *routeCard = nullptr;
    QLineEdit *accountEdit = nullptr;
    QLineEdit *passwordEdit = nullptr;
    QPushButton *loginButton = nullptr;
    QPushButton *registerButton = nullptr;
    QPushButton *logoutButton = nullptr;
    QListWidget *gameList = nullptr;
    QPushButton *startButton = nullptr;
    QPushButton *stopButton = nullptr;
    QPushButton *launchButton = nullptr;
    ApiClient *apiClient = nullptr;
    QString selectedGameId;
    QString selectedRegionId;
    QString selectedGameSlug;
    QString activeSessionId;
    QString tunnelPrivateKey;
    QString tunnelPublicKey;
    QSystemTrayIcon *trayIcon = nullptr;
    bool quitting = false;
    bool sessionEnding = false; // set once the desktop session began to end (log off, shut down)

    // Also what a second start of the program asks for.
    void showAndActivate();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // Sign-in and membership.
    void signIn();
    void showSignedIn(const QString &account);
    void showProfile(const QJsonObject &profile);
    void routeFailure(const QString &message);
    void signOut();

    // Game, region and node choice.
    void fillGameList(const QJsonArray &games);
    void selectGame(QListWidgetItem *current);
    void takeRegion(const QString &gameId, const QJsonArray &regions);
    void takeNode(const QString &gameId, const QString &regionId, const QJsonArray &nodes);

    // Starting and stopping acceleration.
    bool runServiceCommand(ServiceCommand command, const QByteArray &payload);
    bool generateTunnelKeyPair();
    void startAcceleration();
    void startTunnel(const QJsonObject &session);
    void refuseSession(const QString &message);
    void stopOnSignOut();
    void stopAcceleration();
    void finishStop(const QString &stoppedId);
    void offerStart(bool allowed);

    // Tray, exit and the window's place on the screen.
    void exitAndStop();
    void settleOnDesktop();

    // Updates and launch.
    void showDownloadProgress(qint64 received, qint64 total);
    void showDownloadFailure(const QString &message);
    void offerRelease(const QString &version, const QUrl &downloadUrl, const QString &releaseNotes,
                      bool mandatory, const QString &sha256, qint64 sizeBytes);
    void offerInstall(const QString &installerPath);
    void launchGame();
};
