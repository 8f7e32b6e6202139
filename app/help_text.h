// Help text and banner of the command line.
#pragma once

/// Writes the four help pieces (banner, usage, options, examples) to standard error.
void printHelpText();

/// Writes the banner (the first help piece) to standard error.
void printBanner();

/// --help: the help text, then a section in English on the long options and
/// the exit statuses, to standard output, ending with a line feed. False when
/// it could not be written.
bool printLongHelp();
