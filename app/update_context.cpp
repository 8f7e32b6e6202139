#include "app/update_context.h"

UpdateContext gContext;
uint8_t frameSequence = 1;

void UpdateContext::releaseImage() {
  delete[] imageData;
  imageData = nullptr;
}
