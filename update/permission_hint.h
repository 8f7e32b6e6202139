// Tells the operator that a matching HID interface exists but may not be opened.
#pragma once

/// When the HID layer recorded interfaces that match the configured ids but
/// could not be opened for lack of permission, prints one line naming their
/// nodes and how to grant access, and returns true; otherwise prints nothing.
/// startOnNewLine first ends a message that was left without a line feed.
bool printHidPermissionHint(bool startOnNewLine);
