#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "common/files.h"

namespace {

// Where path leads: the last name's links followed (also to a target that
// does not exist yet), then the existing part resolved and the rest cleaned.
std::filesystem::path placeOf(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path at = fs::absolute(path, error);
  if (error) return {};
  // As many hops as the kernel allows (MAXSYMLINKS): a loop ends too.
  for (int hop = 0; hop < 40 && fs::is_symlink(fs::symlink_status(at, error)); ++hop) {
    const fs::path target = fs::read_symlink(at, error);
    if (error) break;
    at = target.is_absolute() ? target : at.parent_path() / target;
  }
  fs::path place = fs::weakly_canonical(at, error);
  return error ? at.lexically_normal() : place;
}

}  // namespace

std::FILE* openFile(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

bool regularFileSize(const std::string& path, uint64_t* size) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return false;
  if (!S_ISREG(status.st_mode)) {
    errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  *size = static_cast<uint64_t>(status.st_size);
  return true;
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat first, second;
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool samePlace(const std::string& a, const std::string& b) {
  if (sameFile(a, b)) return true;
  const std::filesystem::path first = placeOf(a);
  return !first.empty() && first == placeOf(b);
}

bool isDirectory(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool listDirectory(const std::string& path, std::vector<std::string>* names) {
  DIR* directory = ::opendir(path.c_str());
  if (directory == nullptr) return false;
  names->clear();
  while (const dirent* entry = ::readdir(directory)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  ::closedir(directory);
  std::sort(names->begin(), names->end());
  return true;
}

FileView::~FileView() {
  if (data_ != nullptr) ::munmap(const_cast<uint8_t*>(data_), size_);
}

bool FileView::map(const std::string& path, bool populate) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status;
  void* mapped = MAP_FAILED;
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0)
    // Populated at once: one call instead of a page fault per page.
    mapped = ::mmap(nullptr, static_cast<size_t>(status.st_size), PROT_READ,
                    MAP_PRIVATE | (populate ? MAP_POPULATE : 0), fd, 0);
  ::close(fd);
  if (mapped == MAP_FAILED) return false;
  data_ = static_cast<const uint8_t*>(mapped);
  size_ = static_cast<uint64_t>(status.st_size);
  return true;
}
