#include "publisher/prepared/message_layout.h"

#include "net/packet_codec.h"
#include "service/messages.h"

namespace publisher {

size_t ChunksPerMessage() {
    return messages::MaxChunksPerMessage(messages::kDownloadRspSize, MaxEncodableMessage());
}

size_t ModulesPerMessage() {
    return messages::MaxModulesPerMessage(messages::kModuleCheckRspSize, MaxEncodableMessage());
}

} // namespace publisher
