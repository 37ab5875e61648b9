#include "devbackend.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

#include <cmath>
#include <memory>

namespace {

using StatusCode = QHttpServerResponder::StatusCode;

const QString MsgBadJson = QStringLiteral("请求内容不是有效的 JSON");
const QString MsgNotObject = QStringLiteral("请求内容必须是 JSON 对象");
const QString MsgBadMember = QStringLiteral("参数 %1 缺失或类型错误");
const QString MsgEmptyKey = QStringLiteral("参数 client_public_key 不能为空");
const QString MsgProbeCount = QStringLiteral("参数 probes 必须恰好包含一个测速结果");
const QString MsgProbeNode = QStringLiteral("测速结果与所选加速节点不一致");
const QString MsgBadCredentials = QStringLiteral("账号或密码错误");
const QString MsgUnauthorized = QStringLiteral("登录已失效，请重新登录");
const QString MsgInactive = QStringLiteral("会员已过期或未开通，无法开始加速");
const QString MsgNoGame = QStringLiteral("游戏不存在");
const QString MsgNoRegion = QStringLiteral("该游戏没有这个区服");
const QString MsgNoNode = QStringLiteral("该区服没有这个加速节点");
const QString MsgNoSession = QStringLiteral("加速会话不存在或已结束");
const QString MsgNoRoute = QStringLiteral("接口不存在");
const QString MsgBadMethod = QStringLiteral("不支持该请求方法");
const QString MsgNoInstaller = QStringLiteral("安装程序不存在");
const QString MsgInstallerUnreadable = QStringLiteral("安装程序暂时无法读取");

QString methodName(QHttpServerRequest::Method method)
{
    using M = QHttpServerRequest::Method;
    switch (method) {
    case M::Get:
        return QStringLiteral("GET");
    case M::Put:
        return QStringLiteral("PUT");
    case M::Delete:
        return QStringLiteral("DELETE");
    case M::Post:
        return QStringLiteral("POST");
    case M::Head:
        return QStringLiteral("HEAD");
    case M::Options:
        return QStringLiteral("OPTIONS");
    case M::Patch:
        return QStringLiteral("PATCH");
    case M::Connect:
        return QStringLiteral("CONNECT");
    case M::Trace:
        return QStringLiteral("TRACE");
    default:
        return QStringLiteral("?");
    }
}

// Log lines are split on spaces by scripts: keep client-chosen text printable and unbroken.
QString loggable(const QString &text)
{
    QString out;
    out.reserve(qMin(text.size(), qsizetype(200)));
    for (const QChar c : text.left(200))
        out.append(c.unicode() > 0x20 && c.unicode() < 0x7f ? c : QLatin1Char('?'));
    return out.isEmpty() ? QStringLiteral("-") : out;
}

QString randomToken(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    for (char &c : raw)
        c = char(QRandomGenerator::system()->bounded(256));
    return QString::fromLatin1(raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString randomHex(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    for (char &c : raw)
        c = char(QRandomGenerator::system()->bounded(256));
    return QString::fromLatin1(raw.toHex());
}

bool isNonNegativeInteger(const QJsonValue &v)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    return std::trunc(d) == d && d >= 0 && d <= 2147483647.0;
}

// Matches path segments against a pattern in which "*" stands for one identifier.
bool matches(const QStringList &segments, std::initializer_list<const char *> pattern, QStringList *params)
{
    if (segments.size() != qsizetype(pattern.size()))
        return false;
    QStringList found;
    qsizetype i = 0;
    for (const char *part : pattern) {
        if (qstrcmp(part, "*") == 0)
            found.append(segments.at(i));
        else if (segments.at(i) != QLatin1String(part))
            return false;
        ++i;
    }
    *params = found;
    return true;
}

// Streams an installer to a socket in bounded chunks, so that a large file is never held whole.
class FileSender : public QObject
{
public:
    FileSender(std::unique_ptr<QFile> file, QTcpSocket *socket)
        : QObject(socket), file(std::move(file)), socket(socket), tls(qobject_cast<QSslSocket *>(socket)),
          remaining(this->file->size())
    {
        connect(socket, &QIODevice::bytesWritten, this, [this](qint64 written) {
            unflushed = qMax<qint64>(0, unflushed - written);
            pump();
        });
        // A TLS socket reports plain bytes when they are encrypted and encrypted bytes when they
        // leave; the room for the next chunk opens with the latter.
        if (tls)
            connect(tls, &QSslSocket::encryptedBytesWritten, this, [this] { pump(); });
        pump();
    }

private:
    void pump()
    {
        constexpr qint64 ChunkBytes = 256 * 1024;
        constexpr qint64 HighWaterBytes = 1024 * 1024;
        while (!finished && queued() < HighWaterBytes) {
            if (remaining == 0) {
                finished = true;
                socket->disconnectFromHost();
                deleteLater();
                return;
            }
            const QByteArray chunk = file->read(qMin(ChunkBytes, remaining));
            if (chunk.isEmpty()) {
                // The file shrank or failed under us: cut the reply short rather than pad it.
                finished = true;
                socket->abort();
                deleteLater();
                return;
            }
            remaining -= chunk.size();
            unflushed += chunk.size();
            socket->write(chunk);
        }
    }

    qint64 queued() const
    {
        return unflushed + socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
    }

    std::unique_ptr<QFile> file;
    QTcpSocket *socket;
    QSslSocket *tls;
    qint64 remaining;
    qint64 unflushed = 0; // written to the socket, not yet reported as written by it
    bool finished = false;
};

} // namespace

DevBackend::DevBackend(DemoData data, ReleaseInfo release, QObject *parent)
    : QAbstractHttpServer(parent), data(std::move(data)), releaseInfo(std::move(release))
{}

bool DevBackend::listenLoopback(quint16 requestedPort, const std::optional<QSslConfiguration> &tls,
                                QString *error)
{
    QTcpServer *server = nullptr;
    if (tls) {
        auto *sslServer = new QSslServer(this);
        sslServer->setSslConfiguration(*tls);
        server = sslServer;
        scheme = QStringLiteral("https");
    } else {
        server = new QTcpServer(this);
        scheme = QStringLiteral("http");
    }
    if (!server->listen(QHostAddress::LocalHost, requestedPort)) {
        *error = server->errorString();
        delete server;
        return false;
    }
    port = server->serverPort();
    bind(server);
    return true;
}

QUrl DevBackend::baseUrl() const
{
    QUrl url;
    url.setScheme(scheme);
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(port);
    return url;
}

QUrl DevBackend::downloadUrl() const
{
    QUrl url = baseUrl();
    url.setPath(QStringLiteral("/downloads/") + releaseInfo.fileName);
    return url;
}

bool DevBackend::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const Reply reply = route(request, socket);
    if (!reply.streamed) {
        QHttpServerResponder responder = makeResponder(request, socket);
        if (reply.status == 204) {
            responder.writeStatusLine(StatusCode::NoContent);
            responder.writeBody(QByteArray());
        } else {
            const QByteArray json = QJsonDocument(reply.body).toJson(QJsonDocument::Compact);
            const auto status = StatusCode(reply.status);
            if (reply.allow.isEmpty())
                responder.write(json, {{"Content-Type", "application/json"}}, status);
            else
                responder.write(json, {{"Content-Type", "application/json"}, {"Allow", reply.allow}}, status);
        }
    }
    writeLog(methodName(request.method()), loggable(request.url().path(QUrl::FullyEncoded)), reply.status,
             reply.note);
    return true;
}

void DevBackend::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    makeResponder(request, socket)
        .write(QJsonDocument(QJsonObject{{QStringLiteral("message"), MsgNoRoute}})
                   .toJson(QJsonDocument::Compact),
               {{"Content-Type", "application/json"}}, StatusCode::NotFound);
    writeLog(methodName(request.method()), loggable(request.url().path(QUrl::FullyEncoded)), 404, QString());
}

void DevBackend::writeLog(const QString &method, const QString &path, int status, const QString &note) const
{
    if (log)
        log(QStringLiteral("%1 %2 %3").arg(method, path).arg(status) +
            (note.isEmpty() ? QString() : QLatin1Char(' ') + note));
}

namespace {

struct Failure
{
    int status;
    QString message;
};

QJsonObject messageBody(const QString &message)
{
    return QJsonObject{{QStringLiteral("message"), message}};
}

std::optional<Failure> parseObject(const QByteArray &body, QJsonObject *out)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return Failure{400, MsgBadJson};
    if (!doc.isObject())
        return Failure{400, MsgNotObject};
    *out = doc.object();
    return std::nullopt;
}

std::optional<Failure> takeString(const QJsonObject &o, const char *key, QString *out)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isString())
        return Failure{400, MsgBadMember.arg(QLatin1String(key))};
    *out = v.toString();
    return std::nullopt;
}

} // namespace

DevBackend::Reply DevBackend::route(const QHttpServerRequest &request, QTcpSocket *socket)
{
    auto fail = [](int status, const QString &message) {
        Reply r;
        r.status = status;
        r.body = messageBody(message);
        return r;
    };
    auto wrongMethod = [&](const char *allowed) {
        Reply r = fail(405, MsgBadMethod);
        r.allow = allowed;
        return r;
    };

    // Split the encoded path first, so that an identifier holding an encoded "/" stays one segment.
    QStringList segments;
    for (const QString &part : request.url().path(QUrl::FullyEncoded).split(QLatin1Char('/')))
        segments.append(QUrl::fromPercentEncoding(part.toUtf8()));
    if (segments.isEmpty() || !segments.first().isEmpty())
        return fail(404, MsgNoRoute);
    segments.removeFirst();

    using M = QHttpServerRequest::Method;
    const M method = request.method();
    const QByteArray &body = request.body();
    QStringList p;

    enum class Route { Me, Games, Regions, Nodes, Sessions, Session };
    Route protectedRoute = Route::Me;
    if (matches(segments, {"api", "v1", "auth", "login"}, &p)) {
        if (method != M::Post)
            return wrongMethod("POST");
        return login(body);
    } else if (matches(segments, {"api", "v1", "client", "releases", "latest"}, &p)) {
        if (method != M::Get)
            return wrongMethod("GET");
        return release();
    } else if (matches(segments, {"downloads", "*"}, &p)) {
        if (method != M::Get)
            return wrongMethod("GET");
        return download(p.at(0), request, socket);
    } else if (matches(segments, {"api", "v1", "me"}, &p)) {
        protectedRoute = Route::Me;
    } else if (matches(segments, {"api", "v1", "games"}, &p)) {
        protectedRoute = Route::Games;
    } else if (matches(segments, {"api", "v1", "games", "*", "regions"}, &p)) {
        protectedRoute = Route::Regions;
    } else if (matches(segments, {"api", "v1", "games", "*", "regions", "*", "nodes"}, &p)) {
        protectedRoute = Route::Nodes;
    } else if (matches(segments, {"api", "v1", "acceleration", "sessions"}, &p)) {
        protectedRoute = Route::Sessions;
    } else if (matches(segments, {"api", "v1", "acceleration", "sessions", "*"}, &p)) {
        protectedRoute = Route::Session;
    } else {
        return fail(404, MsgNoRoute);
    }

    if (protectedRoute == Route::Sessions && method != M::Post)
        return wrongMethod("POST");
    if (protectedRoute == Route::Session && method != M::Delete)
        return wrongMethod("DELETE");
    if (protectedRoute != Route::Sessions && protectedRoute != Route::Session && method != M::Get)
        return wrongMethod("GET");
    const std::optional<QString> account = authenticate(request);
    if (!account)
        return fail(401, MsgUnauthorized);

    switch (protectedRoute) {
    case Route::Me:
        return profile(*account);
    case Route::Games:
        return games();
    case Route::Regions:
        return regions(p.at(0));
    case Route::Nodes:
        return nodes(p.at(0), p.at(1));
    case Route::Sessions:
        return createSession(*account, body);
    case Route::Session:
        return deleteSession(*account, p.at(0));
    }
    return fail(404, MsgNoRoute);
}

std::optional<QString> DevBackend::authenticate(const QHttpServerRequest &request) const
{
    const auto headers = request.headers();
    for (const auto &header : headers) {
        if (header.first.compare("authorization", Qt::CaseInsensitive) != 0)
            continue;
        const QByteArray value = header.second.trimmed();
        if (value.size() <= 7 || value.left(7).compare("bearer ", Qt::CaseInsensitive) != 0)
            return std::nullopt;
        const auto it = accessTokens.constFind(QString::fromLatin1(value.mid(7).trimmed()));
        if (it == accessTokens.constEnd())
            return std::nullopt;
        return it.value();
    }
    return std::nullopt;
}

DevBackend::Reply DevBackend::login(const QByteArray &body)
{
    Reply reply;
    auto failWith = [&reply](const Failure &f) {
        reply.status = f.status;
        reply.body = messageBody(f.message);
        return reply;
    };

    QJsonObject o;
    QString account, password, deviceId;
    if (auto f = parseObject(body, &o))
        return failWith(*f);
    if (auto f = takeString(o, "account", &account))
        return failWith(*f);
    if (auto f = takeString(o, "password", &password))
        return failWith(*f);
    if (auto f = takeString(o, "device_id", &deviceId))
        return failWith(*f);

    const DemoAccount *known = data.findAccount(account);
    if (!known || known->password != password)
        return failWith({401, MsgBadCredentials});

    const QString accessToken = randomToken(32);
    accessTokens.insert(accessToken, known->account);
    reply.body = QJsonObject{{QStringLiteral("access_token"), accessToken},
                             {QStringLiteral("refresh_token"), randomToken(32)}};
    reply.note = QStringLiteral("account=") + loggable(known->account);
    return reply;
}

DevBackend::Reply DevBackend::profile(const QString &account) const
{
    const DemoAccount *a = data.findAccount(account);
    Reply reply;
    reply.body = QJsonObject{
        {QStringLiteral("account"), a->account},
        {QStringLiteral("membership"),
         QJsonObject{{QStringLiteral("active"), membershipActive(*a, QDateTime::currentDateTimeUtc())},
                     {QStringLiteral("kind"), a->kind},
                     {QStringLiteral("expires_at"), a->expiresAt.toString(Qt::ISODate)}}}};
    return reply;
}

DevBackend::Reply DevBackend::games() const
{
    QJsonArray items;
    for (const DemoGame &g : data.games) {
        items.append(QJsonObject{{QStringLiteral("id"), g.id},
                                 {QStringLiteral("name"), g.name},
                                 {QStringLiteral("slug"), g.slug}});
    }
    Reply reply;
    reply.body = QJsonObject{{QStringLiteral("items"), items}};
    return reply;
}

DevBackend::Reply DevBackend::regions(const QString &gameId) const
{
    Reply reply;
    const DemoGame *game = data.findGame(gameId);
    if (!game) {
        reply.status = 404;
        reply.body = messageBody(MsgNoGame);
        return reply;
    }
    QJsonArray items;
    for (const DemoRegion &r : game->regions)
        items.append(QJsonObject{{QStringLiteral("id"), r.id}, {QStringLiteral("name"), r.name}});
    reply.body = QJsonObject{{QStringLiteral("items"), items}};
    return reply;
}

DevBackend::Reply DevBackend::nodes(const QString &gameId, const QString &regionId) const
{
    Reply reply;
    const DemoGame *game = data.findGame(gameId);
    const DemoRegion *region = game ? DemoData::findRegion(*game, regionId) : nullptr;
    if (!region) {
        reply.status = 404;
        reply.body = messageBody(game ? MsgNoRegion : MsgNoGame);
        return reply;
    }
    QJsonArray items;
    for (const QString &nodeId : region->nodeIds) {
        const DemoNode *n = data.findNode(nodeId);
        items.append(QJsonObject{{QStringLiteral("id"), n->id},
                                 {QStringLiteral("name"), n->name},
                                 {QStringLiteral("location"), n->location},
                                 {QStringLiteral("score"), n->score}});
    }
    reply.body = QJsonObject{{QStringLiteral("items"), items}};
    return reply;
}

DevBackend::Reply DevBackend::createSession(const QString &account, const QByteArray &body)
{
    Reply reply;
    auto failWith = [&reply](const Failure &f) {
        reply.status = f.status;
        reply.body = messageBody(f.message);
        return reply;
    };

    QJsonObject o;
    QString gameId, regionId, nodeId, clientKey;
    if (auto f = parseObject(body, &o))
        return failWith(*f);
    if (auto f = takeString(o, "game_id", &gameId))
        return failWith(*f);
    if (auto f = takeString(o, "region_id", &regionId))
        return failWith(*f);
    if (auto f = takeString(o, "preferred_node_id", &nodeId))
        return failWith(*f);
    if (auto f = takeString(o, "client_public_key", &clientKey))
        return failWith(*f);
    if (clientKey.trimmed().isEmpty())
        return failWith({400, MsgEmptyKey});

    const QJsonValue probes = o.value(QLatin1String("probes"));
    if (!probes.isArray())
        return failWith({400, MsgBadMember.arg(QLatin1String("probes"))});
    if (probes.toArray().size() != 1)
        return failWith({400, MsgProbeCount});
    if (!probes.toArray().at(0).isObject())
        return failWith({400, MsgBadMember.arg(QLatin1String("probes[0]"))});
    const QJsonObject probe = probes.toArray().at(0).toObject();
    QString probeNode;
    if (auto f = takeString(probe, "node_id", &probeNode))
        return failWith({400, MsgBadMember.arg(QLatin1String("probes[0].node_id"))});
    if (!isNonNegativeInteger(probe.value(QLatin1String("rtt_ms"))))
        return failWith({400, MsgBadMember.arg(QLatin1String("probes[0].rtt_ms"))});
    if (probe.contains(QLatin1String("jitter_ms")) &&
        !isNonNegativeInteger(probe.value(QLatin1String("jitter_ms"))))
        return failWith({400, MsgBadMember.arg(QLatin1String("probes[0].jitter_ms"))});
    if (probe.contains(QLatin1String("loss_rate"))) {
        const QJsonValue loss = probe.value(QLatin1String("loss_rate"));
        if (!loss.isDouble() || loss.toDouble() < 0 || loss.toDouble() > 1)
            return failWith({400, MsgBadMember.arg(QLatin1String("probes[0].loss_rate"))});
    }

    const DemoGame *game = data.findGame(gameId);
    if (!game)
        return failWith({422, MsgNoGame});
    const DemoRegion *region = DemoData::findRegion(*game, regionId);
    if (!region)
        return failWith({422, MsgNoRegion});
    if (!region->nodeIds.contains(nodeId))
        return failWith({422, MsgNoNode});
    if (probeNode != nodeId)
        return failWith({422, MsgProbeNode});

    if (!membershipActive(*data.findAccount(account), QDateTime::currentDateTimeUtc()))
        return failWith({403, MsgInactive});

    const DemoNode *node = data.findNode(nodeId);
    const QString sessionId = randomHex(16);
    sessions.insert(sessionId, Session{account, gameId, regionId, nodeId});

    // Tunnel addresses 10.77.x.2 to 10.77.x.254, one per granted session.
    const quint32 host = nextClientHost++;
    const QString clientAddress =
        QStringLiteral("10.77.%1.%2/32").arg((host / 253) % 256).arg(2 + host % 253);

    QJsonArray processes;
    for (const QString &exe : game->gameProcesses)
        processes.append(exe);

    reply.status = 201;
    reply.body = QJsonObject{
        {QStringLiteral("session_id"), sessionId},
        {QStringLiteral("game_id"), gameId},
        {QStringLiteral("region_id"), regionId},
        {QStringLiteral("node_id"), nodeId},
        {QStringLiteral("game_processes"), processes},
        {QStringLiteral("rules_environment"),
         processes.isEmpty() ? QStringLiteral("global-fallback") : QStringLiteral("process-rules")},
        {QStringLiteral("egress_ip"), node->egressIp},
        {QStringLiteral("endpoint"), node->endpoint},
        {QStringLiteral("server_public_key"), node->publicKey},
        {QStringLiteral("client_address"), clientAddress},
    };
    reply.note = QStringLiteral("session=") + sessionId;
    return reply;
}

DevBackend::Reply DevBackend::deleteSession(const QString &account, const QString &sessionId)
{
    Reply reply;
    const auto it = sessions.constFind(sessionId);
    // Another member's session is answered like an unknown one: its existence is not theirs to learn.
    if (it == sessions.constEnd() || it->account != account) {
        reply.status = 404;
        reply.body = messageBody(MsgNoSession);
        reply.note = QStringLiteral("session=") + loggable(sessionId);
        return reply;
    }
    sessions.erase(it);
    reply.status = 204;
    reply.note = QStringLiteral("session=") + sessionId;
    return reply;
}

DevBackend::Reply DevBackend::release() const
{
    // Every channel and platform gets the one configured release.
    Reply reply;
    reply.body = QJsonObject{
        {QStringLiteral("version"), releaseInfo.version},
        {QStringLiteral("size_bytes"), releaseInfo.sizeBytes},
        {QStringLiteral("sha256"), releaseInfo.sha256},
        {QStringLiteral("mandatory"), releaseInfo.mandatory},
        {QStringLiteral("release_notes"), releaseInfo.notes},
        {QStringLiteral("download_url"), downloadUrl().toString(QUrl::FullyEncoded)},
    };
    return reply;
}

DevBackend::Reply DevBackend::download(const QString &name, const QHttpServerRequest &request,
                                       QTcpSocket *socket)
{
    Reply reply;
    if (name != releaseInfo.fileName) {
        reply.status = 404;
        reply.body = messageBody(MsgNoInstaller);
        return reply;
    }
    const QByteArray disposition = "attachment; filename=\"" + QUrl::toPercentEncoding(name) + '"';
    QHttpServerResponder responder = makeResponder(request, socket);
    if (releaseInfo.filePath.isEmpty()) {
        responder.write(releaseInfo.content,
                        {{"Content-Type", "application/octet-stream"}, {"Content-Disposition", disposition}},
                        StatusCode::Ok);
        reply.streamed = true;
        return reply;
    }

    auto file = std::make_unique<QFile>(releaseInfo.filePath);
    if (!file->open(QIODevice::ReadOnly)) {
        reply.status = 500;
        reply.body = messageBody(MsgInstallerUnreadable);
        return reply;
    }
    // The connection carries only this reply, so the stream can simply end with the close.
    responder.writeStatusLine(StatusCode::Ok);
    responder.writeHeader("Content-Type", "application/octet-stream");
    responder.writeHeader("Content-Length", QByteArray::number(file->size()));
    responder.writeHeader("Content-Disposition", disposition);
    responder.writeHeader("Connection", "close");
    responder.writeBody(QByteArray());
    new FileSender(std::move(file), socket);
    reply.streamed = true;
    return reply;
}
