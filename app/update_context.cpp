#include "app/update_context.h"

UpdateContext gContext;
uint8_t frameSequence = 1;

void UpdateContext::releaseImage() {
  if (imageView)
    imageView.reset();
  else
    delete[] imageData;
  imageData = nullptr;
}
