#include "app/console.h"
#include "app/tavrin_main.h"

int main(int argc, char** argv) {
  selectConsoleLocale();
  return tavrinMain(argc, argv);
}
