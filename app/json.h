// JSON Lines: one flat object per line, for scripts (--json) and for the
// results a parallel update reads back from each of its runs.
#pragma once

#include <cstdint>
#include <map>
#include <string>

/// Builds one object; keys keep the order they were added in.
class JsonLine {
 public:
  JsonLine& add(const char* key, const std::string& value);
  JsonLine& add(const char* key, const char* value) { return add(key, std::string(value)); }
  JsonLine& add(const char* key, int64_t value);
  JsonLine& add(const char* key, bool value);
  /// Adds an already encoded value (a number, true, false, null, or an object).
  JsonLine& addRaw(const char* key, const std::string& encoded);
  /// The object, without a line feed.
  std::string text() const { return body_.empty() ? "{}" : "{" + body_ + "}"; }

 private:
  std::string body_;
};

/// The string as a JSON string literal, quotes included, in valid UTF-8:
/// every byte that is not part of a well-formed UTF-8 sequence (RFC 3629: no
/// overlong forms, surrogates, code points above U+10FFFF or sequences cut
/// short) is written as \u00XX, like the control characters.
std::string jsonString(const std::string& text);

/// Reads a flat object (string, number, true, false and null values) into
/// key -> value: strings unescaped, the others as written. False when the
/// line is not such an object.
bool parseFlatJsonObject(const std::string& line, std::map<std::string, std::string>* fields);
