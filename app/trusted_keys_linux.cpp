#include "app/trusted_keys.h"

std::string systemTrustedKeysDirectory() {
  return "/etc/tavrin/trusted-keys";
}
