// Everything the entry point does after selecting the locale.
#pragma once

/// Scans the command line, runs one mode and returns the exit status.
int tavrinMain(int argc, const char* const* argv);
