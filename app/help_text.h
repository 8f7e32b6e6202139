// Help text and banner of the command line.
#pragma once

/// Writes the four help pieces (banner, usage, options, examples) to standard error.
void printHelpText();

/// Writes the banner (the first help piece) to standard error.
void printBanner();
