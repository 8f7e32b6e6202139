#include <stdlib.h>
#include <wchar.h>

#include "app/trusted_keys.h"
#include "common/utf16.h"

std::string systemTrustedKeysDirectory() {
  // The program's own path, kept by the C runtime of a wmain program: the
  // folder sits beside tavrin.exe, where only whoever installed it can write.
  const wchar_t* program = _wpgmptr;
  if (program == nullptr || *program == 0) return "";
  std::u16string path(program, program + wcslen(program));
  const size_t slash = path.find_last_of(u"\\/");
  path = slash == std::u16string::npos ? u"." : path.substr(0, slash);
  return utf8FromUtf16(path) + "\\trusted-keys";
}
