#include "apiclient.h"

#include "decisions.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QUrlQuery>
#include <QUuid>

#include <algorithm>
#include <memory>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

const char DefaultApiBaseUrl[] = "https://api.zumvari.com";

QString jsonString(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toString();
}

QJsonArray itemsOf(const QJsonObject &body)
{
    return body.value(QLatin1String("items")).toArray();
}

// An aborted reply (time-out, overrun) is closed; reading it would only make Qt complain.
QByteArray bodyOf(QNetworkReply *reply)
{
    return reply->isOpen() ? reply->readAll() : QByteArray();
}

QByteArray compactJson(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// A folder under a shared temporary directory is only safe for the installer when it is ours
// and nobody else may enter it: otherwise another user could swap the verified file.
bool prepareInstallerFolder(const QString &folder)
{
    if (!QDir().mkpath(folder))
        return false;
#ifdef Q_OS_UNIX
    const QFileInfo info(folder);
    if (!info.isDir() || info.isSymLink() || info.ownerId() != ::getuid())
        return false;
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    if (!QFile::setPermissions(folder, ownerOnly))
        return false;
#endif
    return true;
}

} // namespace

ApiClient::ApiClient(QObject *parent) : QObject(parent), networkManager(new QNetworkAccessManager(this))
{
    // Set but empty is a deliberate (if useless) choice and is kept; only an unset variable
    // falls back to the built-in backend.
    const QString text =
        qEnvironmentVariable("DIVE_DIZUVIVIVID_API_URL", QString::fromLatin1(DefaultApiBaseUrl));
    baseUrl = QUrl(text, QUrl::TolerantMode);
}

bool ApiClient::IsLoggedIn() const
{
    return !accessToken.isEmpty();
}

bool ApiClient::AccelerationRequestInFlight() const
{
    return accelerationRequests > 0;
}

QString ApiClient::StoppedSessionId() const
{
    return stoppedSessionId;
}

void ApiClient::Logout()
{
    accessToken.clear();
    refreshToken.clear();
}

QUrl ApiClient::EndpointUrl(const QString &path) const
{
    QUrl url = baseUrl;
    url.setPath(path, QUrl::DecodedMode);
    return url;
}

QNetworkRequest ApiClient::apiRequest(const QString &path, bool authorized) const
{
    QNetworkRequest request(EndpointUrl(path));
    if (authorized)
        request.setRawHeader("Authorization", "Bearer " + accessToken.toUtf8());
    request.setTransferTimeout(RequestInactivityTimeoutMs);
    // Qt's default follows a redirect to any https host and sends the token (or the password) along;
    // a redirect to another scheme, host or port fails the request instead.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    return request;
}

void ApiClient::send(QNetworkReply *reply, int successStatus, const QString &fallback, bool parseOnSuccess,
                     Handler handler)
{
    connect(reply, &QNetworkReply::finished, this,
            [reply, successStatus, fallback, parseOnSuccess, handler = std::move(handler)] {
                const QByteArray raw = bodyOf(reply);
                // No HTTP response at all (refused, timed out, TLS failure) reads as status 0.
                const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                reply->deleteLater();

                Judged judged;
                judged.status = status;
                judged.ok = status == successStatus;
                if (!judged.ok || parseOnSuccess)
                    judged.body = QJsonDocument::fromJson(raw).object();
                if (!judged.ok) {
                    const QJsonValue message = judged.body.value(QLatin1String("message"));
                    judged.failureMessage = message.isString() ? message.toString() : fallback;
                }
                handler(judged);
            });
}

void ApiClient::Login(const QString &account, const QString &password)
{
    QJsonObject body;
    body.insert(QLatin1String("account"), account.trimmed());
    body.insert(QLatin1String("password"), password);
    body.insert(QLatin1String("device_id"), DeviceId());

    QNetworkRequest request = apiRequest(QStringLiteral("/api/v1/auth/login"), false);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    send(networkManager->post(request, compactJson(body)), 200, tr("登录失败"), true,
         [this, account](const Judged &judged) {
             if (!judged.ok) {
                 emit RequestFailed(judged.failureMessage);
                 return;
             }
             accessToken = jsonString(judged.body, "access_token");
             refreshToken = jsonString(judged.body, "refresh_token");
             if (accessToken.isEmpty() || refreshToken.isEmpty()) {
                 // Half a sign-in must not count as one: later requests would carry its token.
                 Logout();
                 emit RequestFailed(tr("登录响应缺少 Token"));
                 return;
             }
             emit LoginSucceeded(account.trimmed());
         });
}

void ApiClient::LoadProfile()
{
    if (!IsLoggedIn()) {
        emit RequestFailed(tr("请先登录"));
        return;
    }
    send(networkManager->get(apiRequest(QStringLiteral("/api/v1/me"), true)), 200, tr("读取会员信息失败"),
         true, [this](const Judged &judged) {
             if (judged.ok)
                 emit ProfileLoaded(judged.body);
             else
                 emit RequestFailed(judged.failureMessage);
         });
}

void ApiClient::LoadGames()
{
    if (!IsLoggedIn()) {
        emit RequestFailed(tr("请先登录"));
        return;
    }
    send(networkManager->get(apiRequest(QStringLiteral("/api/v1/games"), true)), 200, tr("读取游戏失败"),
         true, [this](const Judged &judged) {
             if (judged.ok)
                 emit GamesLoaded(itemsOf(judged.body));
             else
                 emit RequestFailed(judged.failureMessage);
         });
}

void ApiClient::LoadRegions(const QString &gameId)
{
    const QString path = QStringLiteral("/api/v1/games/%1/regions").arg(gameId);
    send(networkManager->get(apiRequest(path, true)), 200, tr("读取游戏区服失败"), true,
         [this, gameId](const Judged &judged) {
             if (judged.ok)
                 emit RegionsLoaded(gameId, itemsOf(judged.body));
             else
                 emit RequestFailed(judged.failureMessage);
         });
}

void ApiClient::LoadNodes(const QString &gameId, const QString &regionId)
{
    // One pass, so a "%2" inside the game id stays as it is.
    const QString path = QStringLiteral("/api/v1/games/%1/regions/%2/nodes").arg(gameId, regionId);
    ++accelerationRequests;
    send(networkManager->get(apiRequest(path, true)), 200, tr("读取加速节点失败"), true,
         [this, gameId, regionId](const Judged &judged) {
             --accelerationRequests;
             if (judged.ok)
                 emit NodesLoaded(gameId, regionId, itemsOf(judged.body));
             else
                 emit RequestFailed(judged.failureMessage);
         });
}

void ApiClient::CreateSession(const QString &gameId, const QString &regionId, const QString &preferredNodeId,
                              const QString &clientPublicKey, int rttMs)
{
    QJsonObject probe;
    probe.insert(QLatin1String("node_id"), preferredNodeId);
    probe.insert(QLatin1String("rtt_ms"), rttMs);
    probe.insert(QLatin1String("jitter_ms"), 0);
    probe.insert(QLatin1String("loss_rate"), 0.0);

    QJsonObject body;
    body.insert(QLatin1String("game_id"), gameId);
    body.insert(QLatin1String("region_id"), regionId);
    body.insert(QLatin1String("preferred_node_id"), preferredNodeId);
    body.insert(QLatin1String("client_public_key"), clientPublicKey);
    body.insert(QLatin1String("probes"), QJsonArray{probe});

    QNetworkRequest request = apiRequest(QStringLiteral("/api/v1/acceleration/sessions"), true);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    ++accelerationRequests;
    send(networkManager->post(request, compactJson(body)), 201, tr("创建加速会话失败"), true,
         [this](const Judged &judged) {
             --accelerationRequests;
             if (judged.ok)
                 emit SessionCreated(judged.body);
             else
                 emit AccelerationFailed(judged.failureMessage);
         });
}

void ApiClient::StopSession(const QString &sessionId)
{
    const QString path = QStringLiteral("/api/v1/acceleration/sessions/%1").arg(sessionId);
    ++accelerationRequests;
    send(networkManager->deleteResource(apiRequest(path, true)), 204, tr("停止加速会话失败"), false,
         [this, sessionId](const Judged &judged) {
             --accelerationRequests;
             // A session the backend no longer knows (expired, or ended there) is over all the same;
             // taken as a failure, every later stop would delete it again and fail again.
             if (judged.ok || judged.status == 404 || judged.status == 410) {
                 stoppedSessionId = sessionId;
                 emit SessionStopped();
                 stoppedSessionId.clear();
             } else {
                 emit RequestFailed(judged.failureMessage);
             }
         });
}

QString ApiClient::DeviceId()
{
    QSettings settings;
    QString stored = settings.value(QLatin1String("device/id")).toString();
    if (!stored.isEmpty())
        return stored;
    QString created = QUuid::createUuid().toString(QUuid::WithoutBraces);
    settings.setValue(QLatin1String("device/id"), created);
    return created;
}

void ApiClient::CheckForUpdate()
{
    QUrl url = EndpointUrl(QStringLiteral("/api/v1/client/releases/latest"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("channel"), QStringLiteral("alpha"));
    query.addQueryItem(QStringLiteral("platform"), QStringLiteral("windows-x64"));
    url.setQuery(query);

    QNetworkRequest request(url);
    request.setTransferTimeout(RequestInactivityTimeoutMs);
    QNetworkReply *reply = networkManager->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        const QByteArray raw = bodyOf(reply);
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        reply->deleteLater();
        if (status != 200)
            return;

        const QJsonObject release = QJsonDocument::fromJson(raw).object();
        const QString version = jsonString(release, "version");
        if (!isNewerRelease(version, QCoreApplication::applicationVersion()))
            return;

        emit UpdateAvailable(
            version, QUrl(jsonString(release, "download_url"), QUrl::TolerantMode),
            jsonString(release, "release_notes"), release.value(QLatin1String("mandatory")).toBool(false),
            jsonString(release, "sha256"), release.value(QLatin1String("size_bytes")).toInteger(0));
    });
}

void ApiClient::DownloadUpdate(const QUrl &downloadUrl, const QString &sha256, qint64 sizeBytes)
{
    if (!downloadUrl.isValid() || downloadUrl.scheme() != QLatin1String("https") || sha256.size() != 64 ||
        sizeBytes < 1) {
        emit UpdateDownloadFailed(tr("更新信息不完整"));
        return;
    }

    QNetworkRequest request(downloadUrl);
    request.setTransferTimeout(DownloadInactivityTimeoutMs);
    QNetworkReply *reply = networkManager->get(request);
    // Set when the server sends more than announced; the download is cut off there rather
    // than held in memory without bound.
    auto overran = std::make_shared<bool>(false);
    // The body is gathered here as it arrives. Left in the reply until the end, it would be held
    // twice at the last moment: once in the reply's pieces and once joined by readAll().
    auto body = std::make_shared<QByteArray>();
    const auto drain = [reply, body] {
        const qint64 available = reply->bytesAvailable();
        if (available <= 0)
            return;
        const qsizetype at = body->size();
        body->resize(at + qsizetype(available));
        body->resize(at + qsizetype(std::max<qint64>(reply->read(body->data() + at, available), 0)));
    };
    connect(reply, &QIODevice::readyRead, this, drain);

    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, reply, sizeBytes, overran](qint64 received, qint64 total) {
                emit UpdateDownloadProgress(received, total);
                if (received > sizeBytes && !*overran) {
                    *overran = true;
                    reply->abort();
                }
            });
    connect(reply, &QNetworkReply::finished, this, [this, reply, sha256, sizeBytes, overran, body, drain] {
        // As bodyOf(): an aborted reply (time-out, overrun) has no body, whatever arrived before.
        if (reply->isOpen())
            drain();
        else
            body->clear();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QString errorString = reply->errorString();
        reply->deleteLater();

        if (*overran || status != 200 || body->size() != sizeBytes) {
            emit UpdateDownloadFailed(tr("更新下载失败：%1").arg(errorString));
            return;
        }
        const QByteArray installer = std::move(*body);
        const QByteArray digest = QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex();
        if (QString::fromLatin1(digest).compare(sha256, Qt::CaseInsensitive) != 0) {
            emit UpdateDownloadFailed(tr("更新文件校验失败，已停止安装"));
            return;
        }

        // A temporary directory that does not exist reads as no location at all; the installer
        // must then not land in "/Zumvari" at the root of the file system.
        const QString temp = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
        const QString folder = temp + QLatin1String("/Zumvari");
        if (temp.isEmpty() || !prepareInstallerFolder(folder)) {
            emit UpdateDownloadFailed(tr("无法创建更新临时目录"));
            return;
        }
        const QString installerPath = folder + QLatin1String("/Zumvari-Update-Setup.exe");
        QSaveFile file(installerPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(installer) != installer.size() || !file.commit()) {
            emit UpdateDownloadFailed(tr("无法保存更新安装程序"));
            return;
        }
#ifdef Q_OS_UNIX
        // Where executability is a file mode, the verified installer must be startable.
        QFile::setPermissions(installerPath,
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
#endif
        emit UpdateDownloaded(installerPath);
    });
}
