#include "image/file_reader.h"

#include <cstdio>
#include <new>

#include "common/files.h"

bool readWholeFile(const std::string& path, std::unique_ptr<uint8_t[]>& buffer, uint32_t& length) {
  // Asking the file system first keeps directories and devices out: a
  // directory opens for reading on some systems and then fails every read.
  uint64_t size = 0;
  if (!regularFileSize(path, &size) || size > 0xFFFFFFFFu) return false;
  std::FILE* file = openFile(path, "rb");
  if (file == nullptr) return false;
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size]);
  bool ok = data != nullptr;
  // A file that shrinks between the size query and the read is refused
  // rather than sent with a stale tail.
  if (ok && size > 0) ok = std::fread(data.get(), 1, size, file) == size;
  std::fclose(file);
  if (!ok) return false;
  buffer = std::move(data);
  length = static_cast<uint32_t>(size);
  return true;
}
