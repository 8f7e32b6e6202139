#include "update/permission_hint.h"

#include "update/session_listener.h"

bool printHidPermissionHint(SessionListener& listener, const std::vector<std::string>& nodes,
                            const char* advice, bool startOnNewLine) {
  if (nodes.empty()) return false;
  std::string text = startOnNewLine ? "\nPermission denied opening " : "Permission denied opening ";
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (i > 0) text += ", ";
    text += nodes[i];
  }
  text += ": ";
  text += advice;
  text += "\n";
  listener.message(text.c_str());
  return true;
}
