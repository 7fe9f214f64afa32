#include "protocol/json.h"

#include <algorithm>
#include <cmath>

namespace velmora::computer_use {
namespace {

const Json* Find(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  auto bad = [] { throw std::invalid_argument("invalid utf-8"); };
  while (i < n) {
    const unsigned char b0 = p[i];
    char32_t c = 0;
    std::size_t extra = 0;
    char32_t minimum = 0;
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
      c = b0 & 0x1F;
      extra = 1;
      minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      c = b0 & 0x0F;
      extra = 2;
      minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      c = b0 & 0x07;
      extra = 3;
      minimum = 0x10000;
    } else {
      bad();
    }
    if (n - i <= extra) bad();
    for (std::size_t k = 1; k <= extra; ++k) {
      const unsigned char b = p[i + k];
      if ((b & 0xC0) != 0x80) bad();
      c = (c << 6) | (b & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) bad();
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += extra + 1;
  }
  return out;
}

std::size_t JsonNestingDepth(std::string_view text) {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;  // the escaped character cannot end the string
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

Json ParseJsonObject(std::string_view utf8Text) {
  // Validate first: the parser alone would skip a byte-order mark.
  (void)Utf8ToUtf16(utf8Text);
  if (utf8Text.size() >= 3 && static_cast<unsigned char>(utf8Text[0]) == 0xEF) {
    throw std::invalid_argument("byte-order mark");
  }
  // A raw NUL is never valid JSON text, but the parser would take it for the end of input.
  if (utf8Text.find('\0') != std::string_view::npos) throw std::invalid_argument("nul byte");
  // Before the parser builds anything: a value nested deeper than this is refused whole.
  if (JsonNestingDepth(utf8Text) > kMaxJsonDepth) throw std::invalid_argument("nested too deep");
  Json value = Json::parse(utf8Text.begin(), utf8Text.end(), nullptr, /*allow_exceptions=*/false);
  if (!value.is_object()) throw std::invalid_argument("not one json object");
  return value;
}

std::string SerializeJson(const Json& object) {
  return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

double GetNumber(const Json& object, std::string_view key, double fallback) {
  const Json* v = Find(object, key);
  if (v == nullptr) return fallback;
  if (!v->is_number()) throw JsonTypeError(std::string(key));
  return v->get<double>();
}

std::u16string GetString(const Json& object, std::string_view key, std::u16string_view fallback) {
  const Json* v = Find(object, key);
  if (v == nullptr) return std::u16string(fallback);
  if (!v->is_string()) throw JsonTypeError(std::string(key));
  return Utf8ToUtf16(v->get_ref<const std::string&>());
}

bool GetBool(const Json& object, std::string_view key, bool fallback) {
  const Json* v = Find(object, key);
  if (v == nullptr) return fallback;
  if (!v->is_boolean()) throw JsonTypeError(std::string(key));
  return v->get<bool>();
}

bool HasObject(const Json& object, std::string_view key) {
  const Json* v = Find(object, key);
  if (v == nullptr) return false;
  if (!v->is_object()) throw JsonTypeError(std::string(key));
  return true;
}

const Json& RequireObject(const Json& object, std::string_view key) {
  const Json* v = Find(object, key);
  if (v == nullptr || !v->is_object()) throw JsonTypeError(std::string(key));
  return *v;
}

const Json& ObjectOrEmpty(const Json& object, std::string_view key) {
  static const Json kEmpty = Json::object();
  return HasObject(object, key) ? *Find(object, key) : kEmpty;
}

std::vector<std::u16string> GetStringArray(const Json& object, std::string_view key) {
  std::vector<std::u16string> strings;
  const Json* v = Find(object, key);
  if (v == nullptr) return strings;
  if (!v->is_array()) throw JsonTypeError(std::string(key));
  for (const Json& element : *v) {
    if (!element.is_string()) throw JsonTypeError(std::string(key));
    strings.push_back(Utf8ToUtf16(element.get_ref<const std::string&>()));
  }
  return strings;
}

void SetNumber(Json& object, std::string_view key, double value) {
  // 2^63 is the first double past the int64 range.
  if (std::isfinite(value) && std::trunc(value) == value && value >= -9223372036854775808.0 &&
      value < 9223372036854775808.0) {
    object[std::string(key)] = static_cast<std::int64_t>(value);
  } else {
    object[std::string(key)] = value;
  }
}

void SetString(Json& object, std::string_view key, std::u16string_view value) {
  object[std::string(key)] = ToUtf8(value);
}

void SetString(Json& object, std::string_view key, std::string_view asciiOrUtf8) {
  object[std::string(key)] = std::string(asciiOrUtf8);
}

void SetBool(Json& object, std::string_view key, bool value) {
  object[std::string(key)] = value;
}

}  // namespace velmora::computer_use
