#include "image/file_reader.h"

#include <cerrno>
#include <cstdio>
#include <new>

#include "common/files.h"

bool readWholeFile(const std::string& path, std::unique_ptr<uint8_t[]>& buffer, uint32_t& length,
                   int* error) {
  int ignored = 0;
  int& why = error != nullptr ? *error : ignored;
  // Asking the file system first keeps directories and devices out: a
  // directory opens for reading on some systems and then fails every read.
  uint64_t size = 0;
  if (!regularFileSize(path, &size)) {
    why = errno;
    return false;
  }
  if (size > 0xFFFFFFFFu) {
    why = EFBIG;
    return false;
  }
  std::FILE* file = openFile(path, "rb");
  if (file == nullptr) {
    why = errno;
    return false;
  }
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size]);
  why = data != nullptr ? 0 : ENOMEM;
  // A file that shrinks between the size query and the read is refused
  // rather than sent with a stale tail.
  if (why == 0 && size > 0 && std::fread(data.get(), 1, size, file) != size)
    why = std::ferror(file) && errno != 0 ? errno : EIO;
  std::fclose(file);
  if (why != 0) return false;
  buffer = std::move(data);
  length = static_cast<uint32_t>(size);
  return true;
}
