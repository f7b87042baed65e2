// How many records one message carries. The session, the message cache and the prepared files cut a
// download at the same places, so that a kept or prepared message is the one a fresh read would make.
// Stateless; any thread.
#pragma once

#include <cstddef>

namespace publisher {

// Chunks per download message: as many whole 1229-byte records as fit a message that still encodes
// when its data does not compress at all.
size_t ChunksPerMessage();
// Module records per module-check message, likewise.
size_t ModulesPerMessage();

} // namespace publisher
