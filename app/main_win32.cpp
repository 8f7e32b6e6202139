// The Windows entry point takes the command line wide, as the system gives it,
// and hands it on as UTF-8: a file name outside the console's code page then
// reaches the file functions intact.
#include <string>
#include <vector>

#include "app/console.h"
#include "app/tavrin_main.h"
#include "common/utf16.h"

int wmain(int argc, wchar_t** argv) {
  prepareStandardStreams();
  std::vector<std::string> words;
  for (int i = 0; i < argc; ++i) {
    const std::wstring word(argv[i]);
    words.push_back(utf8FromUtf16(std::u16string(word.begin(), word.end())));
  }
  std::vector<const char*> pointers;
  for (const std::string& word : words) pointers.push_back(word.c_str());
  selectConsoleLocale();
  return tavrinMain(argc, pointers.data());
}
