// The fresh-memory writer, the yardstick of a kept body: the work no client keeping a body can
// avoid. It asks the allocator for size bytes at once (a block that large is always new pages
// from the system, with the process's page policy), copies a warm 16 KiB piece into it piece by
// piece as a body arrives, and frees it.
#pragma once

#include <cstddef>

namespace FreshMemory {

constexpr std::size_t PieceSize = 16384;

[[nodiscard]] bool Write(std::size_t size);

} // namespace FreshMemory
