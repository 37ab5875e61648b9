// libFuzzer target: arbitrary bytes as a reply of the local acceleration service, through the
// header decoder, the acceptance check and the window's reading of the state words, each checked
// against a plain reading of the bytes.
#include "decisions.h"
#include "servicechannel.h"

#include <QtEndian>

#include <cstdlib>

#define REQUIRE(condition) ((condition) ? void() : std::abort())

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<ControlReplyHeader> header = decodeReplyHeader(bytes);
    REQUIRE(header.has_value() == (size >= 24));
    if (!header)
        return 0;
    const auto le32 = [&](int at) { return qFromLittleEndian<quint32>(data + at); };
    const quint64 id = qFromLittleEndian<quint64>(data + 8);
    REQUIRE(header->magic == le32(0) && header->version == (le32(4) & 0xFFFF) &&
            header->reserved == le32(4) >> 16 && header->requestId == id && header->status == le32(16) &&
            header->payloadLength == le32(20));
    REQUIRE(isAcceptableReplyHeader(*header, id) ==
            (le32(0) == 0x47414343 && (le32(4) & 0xFFFF) == 1 && le32(20) <= 65536));
    REQUIRE(!isAcceptableReplyHeader(*header, id ^ 1));
    const QString text = QString::fromUtf8(bytes.mid(24, qsizetype(header->payloadLength)));
    REQUIRE(serviceStateOf(text) == (text.contains("\"accelerating\"") ? ServiceState::Accelerating
                                     : text.contains("\"idle\"")       ? ServiceState::Idle
                                                                       : ServiceState::Unknown));
    return 0;
}
