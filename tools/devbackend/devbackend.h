#pragma once

#include "demodata.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QSslConfiguration>
#include <QUrl>

#include <functional>
#include <optional>

class QTcpSocket;
class QHttpServerRequest;

// The latest client release and the installer behind it.
struct ReleaseInfo
{
    QString version;
    QString notes;
    bool mandatory = false;
    QString fileName; // served at /downloads/<fileName>
    QString filePath; // the installer on disk; empty when `content` is served instead
    QByteArray content;
    qint64 sizeBytes = 0;
    QString sha256; // lower-case hexadecimal
};

// A loopback stand-in for the backend HTTPS/JSON API, answering from the demo data.
class DevBackend : public QAbstractHttpServer
{
    Q_OBJECT

public:
    DevBackend(DemoData data, ReleaseInfo release, QObject *parent = nullptr);

    // Binds 127.0.0.1 only; with a TLS configuration every connection speaks HTTPS.
    bool listenLoopback(quint16 port, const std::optional<QSslConfiguration> &tls, QString *error);
    QUrl baseUrl() const;
    QUrl downloadUrl() const;

    // Receives one line per answered request.
    std::function<void(const QString &)> log;

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    struct Reply
    {
        int status = 200;
        QJsonObject body;
        QByteArray allow; // methods for a 405
        QString note;     // appended to the log line
        bool streamed = false;
    };

    struct Session
    {
        QString account;
        QString gameId;
        QString regionId;
        QString nodeId;
    };

    Reply route(const QHttpServerRequest &request, QTcpSocket *socket);
    Reply login(const QByteArray &body);
    Reply profile(const QString &account) const;
    Reply games() const;
    Reply regions(const QString &gameId) const;
    Reply nodes(const QString &gameId, const QString &regionId) const;
    Reply createSession(const QString &account, const QByteArray &body);
    Reply deleteSession(const QString &account, const QString &sessionId);
    Reply release() const;
    Reply download(const QString &name, const QHttpServerRequest &request, QTcpSocket *socket);

    std::optional<QString> authenticate(const QHttpServerRequest &request) const;
    void writeLog(const QString &method, const QString &path, int status, const QString &note) const;

    DemoData data;
    ReleaseInfo releaseInfo;
    QString scheme;
    quint16 port = 0;
    QHash<QString, QString> accessTokens; // token -> account
    QHash<QString, Session> sessions;     // session id -> session
    quint32 nextClientHost = 0;
};
