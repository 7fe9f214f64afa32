// The JSON value layer: one object per frame, typed getters, UTF-16 strings inside.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::computer_use {

using Json = nlohmann::json;

// A key holds a value of another JSON type than the one asked for. Not a coded failure: the
// dispatcher answers it with the generic failure.
class JsonTypeError : public std::runtime_error {
 public:
  explicit JsonTypeError(const std::string& key) : std::runtime_error("json_type_error: " + key) {}
};

// Arrays and objects nest at most this deep in a frame, the frame's own object counting as
// one: far above anything the protocol uses, and low enough that no copy, walk or
// serialisation of a parsed value can exhaust a thread's stack.
inline constexpr std::size_t kMaxJsonDepth = 128;

// Strict: exactly one JSON object in valid UTF-8 (no byte-order mark), nested at most
// kMaxJsonDepth deep. Throws std::invalid_argument otherwise.
Json ParseJsonObject(std::string_view utf8Text);
// The deepest nesting of arrays and objects in JSON text, counting brackets outside strings.
std::size_t JsonNestingDepth(std::string_view text);

// Compact text; invalid UTF-8 inside strings is replaced by U+FFFD.
std::string SerializeJson(const Json& object);

// Getters: a missing key (or a non-object) gives the default, a key of another type throws
// JsonTypeError. Every number comes back as a double.
double GetNumber(const Json& object, std::string_view key, double fallback);
std::u16string GetString(const Json& object, std::string_view key, std::u16string_view fallback);
bool GetBool(const Json& object, std::string_view key, bool fallback);
// True when the key is present; throws JsonTypeError when it is not an object.
bool HasObject(const Json& object, std::string_view key);
// The object under the key; throws JsonTypeError when it is missing or not an object.
const Json& RequireObject(const Json& object, std::string_view key);
// The object under the key, or an empty object when it is missing; JsonTypeError for another type.
const Json& ObjectOrEmpty(const Json& object, std::string_view key);
// The strings of the array under the key, none when it is missing; JsonTypeError when it is not
// an array of strings.
std::vector<std::u16string> GetStringArray(const Json& object, std::string_view key);

// Setters. Whole numbers in the 64-bit range are written without a fraction.
void SetNumber(Json& object, std::string_view key, double value);
void SetString(Json& object, std::string_view key, std::u16string_view value);
void SetString(Json& object, std::string_view key, std::string_view asciiOrUtf8);
void SetBool(Json& object, std::string_view key, bool value);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);
// Strict UTF-8 to UTF-16; throws std::invalid_argument on any invalid sequence.
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace velmora::computer_use
