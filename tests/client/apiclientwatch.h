#pragma once

// Watches one ApiClient from the outside: every signal it emits, in order, and the replies of its
// network manager.

#include "apiclient.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPair>
#include <QSignalSpy>
#include <QStringList>
#include <QVariantList>

struct Emission
{
    QString signal;
    QVariantList args;
};

// Every signal of one client, in the order it was emitted.
class SignalLog : public QObject
{
public:
    explicit SignalLog(ApiClient *client)
    {
        connect(client, &ApiClient::LoginSucceeded, this,
                [this](const QString &account) { add("LoginSucceeded", {account}); });
        connect(client, &ApiClient::ProfileLoaded, this,
                [this](const QJsonObject &profile) { add("ProfileLoaded", {profile}); });
        connect(client, &ApiClient::GamesLoaded, this,
                [this](const QJsonArray &games) { add("GamesLoaded", {games}); });
        connect(client, &ApiClient::RegionsLoaded, this,
                [this](const QString &gameId, const QJsonArray &regions) {
                    add("RegionsLoaded", {gameId, regions});
                });
        connect(client, &ApiClient::NodesLoaded, this,
                [this](const QString &gameId, const QString &regionId, const QJsonArray &nodes) {
                    add("NodesLoaded", {gameId, regionId, nodes});
                });
        connect(client, &ApiClient::SessionCreated, this,
                [this](const QJsonObject &session) { add("SessionCreated", {session}); });
        connect(client, &ApiClient::AccelerationFailed, this,
                [this](const QString &message) { add("AccelerationFailed", {message}); });
        connect(client, &ApiClient::SessionStopped, this, [this] { add("SessionStopped", {}); });
        connect(client, &ApiClient::UpdateAvailable, this,
                [this](const QString &version, const QUrl &url, const QString &notes, bool mandatory,
                       const QString &sha256, qint64 size) {
                    add("UpdateAvailable", {version, url, notes, mandatory, sha256, size});
                });
        connect(client, &ApiClient::UpdateDownloadProgress, this, [this](qint64 received, qint64 total) {
            add("UpdateDownloadProgress", {received, total});
        });
        connect(client, &ApiClient::UpdateDownloaded, this,
                [this](const QString &path) { add("UpdateDownloaded", {path}); });
        connect(client, &ApiClient::UpdateDownloadFailed, this,
                [this](const QString &message) { add("UpdateDownloadFailed", {message}); });
        connect(client, &ApiClient::RequestFailed, this,
                [this](const QString &message) { add("RequestFailed", {message}); });
    }

    QList<Emission> entries;

    QStringList names() const
    {
        QStringList out;
        for (const Emission &e : entries)
            out.append(e.signal);
        return out;
    }
    // Everything but the progress reports.
    QList<Emission> outcomes() const
    {
        QList<Emission> out;
        for (const Emission &e : entries) {
            if (e.signal != QLatin1String("UpdateDownloadProgress"))
                out.append(e);
        }
        return out;
    }
    QList<QPair<qint64, qint64>> progress() const
    {
        QList<QPair<qint64, qint64>> out;
        for (const Emission &e : entries) {
            if (e.signal == QLatin1String("UpdateDownloadProgress"))
                out.append({e.args[0].toLongLong(), e.args[1].toLongLong()});
        }
        return out;
    }
    void clear() { entries.clear(); }

private:
    void add(const char *name, const QVariantList &args)
    {
        entries.append({QString::fromLatin1(name), args});
    }
};

// Counts the finished replies of the client's network manager. The client handles a reply within the
// same emission of QNetworkReply::finished, so once a reply is counted its signal, if any, is out.
class ReplyWatch
{
public:
    explicit ReplyWatch(ApiClient *client)
        : manager(client->findChild<QNetworkAccessManager *>()),
          spy(manager, &QNetworkAccessManager::finished)
    {}

    bool waitFor(int n, int timeoutMs = 15000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (spy.count() < n && !deadline.hasExpired())
            spy.wait(int(qMax<qint64>(1, deadline.remainingTime())));
        return spy.count() >= n;
    }
    void reset() { spy.clear(); }
    QList<QNetworkReply *> replies() const { return manager->findChildren<QNetworkReply *>(); }
    // Replies that exist right now (finished ones linger until their deferred deletion).
    int replyObjects() const { return int(replies().size()); }

    // The reply a call has just made: the one that did not exist before it.
    QNetworkReply *newReply(const QList<QNetworkReply *> &before) const
    {
        for (QNetworkReply *r : replies()) {
            if (!before.contains(r))
                return r;
        }
        return nullptr;
    }

private:
    QNetworkAccessManager *manager;
    QSignalSpy spy;
};
