// Tells the operator that a matching HID interface exists but may not be opened.
#pragma once

#include <string>
#include <vector>

class SessionListener;

/// When nodes (interfaces that match the ids but could not be opened for
/// lack of permission) is not empty, says in one line which they are and
/// how to grant access (advice), and returns true; otherwise says nothing.
/// startOnNewLine first ends a message that was left without a line feed.
bool printHidPermissionHint(SessionListener& listener, const std::vector<std::string>& nodes,
                            const char* advice, bool startOnNewLine);
