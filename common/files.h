// Files the operator names. A name is kept as the command line gave it: its
// bytes on Linux, UTF-8 on Windows (from the wide command line), and opened
// with the matching system call, so that any name the user can type opens
// whatever the console's code page or the help text's locale.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

/// Opens path with a C stdio mode ("rb", "wb"); null when it cannot.
std::FILE* openFile(const std::string& path, const char* mode);

/// Size of the regular file at path; false when path is no regular file or
/// cannot be examined (a directory, a FIFO, a device node, nothing), with
/// errno telling why: the system's error, EISDIR for a directory, EINVAL for
/// anything else that is not a regular file.
bool regularFileSize(const std::string& path, uint64_t* size);

/// True when both names lead to the same existing file (links included).
bool sameFile(const std::string& a, const std::string& b);

/// True when both names lead to one file, or would once it is created: the
/// same existing file, or the same place after following links (one whose
/// target does not exist yet too) and "." and "..". For names that must not
/// meet before either is opened (a log beside the firmware it flashes).
bool samePlace(const std::string& a, const std::string& b);
/// True when path names a directory (or a link to one).
bool isDirectory(const std::string& path);

/// The names of the entries of the directory at path (without "." and
/// ".."), sorted; false when it cannot be read.
bool listDirectory(const std::string& path, std::vector<std::string>* names);

/// A read-only view of a whole regular file, for as long as it lives: no
/// copy, no buffer to fill. A file that shrinks meanwhile may end the process,
/// so views serve short reads only (checking a file), never an update.
class FileView {
 public:
  FileView() = default;
  ~FileView();
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;

  /// Maps path; false, holding nothing, when it is no regular file, is empty,
  /// or cannot be mapped on this system (the caller then reads it instead).
  /// With populate its pages are mapped at once, else as each is first read
  /// (by whichever of several threads reading it comes first).
  bool map(const std::string& path, bool populate = true);
  const uint8_t* data() const { return data_; }
  uint64_t size() const { return size_; }

 private:
  const uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
};
