// Text that a device or a file supplies (a product name, a serial, a port, a
// model, a version), made safe for the terminal and the log: one rule for
// every place that prints it, so such text can neither forge lines nor send
// the terminal escape sequences.
#pragma once

#include <string>
#include <string_view>

/// Printable form of a text field: 0x20..0x7E as they are except backslash,
/// which becomes two backslashes; every other byte as \xHH (lower case).
std::string printableText(std::string_view text);
