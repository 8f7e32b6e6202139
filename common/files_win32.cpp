#include <errno.h>
#include <sys/stat.h>
#include <wchar.h>

#include <cwctype>
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "common/files.h"
#include "common/utf16.h"

namespace {

std::wstring wide(const std::string& utf8) {
  const std::u16string text = utf16FromUtf8(utf8);
  return std::wstring(text.begin(), text.end());
}

}  // namespace

std::FILE* openFile(const std::string& path, const char* mode) {
  return _wfopen(wide(path).c_str(), wide(mode).c_str());
}

bool regularFileSize(const std::string& path, uint64_t* size) {
  struct _stat64 status;
  if (_wstat64(wide(path).c_str(), &status) != 0) return false;
  if ((status.st_mode & _S_IFMT) != _S_IFREG) {
    errno = (status.st_mode & _S_IFMT) == _S_IFDIR ? EISDIR : EINVAL;
    return false;
  }
  *size = static_cast<uint64_t>(status.st_size);
  return true;
}

bool sameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  // Built from wide strings, the paths never pass through the C runtime's locale.
  return std::filesystem::equivalent(std::filesystem::path(wide(a)), std::filesystem::path(wide(b)),
                                     error) &&
         !error;
}

bool samePlace(const std::string& a, const std::string& b) {
  if (sameFile(a, b)) return true;
  namespace fs = std::filesystem;
  // Names of files not created yet: the existing part resolved, the rest
  // cleaned, compared without case as the file systems do.
  auto place = [](const std::string& name) {
    std::error_code error;
    const fs::path absolute = fs::absolute(fs::path(wide(name)), error);
    if (error) return std::wstring();
    const fs::path at = fs::weakly_canonical(absolute, error);
    std::wstring text = error ? absolute.lexically_normal().wstring() : at.wstring();
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return text;
  };
  const std::wstring first = place(a);
  return !first.empty() && first == place(b);
}

bool isDirectory(const std::string& path) {
  struct _stat64 status;
  return _wstat64(wide(path).c_str(), &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFDIR;
}

bool listDirectory(const std::string& path, std::vector<std::string>* names) {
  std::error_code error;
  names->clear();
  // Stepped with an error code: the iterator's own ++ would throw.
  for (std::filesystem::directory_iterator entry(std::filesystem::path(wide(path)), error);
       !error && entry != std::filesystem::directory_iterator(); entry.increment(error))
    names->push_back(utf8FromUtf16(entry->path().filename().u16string()));
  std::sort(names->begin(), names->end());
  return !error;
}

// Reading the file is fast enough here; the caller falls back to it.
FileView::~FileView() {}

bool FileView::map(const std::string&, bool) {
  return false;
}
