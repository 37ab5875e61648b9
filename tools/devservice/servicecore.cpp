#include "servicecore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace devservice {

namespace {

constexpr qsizetype kKeySize = 32;

StartCheck startRefused(const char *error, const char *message)
{
    StartCheck check;
    check.error = error;
    check.message = QString::fromUtf8(message);
    return check;
}

// Standard base64 with padding, canonical (re-encodes to the same text), 32 bytes decoded.
bool isValidKeyText(const QString &text)
{
    const QByteArray ascii = text.toLatin1();
    if (ascii.size() != 44 || QString::fromLatin1(ascii) != text)
        return false;
    const auto decoded = QByteArray::fromBase64Encoding(ascii, QByteArray::AbortOnBase64DecodingErrors);
    // Re-encoding rejects missing padding, stray characters and non-zero trailing bits alike.
    return decoded && decoded.decoded.size() == kKeySize && decoded.decoded.toBase64() == ascii;
}

} // namespace

StartCheck checkStartPayload(QByteArrayView payload)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(payload.toByteArray(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return startRefused("invalid_json", "启动参数不是有效的 JSON 对象");
    const QJsonObject object = document.object();

    const QJsonValue sessionId = object.value(QLatin1String("session_id"));
    if (!sessionId.isString() || sessionId.toString().isEmpty())
        return startRefused("missing_session_id", "启动参数缺少会话编号");

    const QJsonValue privateKey = object.value(QLatin1String("private_key"));
    if (!privateKey.isString() || !isValidKeyText(privateKey.toString()))
        return startRefused("invalid_private_key", "隧道私钥无效");

    const QJsonValue routeMode = object.value(QLatin1String("route_mode"));
    if (!routeMode.isUndefined() && !routeMode.isString())
        return startRefused("invalid_route_mode", "路由模式无效");

    const QJsonValue processes = object.value(QLatin1String("game_processes"));
    if (!processes.isUndefined() && !processes.isArray())
        return startRefused("invalid_game_processes", "游戏进程列表无效");

    StartCheck check;
    check.ok = true;
    check.config.sessionId = sessionId.toString();
    check.config.routeMode = routeMode.toString();
    check.config.gameProcessCount = int(processes.toArray().size());
    check.config.egressIp = object.value(QLatin1String("egress_ip")).toString();
    check.config.rulesEnvironment = object.value(QLatin1String("rules_environment")).toString();
    return check;
}

QByteArray ServiceCore::stateText() const
{
    QJsonObject object;
    if (!accelerating_) {
        object.insert(QLatin1String("state"), QLatin1String("idle"));
    } else {
        object.insert(QLatin1String("state"), QLatin1String("accelerating"));
        object.insert(QLatin1String("session_id"), tunnel_.sessionId);
        if (!tunnel_.routeMode.isEmpty())
            object.insert(QLatin1String("route_mode"), tunnel_.routeMode);
        if (!tunnel_.rulesEnvironment.isEmpty())
            object.insert(QLatin1String("rules_environment"), tunnel_.rulesEnvironment);
        object.insert(QLatin1String("game_process_count"), tunnel_.gameProcessCount);
        if (!tunnel_.egressIp.isEmpty())
            object.insert(QLatin1String("egress_ip"), tunnel_.egressIp);
        // Nothing is routed: say so to whoever reads the reply.
        object.insert(QLatin1String("tunnel"), QLatin1String("simulated"));
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

Outcome ServiceCore::refused(quint32 status, const char *error, const QString &message) const
{
    QJsonObject object;
    object.insert(QLatin1String("error"), QLatin1String(error));
    object.insert(QLatin1String("message"), message);
    object.insert(QLatin1String("state"),
                  accelerating_ ? QLatin1String("accelerating") : QLatin1String("idle"));
    Outcome outcome;
    outcome.status = status;
    outcome.text = QJsonDocument(object).toJson(QJsonDocument::Compact);
    outcome.error = error;
    outcome.closeAfter = true;
    return outcome;
}

Outcome ServiceCore::frameRefused(FrameError error) const
{
    switch (error) {
    case FrameError::BadMagic:
        return refused(StatusBadMagic, frameErrorCode(error), QStringLiteral("请求帧格式不正确"));
    case FrameError::BadVersion:
        return refused(StatusBadVersion, frameErrorCode(error), QStringLiteral("不支持的协议版本"));
    case FrameError::UnknownCommand:
        return refused(StatusUnknownCommand, frameErrorCode(error), QStringLiteral("未知的服务命令"));
    case FrameError::PayloadTooLarge:
        return refused(StatusPayloadTooLarge, frameErrorCode(error), QStringLiteral("请求数据过大"));
    case FrameError::None:
        break;
    }
    return refused(StatusBadMagic, "bad_frame", QStringLiteral("请求帧格式不正确"));
}

Outcome ServiceCore::frameIncomplete() const
{
    return refused(StatusIncompleteFrame, "incomplete_frame", QStringLiteral("请求帧不完整"));
}

Outcome ServiceCore::handleRequest(quint16 command, QByteArrayView payload)
{
    switch (command) {
    case quint16(Command::Status):
    case quint16(Command::Stop): {
        if (!payload.isEmpty())
            return refused(StatusUnexpectedPayload, "unexpected_payload",
                           QStringLiteral("该命令不带请求数据"));
        if (command == quint16(Command::Stop)) {
            accelerating_ = false;
            tunnel_ = TunnelConfig();
        }
        Outcome outcome;
        outcome.text = stateText();
        return outcome;
    }
    case quint16(Command::Start): {
        StartCheck check = checkStartPayload(payload);
        if (!check.ok)
            return refused(StatusInvalidStartPayload, check.error, check.message);
        Outcome outcome;
        if (accelerating_)
            outcome.replacedSession = tunnel_.sessionId;
        accelerating_ = true;
        tunnel_ = std::move(check.config);
        outcome.text = stateText();
        return outcome;
    }
    default:
        return frameRefused(FrameError::UnknownCommand);
    }
}

} // namespace devservice
