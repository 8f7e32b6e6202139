// Test helper: puts the program-wide state back to its start values.
#pragma once

#include "app/update_context.h"
#include "image/container.h"

inline void resetUpdateContext() {
  gContext.releaseImage();
  gContext = UpdateContext{};
  frameSequence = 1;
  // A --json run switches the container's trace word off for the rest of it.
  setContainerTraceEnabled(true);
}
