// Stream operations shared by every system's side of the seam.
#include "platform/stdio_streams.h"

std::size_t StdioReadStream(std::FILE* stream, void* buffer, std::size_t size) {
  return std::fread(buffer, 1, size, stream);
}

std::size_t StdioWriteStream(std::FILE* stream, const void* buffer, std::size_t size) {
  return std::fwrite(buffer, 1, size, stream);
}

bool StdioCloseStream(std::FILE* stream) {
  return std::fclose(stream) == 0;
}
