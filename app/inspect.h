// `--inspect FILE`: loads a firmware file as an update would and prints what
// the update would use, without touching any device.
#pragma once

#include <string>
#include <vector>

#include "image/signature.h"
#include "update/update_session.h"

class RunReport;

/// Loads `path` with the normal loader (no container trace) and prints
/// "key: value" lines to standard output (format, length, image-crc,
/// check-word, protocol-mask, protocol-selection, model, version, sha256 of
/// the file as given, signature: none, valid, invalid, untrusted-key or
/// malformed against trustedKeys, and the key-id and trusted-comment of a
/// signature that could be read). With `imageOutPath` the image bytes are
/// also written to that file. Returns the exit status: 0, or 1 for an invalid
/// file (loader messages and the usual error line on standard error, nothing
/// on standard output), a failed image write, a report that standard output
/// did not take, an image an update would refuse (empty: the report is
/// printed, the refusal goes to standard error), or, when any key is trusted,
/// a signature an update would refuse (after the report, with the update's
/// message). A name whose extension is hex or qfw in another case is noted
/// on standard error; with verbose, a file that cannot be read says why.
int runInspect(const std::string& path, const char* imageOutPath, RunReport& report,
               TextEncoding encoding, bool verbose = false,
               const std::vector<PublicKey>& trustedKeys = {});
