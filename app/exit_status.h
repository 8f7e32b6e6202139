// Process exit statuses.
#pragma once

enum ExitStatus : int {
  kExitSuccess = 0,     ///< the run mode did what it was asked
  kExitFailure = 1,     ///< an update, a version read or a file check failed
  kExitUsage = 2,       ///< the command line could not be used
  kExitBySignal = 128,  ///< plus the signal that stopped an update (130 Ctrl-C, 143 SIGTERM)
};
