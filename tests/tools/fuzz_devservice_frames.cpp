// libFuzzer target: arbitrary bytes as a request frame, through the parser and, when a
// frame is complete, through the request handling of an idle and of a running service.

#include "frames.h"
#include "servicecore.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace devservice;

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_devservice_frames: broken: %s\n", what);
        std::abort();
    }
}

const QByteArray kRunning = "{\"session_id\":\"running\",\"private_key\":"
                            "\"+Gtldt7zQib3N6hyjDDJqyVnkuaEFztTLfMxGhK/RXQ=\"}";

// The private key of a payload, when it has a string one that no other member repeats
// (a member that the reply may echo could hold the same text).
QString soleKeyText(QByteArrayView payload)
{
    const QJsonObject object = QJsonDocument::fromJson(payload.toByteArray()).object();
    const QString key = object.value(QLatin1String("private_key")).toString();
    if (key.size() < 8)
        return {};
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key() != QLatin1String("private_key") &&
            (it.key().contains(key) || it.value().toString().contains(key)))
            return {};
    }
    return key;
}

void checkReply(const Outcome &outcome, quint64 requestId, const QString &privateKey = {})
{
    const QJsonDocument text = QJsonDocument::fromJson(outcome.text);
    require(text.isObject(), "reply text is a JSON object");
    require(!text.object().contains(QLatin1String("private_key")), "reply has no private key member");
    require(privateKey.isEmpty() || !QString::fromUtf8(outcome.text).contains(privateKey),
            "reply never carries the private key");
    require((outcome.status == StatusOk) == (*outcome.error == '\0'), "error code exactly on refusal");
    const QByteArray reply = encodeReplyFrame(requestId, outcome.status, outcome.text);
    const auto header = decodeReplyHeader(reply);
    require(header && header->magic == kMagic && header->version == kProtocolVersion && header->reserved == 0,
            "reply header constants");
    require(header->requestId == requestId && header->status == outcome.status, "reply header echoes");
    require(qsizetype(header->payloadLength) + kReplyHeaderSize == reply.size(), "reply length");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char *>(data), qsizetype(size));
    const FrameParse parse = parseRequestFrame(input);
    switch (parse.outcome) {
    case FrameParse::Outcome::NeedMore:
        require(parse.error == FrameError::None, "no error while waiting");
        require(parse.needed > input.size(), "waiting for more than is there");
        require(parse.needed <= kRequestHeaderSize + qsizetype(kMaxRequestPayload),
                "never waits past the limit");
        return 0;
    case FrameParse::Outcome::Invalid: {
        require(parse.error != FrameError::None, "a refusal names its reason");
        const ServiceCore core;
        checkReply(core.frameRefused(parse.error), parse.requestIdKnown ? parse.header.requestId : 0);
        return 0;
    }
    case FrameParse::Outcome::Complete:
        break;
    }

    require(parse.header.magic == kMagic && parse.header.version == kProtocolVersion,
            "complete frame header");
    require(parse.header.command >= 1 && parse.header.command <= 3, "complete frame command");
    require(parse.frameSize == kRequestHeaderSize + qsizetype(parse.header.payloadLength), "frame size");
    require(parse.frameSize <= input.size(), "frame inside the input");
    const QByteArrayView payload = requestPayload(input, parse);
    require(payload.size() == qsizetype(parse.header.payloadLength), "payload size");

    const QString privateKey = soleKeyText(payload);
    ServiceCore idle;
    const Outcome fromIdle = idle.handleRequest(parse.header.command, payload);
    checkReply(fromIdle, parse.header.requestId, privateKey);
    require(idle.accelerating() ==
                (parse.header.command == quint16(Command::Start) && fromIdle.status == StatusOk),
            "only a successful Start starts");

    ServiceCore running;
    require(running.handleRequest(quint16(Command::Start), kRunning).status == StatusOk, "seed start");
    const QByteArray before = running.stateText();
    const Outcome fromRunning = running.handleRequest(parse.header.command, payload);
    checkReply(fromRunning, parse.header.requestId, privateKey);
    if (fromRunning.status != StatusOk)
        require(running.stateText() == before, "a refused request changes nothing");
    return 0;
}
