#include <clocale>

#include "app/tavrin_main.h"

int main(int argc, char** argv) {
#ifdef _WIN32
  std::setlocale(LC_ALL, "chs");
#else
  // Linux has no "chs"; the environment names the locale.
  std::setlocale(LC_ALL, "");
#endif
  return tavrinMain(argc, argv);
}
