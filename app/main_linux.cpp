#include "app/console.h"
#include "app/tavrin_main.h"

int main(int argc, char** argv) {
  // Before anything opens a file: a closed standard stream must not lend its
  // descriptor to a device node.
  prepareStandardStreams();
  selectConsoleLocale();
  return tavrinMain(argc, argv);
}
