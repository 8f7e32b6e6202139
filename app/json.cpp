#include "app/json.h"

#include <cstdio>

namespace {

// Length of the well-formed UTF-8 sequence starting at text[i] (RFC 3629),
// or 0 when there is none: overlong forms, surrogates (U+D800..U+DFFF), code
// points above U+10FFFF and sequences cut short are not UTF-8.
size_t utf8Length(const std::string& text, size_t i) {
  const auto at = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = at(i);
  size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  // The second byte's range is narrower after these leads.
  uint8_t low = 0x80, high = 0xBF;
  if (lead == 0xE0) low = 0xA0;       // below: overlong
  if (lead == 0xED) high = 0x9F;      // above: surrogates
  if (lead == 0xF0) low = 0x90;       // below: overlong
  if (lead == 0xF4) high = 0x8F;      // above: beyond U+10FFFF
  if (at(i + 1) < low || at(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k)
    if ((at(i + k) & 0xC0) != 0x80) return 0;
  return length;
}

void appendEscape(std::string& out, unsigned code) {
  char text[8];
  std::snprintf(text, sizeof text, "\\u%04x", code);
  out += text;
}

}  // namespace

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<uint8_t>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      appendEscape(out, c);
    } else if (c >= 0x80) {
      const size_t length = utf8Length(text, i);
      if (length == 0) {
        appendEscape(out, c);  // a byte of another encoding (a GBK name, say)
      } else {
        out.append(text, i, length);
        i += length;
        continue;
      }
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

JsonLine& JsonLine::addRaw(const char* key, const std::string& encoded) {
  if (!body_.empty()) body_ += ',';
  body_ += jsonString(key) + ":" + encoded;
  return *this;
}

JsonLine& JsonLine::add(const char* key, const std::string& value) {
  return addRaw(key, jsonString(value));
}

JsonLine& JsonLine::add(const char* key, int64_t value) {
  return addRaw(key, std::to_string(value));
}

JsonLine& JsonLine::add(const char* key, bool value) {
  return addRaw(key, value ? "true" : "false");
}

namespace {

class FlatReader {
 public:
  explicit FlatReader(const std::string& text) : text_(text) {}

  bool object(std::map<std::string, std::string>* fields) {
    skipSpace();
    if (!take('{')) return false;
    skipSpace();
    if (take('}')) return atEnd();
    for (;;) {
      std::string key, value;
      skipSpace();
      if (!string(&key)) return false;
      skipSpace();
      if (!take(':')) return false;
      skipSpace();
      if (peek() == '"') {
        if (!string(&value)) return false;
      } else if (!scalar(&value)) {
        return false;
      }
      (*fields)[key] = value;
      skipSpace();
      if (take('}')) return atEnd();
      if (!take(',')) return false;
    }
  }

 private:
  char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
  bool take(char c) {
    if (peek() != c) return false;
    ++at_;
    return true;
  }
  void skipSpace() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t')) ++at_;
  }
  bool atEnd() {
    skipSpace();
    return at_ == text_.size();
  }
  bool scalar(std::string* out) {
    const size_t start = at_;
    while (at_ < text_.size() && text_[at_] != ',' && text_[at_] != '}' && text_[at_] != ' ') ++at_;
    *out = text_.substr(start, at_ - start);
    return !out->empty();
  }
  bool string(std::string* out) {
    if (!take('"')) return false;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return true;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (at_ >= text_.size()) return false;
      const char e = text_[at_++];
      switch (e) {
        case 'n':
          *out += '\n';
          break;
        case 'r':
          *out += '\r';
          break;
        case 't':
          *out += '\t';
          break;
        case 'u': {
          unsigned code = 0;
          for (int k = 0; k < 4; ++k) {
            const char h = peek();
            const int digit = h >= '0' && h <= '9'   ? h - '0'
                              : h >= 'a' && h <= 'f' ? h - 'a' + 10
                              : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                     : -1;
            if (digit < 0) return false;
            code = code * 16 + static_cast<unsigned>(digit);
            ++at_;
          }
          // Only what jsonString writes: control characters and single bytes.
          if (code > 0xFF) return false;
          *out += static_cast<char>(code);
          break;
        }
        default:
          *out += e;
          break;
      }
    }
    return false;
  }

  const std::string& text_;
  size_t at_ = 0;
};

}  // namespace

bool parseFlatJsonObject(const std::string& line, std::map<std::string, std::string>* fields) {
  fields->clear();
  return FlatReader(line).object(fields);
}
