#include "utils.h"

namespace orx {

bool is_valid_utf8(std::string_view bytes) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    if (static_cast<unsigned char>(bytes[pos]) < 0x80) {
      ++pos;
      continue;
    }
    if (next_code_point(bytes, pos) < 0) return false;
  }
  return true;
}

int32_t next_code_point(std::string_view text, size_t& pos) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  const unsigned char c = s[pos];
  if (c < 0x80) {
    ++pos;
    return c;
  }
  int len;
  int32_t cp;
  int32_t min;
  if ((c & 0xE0) == 0xC0) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    ++pos;
    return -1;
  }
  if (n - pos < static_cast<size_t>(len)) {
    ++pos;
    return -1;
  }
  for (int i = 1; i < len; ++i) {
    const unsigned char cc = s[pos + i];
    if ((cc & 0xC0) != 0x80) {
      ++pos;
      return -1;
    }
    cp = (cp << 6) | (cc & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return -1;
  }
  pos += len;
  return cp;
}

bool is_unicode_space(int32_t cp) {
  switch (cp) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

std::string_view trim_unicode_space(std::string_view text) {
  // Leading: decode forward.
  size_t pos = 0;
  while (pos < text.size()) {
    size_t next = pos;
    if (!is_unicode_space(next_code_point(text, next))) break;
    pos = next;
  }
  text.remove_prefix(pos);
  // Trailing: step back over continuation bytes to the start of the last code point.
  while (!text.empty()) {
    size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80 &&
           text.size() - start < 4) {
      --start;
    }
    size_t at = start;
    const int32_t cp = next_code_point(text, at);
    if (at != text.size() || !is_unicode_space(cp)) break;
    text.remove_suffix(text.size() - start);
  }
  return text;
}

}  // namespace orx
