// The stream operations every system with a C runtime serves alike: reading,
// writing and closing a FILE*. Opening, seeking and telling differ between
// systems and stay in their folders.
#pragma once

#include "platform/platform.h"

std::size_t StdioReadStream(std::FILE* stream, void* buffer, std::size_t size);
std::size_t StdioWriteStream(std::FILE* stream, const void* buffer, std::size_t size);
bool StdioCloseStream(std::FILE* stream);
