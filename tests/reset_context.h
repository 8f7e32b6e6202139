// Test helper: puts the program-wide state back to its start values.
#pragma once

#include "app/update_context.h"

inline void resetUpdateContext() {
  gContext.releaseImage();
  gContext = UpdateContext{};
  frameSequence = 1;
}
