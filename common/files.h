// Files the operator names. A name is kept as the command line gave it: its
// bytes on Linux, UTF-8 on Windows (from the wide command line), and opened
// with the matching system call, so that any name the user can type opens
// whatever the console's code page or the help text's locale.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

/// Opens path with a C stdio mode ("rb", "wb"); null when it cannot.
std::FILE* openFile(const std::string& path, const char* mode);

/// Size of the regular file at path; false when path is no regular file or
/// cannot be examined (a directory, a FIFO, a device node, nothing).
bool regularFileSize(const std::string& path, uint64_t* size);

/// True when both names lead to the same existing file (links included).
bool sameFile(const std::string& a, const std::string& b);
