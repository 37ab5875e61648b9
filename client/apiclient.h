#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// The client's only client of the backend. Every operation sends one request and returns at
// once; its outcome arrives later as exactly one signal.
class ApiClient : public QObject
{
    Q_OBJECT

public:
    explicit ApiClient(QObject *parent = nullptr);

    bool IsLoggedIn() const;
    // True while a node lookup, a session request or a session delete awaits its answer; the outcome
    // signal of the last one is emitted after this turns false.
    bool AccelerationRequestInFlight() const;
    // While SessionStopped is emitted: the id whose delete it confirms, so that a late confirmation can be
    // told from one for the session held now. Empty at any other time.
    QString StoppedSessionId() const;
    void Logout();
    QUrl EndpointUrl(const QString &path) const;

    void Login(const QString &account, const QString &password);
    void LoadProfile();
    void LoadGames();
    void LoadRegions(const QString &gameId);
    void LoadNodes(const QString &gameId, const QString &regionId);
    void CreateSession(const QString &gameId, const QString &regionId, const QString &preferredNodeId,
                       const QString &clientPublicKey, int rttMs);
    void StopSession(const QString &sessionId);
    QString DeviceId();
    void CheckForUpdate();
    void DownloadUpdate(const QUrl &downloadUrl, const QString &sha256, qint64 sizeBytes);

    // Without a reply byte for this long a request ends like any transport failure.
    static constexpr int RequestInactivityTimeoutMs = 30000;
    static constexpr int DownloadInactivityTimeoutMs = 60000;

signals:
    void LoginSucceeded(QString account);
    void ProfileLoaded(QJsonObject profile);
    void GamesLoaded(QJsonArray games);
    void RegionsLoaded(QString gameId, QJsonArray regions);
    void NodesLoaded(QString gameId, QString regionId, QJsonArray nodes);
    void SessionCreated(QJsonObject session);
    void AccelerationFailed(QString message);
    void SessionStopped();
    void UpdateAvailable(QString version, QUrl downloadUrl, QString releaseNotes, bool mandatory,
                         QString sha256, qint64 sizeBytes);
    void UpdateDownloadProgress(qint64 received, qint64 total);
    void UpdateDownloaded(QString installerPath);
    void UpdateDownloadFailed(QString message);
    void RequestFailed(QString message);

private:
    // The outcome of one finished request, judged the same way for every operation.
    struct Judged
    {
        bool ok = false;
        int status = 0;
        QJsonObject body;
        QString failureMessage;
    };
    using Handler = std::function<void(const Judged &)>;

    QNetworkRequest apiRequest(const QString &path, bool authorized) const;
    void send(QNetworkReply *reply, int successStatus, const QString &fallback, bool parseOnSuccess,
              Handler handler);

    QNetworkAccessManager *networkManager = nullptr;
    QUrl baseUrl;
    QString accessToken;
    QString refreshToken;
    int accelerationRequests = 0;
    QString stoppedSessionId;
};
