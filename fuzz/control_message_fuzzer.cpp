// libFuzzer target for the phone protocol's control-message parser: whatever a phone sends, the
// parser must not crash, and anything it accepts must survive a round trip unchanged.

#include "platform/peer/ControlMessage.h"

#include <cstdint>
#include <cstdlib>

using glasswing::peer::ControlMessage;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray frame(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    const std::optional<ControlMessage> message = ControlMessage::parse(frame, &error);
    if (!message) {
        if (error.isEmpty())
            std::abort(); // a refusal must say why
        return 0;
    }
    const std::optional<ControlMessage> again = ControlMessage::parse(message->serialize());
    if (!again || again->type != message->type || again->name != message->name || again->context != message->context)
        std::abort();
    return 0;
}
