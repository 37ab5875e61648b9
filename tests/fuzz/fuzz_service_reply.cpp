// libFuzzer target: arbitrary bytes as a reply of the local acceleration service, through the
// header decoder, the acceptance check and the window's reading of the state words, each checked
// against a plain reading of the bytes.
#include "decisions.h"
#include "servicechannel.h"

#include <cstdlib>

namespace {

quint64 le(const uint8_t *bytes, int width)
{
    quint64 value = 0;
    while (width-- > 0)
        value = value << 8 | bytes[width];
    return value;
}

void require(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<ControlReplyHeader> header = decodeReplyHeader(bytes);
    require(header.has_value() == (size >= 24));
    if (!header)
        return 0;
    require(header->magic == le(data, 4) && header->version == le(data + 4, 2) &&
            header->reserved == le(data + 6, 2) && header->requestId == le(data + 8, 8) &&
            header->status == le(data + 16, 4) && header->payloadLength == le(data + 20, 4));
    const bool wellFormed = le(data, 4) == 0x47414343 && le(data + 4, 2) == 1 && le(data + 20, 4) <= 65536;
    require(isAcceptableReplyHeader(*header, le(data + 8, 8)) == wellFormed);
    require(!isAcceptableReplyHeader(*header, le(data + 8, 8) ^ 1));
    const QString text = QString::fromUtf8(bytes.mid(24, qsizetype(header->payloadLength)));
    const bool accelerating = text.contains("\"accelerating\""), idle = text.contains("\"idle\"");
    require(serviceStateOf(text) == (accelerating ? ServiceState::Accelerating
                                     : idle       ? ServiceState::Idle
                                                  : ServiceState::Unknown));
    return 0;
}
