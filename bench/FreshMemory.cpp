#include "FreshMemory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace FreshMemory {

bool Write(std::size_t size)
{
    if (size == 0)
        return true;
    static char piece[PieceSize];
    std::memset(piece, 'x', sizeof piece);
    char* memory = static_cast<char*>(std::malloc(size));
    if (memory == nullptr)
        return false;
    for (std::size_t done = 0; done < size; done += PieceSize)
        std::memcpy(memory + done, piece, std::min(PieceSize, size - done));
    // Keeps the compiler from dropping the copies along with the block.
    asm volatile("" : : "r"(memory) : "memory");
    const bool ok = memory[size - 1] == 'x';
    std::free(memory);
    return ok;
}

} // namespace FreshMemory
