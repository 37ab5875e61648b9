// libFuzzer target: arbitrary bytes as a reply from the local acceleration service, through the
// header decoder, the acceptance check, the payload's UTF-8 decoding and the window's reading of
// the state words. Each step is checked against a plain reading of the bytes.

#include "decisions.h"
#include "servicechannel.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_service_reply: broken: %s\n", what);
        std::abort();
    }
}

quint64 littleEndian(const uint8_t *bytes, int width)
{
    quint64 value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<ControlReplyHeader> header = decodeReplyHeader(bytes);
    require(header.has_value() == (size >= 24), "a header exactly when 24 bytes are in");
    if (!header)
        return 0;

    require(header->magic == littleEndian(data, 4), "magic");
    require(header->version == littleEndian(data + 4, 2), "version");
    require(header->reserved == littleEndian(data + 6, 2), "reserved");
    require(header->requestId == littleEndian(data + 8, 8), "request id");
    require(header->status == littleEndian(data + 16, 4), "status");
    require(header->payloadLength == littleEndian(data + 20, 4), "payload length");

    // Against its own id the header stands or falls by magic, version and length; any other id
    // refuses it.
    const bool wellFormed =
        header->magic == 0x47414343 && header->version == 1 && header->payloadLength <= 65536;
    require(isAcceptableReplyHeader(*header, header->requestId) == wellFormed, "acceptance");
    require(!isAcceptableReplyHeader(*header, header->requestId ^ 1), "a different id is refused");
    require(!isAcceptableReplyHeader(*header, ~header->requestId), "a distant id is refused");
    if (!wellFormed)
        return 0;

    // The payload as the client would take it: what follows the header, up to the announced length.
    const QByteArray payload = bytes.mid(24, qsizetype(header->payloadLength));
    const QString text = QString::fromUtf8(payload);
    require(text.size() <= payload.size(), "UTF-8 never yields more characters than bytes");
    require(payload.isEmpty() == text.isEmpty(), "only an empty payload gives an empty text");
    // Valid UTF-8 comes back unchanged; invalid sequences become replacement characters.
    const QByteArray back = text.toUtf8();
    require(back == payload || text.contains(QChar(QChar::ReplacementCharacter)), "UTF-8 round trip");

    const ServiceState state = serviceStateOf(text);
    const bool accelerating = text.contains(QLatin1String("\"accelerating\""));
    const bool idle = text.contains(QLatin1String("\"idle\""));
    require((state == ServiceState::Accelerating) == accelerating, "accelerating wins when present");
    require((state == ServiceState::Idle) == (!accelerating && idle), "idle only without accelerating");
    return 0;
}
