#pragma once

// Watches one ApiClient from the outside: every signal it emits, in order, and the replies of its
// network manager; and a rig of a loopback server with one client pointed at it.

#include "apiclient.h"
#include "testserver.h"

#include <QDeadlineTimer>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPair>
#include <QSignalSpy>
#include <QStringList>
#include <QVariantList>

#include <functional>
#include <memory>

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
        using C = ApiClient;
        connect(client, &C::LoginSucceeded, this, [this](QString a) { add("LoginSucceeded", {a}); });
        connect(client, &C::ProfileLoaded, this, [this](QJsonObject p) { add("ProfileLoaded", {p}); });
        connect(client, &C::GamesLoaded, this, [this](QJsonArray g) { add("GamesLoaded", {g}); });
        connect(client, &C::RegionsLoaded, this, [this](QString game, QJsonArray r) {
            add("RegionsLoaded", {game, r});
        });
        connect(client, &C::NodesLoaded, this, [this](QString game, QString region, QJsonArray n) {
            add("NodesLoaded", {game, region, n});
        });
        connect(client, &C::SessionCreated, this, [this](QJsonObject s) { add("SessionCreated", {s}); });
        connect(client, &C::AccelerationFailed, this, [this](QString m) { add("AccelerationFailed", {m}); });
        connect(client, &C::SessionStopped, this, [this] { add("SessionStopped", {}); });
        connect(
            client, &C::UpdateAvailable, this,
            [this](QString version, QUrl url, QString notes, bool mandatory, QString sha256, qint64 size) {
                add("UpdateAvailable", {version, url, notes, mandatory, sha256, size});
            });
        connect(client, &C::UpdateDownloadProgress, this, [this](qint64 received, qint64 total) {
            add("UpdateDownloadProgress", {received, total});
        });
        connect(client, &C::UpdateDownloaded, this,
                [this](QString path) { add("UpdateDownloaded", {path}); });
        connect(client, &C::UpdateDownloadFailed, this,
                [this](QString m) { add("UpdateDownloadFailed", {m}); });
        connect(client, &C::RequestFailed, this, [this](QString m) { add("RequestFailed", {m}); });
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
    // The outcomes as "Signal first-argument", e.g. "UpdateDownloadFailed 更新信息不完整".
    QStringList outcomeLines() const
    {
        QStringList out;
        for (const Emission &e : outcomes())
            out.append(e.signal + QLatin1Char(' ') + e.args.value(0).toString());
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
    // Replies that exist right now (finished ones linger until their deferred deletion).
    QList<QNetworkReply *> replies() const { return manager->findChildren<QNetworkReply *>(); }

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

// A loopback server, a client pointed at it (the base URL is read at construction) and the
// client's signals and replies.
struct ApiRig
{
    explicit ApiRig(TestServer::Scheme scheme = TestServer::Http, const QString &baseSuffix = {})
        : server(std::make_unique<TestServer>(scheme))
    {
        qputenv("DIVE_DIZUVIVIVID_API_URL", (server->baseUrl().toString() + baseSuffix).toUtf8());
        client = std::make_unique<ApiClient>();
        log = std::make_unique<SignalLog>(client.get());
        watch = std::make_unique<ReplyWatch>(client.get());
    }

    // Signs in through a real sign-in reply; the log and the reply count start afresh afterwards.
    bool signIn(const QByteArray &accessToken = "tok-1")
    {
        server->on("POST", "/api/v1/auth/login")
            .reply(200, R"({"access_token":")" + accessToken + R"(","refresh_token":"ref-1"})");
        const bool ok = finish([this] { client->Login(QStringLiteral("member"), QStringLiteral("pw")); }) &&
                        log->names() == QStringList{QStringLiteral("LoginSucceeded")};
        log->clear();
        watch->reset();
        return ok && client->IsLoggedIn();
    }
    // Runs one call that sends a request and waits for its reply, with the log cleared first.
    bool finish(const std::function<void()> &call)
    {
        log->clear();
        watch->reset();
        call();
        return watch->waitFor(1);
    }

    std::unique_ptr<TestServer> server;
    std::unique_ptr<ApiClient> client;
    std::unique_ptr<SignalLog> log;
    std::unique_ptr<ReplyWatch> watch;
};
