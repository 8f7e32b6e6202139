#include "app/trusted_keys.h"

#include <cstdlib>

#include "app/message.h"
#include "common/files.h"

std::string trustedKeysDirectory() {
  const char* named = std::getenv(kTrustedKeysVariable);
  return named != nullptr ? named : systemTrustedKeysDirectory();
}

bool loadTrustedKeys(const std::vector<std::string>& paths, const std::string& directory,
                     std::vector<PublicKey>* keys) {
  std::vector<std::string> files = paths;
  if (!directory.empty() && isDirectory(directory)) {
    std::vector<std::string> names;
    if (!listDirectory(directory, &names)) {
      message("Error: cannot read the folder of trusted keys %s\n", directory.c_str());
      return false;
    }
    for (const std::string& name : names)
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pub") == 0)
        files.push_back(directory + "/" + name);
  }
  for (const std::string& file : files) {
    PublicKey key;
    if (!readPublicKeyFile(file, &key)) {
      message("Error: %s is not a minisign public key\n", file.c_str());
      return false;
    }
    keys->push_back(key);
  }
  return true;
}
