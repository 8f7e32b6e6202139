// The keys a firmware file must be signed with: those named with
// --trust-key, and every key in the system's folder of trusted keys, which an
// administrator installs (or the folder TAVRIN_TRUSTED_KEYS_DIR names). With
// none, signatures are not asked for.
#pragma once

#include <string>
#include <vector>

#include "image/signature.h"

/// The environment variable that names another folder in place of the system's.
constexpr const char* kTrustedKeysVariable = "TAVRIN_TRUSTED_KEYS_DIR";

/// The system's folder of trusted keys: /etc/tavrin/trusted-keys on Linux,
/// trusted-keys beside tavrin.exe on Windows.
std::string systemTrustedKeysDirectory();

/// The folder in use: the variable's value when it is set (an empty value
/// names none), the system's otherwise.
std::string trustedKeysDirectory();

/// Reads the key files of paths and every "*.pub" file of directory (none
/// when it does not exist) into *keys. False, having said which, when a file
/// is no minisign public key or the folder cannot be read: a key that was
/// meant to be trusted is never silently left out.
bool loadTrustedKeys(const std::vector<std::string>& paths, const std::string& directory,
                     std::vector<PublicKey>* keys);
