// The JSON value layer (strict parsing, typed getters, UTF-8/UTF-16) and the message envelopes.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "protocol/envelopes.h"
#include "protocol/frame_protocol.h"
#include "protocol/json.h"
#include "support/test_support.h"

namespace velmora::computer_use {
namespace {

using testing::FailureCode;
using namespace std::string_literals;
using namespace std::string_view_literals;

std::string Repeat(std::string_view unit, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += unit;
  return out;
}

// ---------------------------------------------------------------------------------------------
// ParseJsonObject: the frame reader's judge of every JSON frame.

TEST(ParseJsonObjectTest, RejectsAllButOneObjectOfStrictUtf8) {
  // The object and 128 arrays inside it: one level past the limit.
  const std::string deep = "{\"a\":" + std::string(128, '[') + std::string(128, ']') + "}";
  // Text that is not strict UTF-8 or starts with a byte-order mark; then all but one object.
  for (const auto& texts :
       {std::vector{""s, " \n"s, "\xFF"s, "{\"a\":\"\xFF\"}"s, "{\"a\":\"\xC0\x80\"}"s,
                    "{\"\xED\xA0\x80\":1}"s, "\xEF\xBB\xBF{}"s, "\xEF\xBB\xBF"s},
        std::vector{"[]"s, "\"x\""s, "0"s, "true"s, "null"s, "{}x"s, "{} {}"s, "{}\0"s, "{}\0xyz"s,
                    "{\"a\":"s, "{\"a\":1,}"s, "{'a':1}"s, "{} // c"s, deep}}) {
    for (const std::string& text : texts) {
      EXPECT_THROW(ParseJsonObject(text), std::invalid_argument) << ::testing::PrintToString(text);
    }
  }
}

TEST(ParseJsonObjectTest, AcceptsOneObject) {
  EXPECT_EQ(ParseJsonObject("{}"), Json::object());
  EXPECT_EQ(ParseJsonObject(" {\"a\":[1,{\"b\":null}]}\r\n"),
            (Json{{"a", {1, Json{{"b", nullptr}}}}}));
  EXPECT_EQ(ParseJsonObject("{\"k\":\"\xC3\xA9\xF0\x9F\x98\x80\"}"),
            (Json{{"k", "\xC3\xA9\xF0\x9F\x98\x80"}}));
  // At the nesting limit, and brackets inside strings do not nest.
  Json nested = Json::array();
  for (int level = 1; level < 127; ++level) nested = Json::array({nested});
  EXPECT_EQ(ParseJsonObject("{\"a\":" + std::string(127, '[') + std::string(127, ']') +
                            ",\"s\":\"\\\"" + std::string(200, '[') + "\"}"),
            (Json{{"a", nested}, {"s", "\"" + std::string(200, '[')}}));
}

// ---------------------------------------------------------------------------------------------
// Getters.

TEST(JsonGetterTest, MissingKeyOrNonObjectGivesDefault) {
  for (const Json& value : {Json{{"other", 1}}, Json::array({1}), Json("n"), Json(3), Json()}) {
    SCOPED_TRACE(value.dump());
    EXPECT_EQ(GetNumber(value, "n", 7.5), 7.5);
    EXPECT_EQ(GetString(value, "n", u"fallback"), u"fallback");
    EXPECT_TRUE(GetBool(value, "n", true));
    EXPECT_FALSE(GetBool(value, "n", false));
    EXPECT_FALSE(HasObject(value, "n"));
  }
}

TEST(JsonGetterTest, PresentValuesAreReturned) {
  const Json object = ParseJsonObject(
      R"({"i":42,"neg":-7,"big":9007199254740992,"f":1.25,"s":"\u00e9\ud83d\ude00","t":true,)"
      R"("o":{}})");
  EXPECT_EQ(GetNumber(object, "i", 0), 42.0);
  EXPECT_EQ(GetNumber(object, "neg", 0), -7.0);
  EXPECT_EQ(GetNumber(object, "big", 0), 9007199254740992.0);
  EXPECT_EQ(GetNumber(object, "f", 0), 1.25);
  EXPECT_EQ(GetString(object, "s", u""), u"\u00e9\U0001F600");
  EXPECT_TRUE(GetBool(object, "t", false));
  EXPECT_TRUE(HasObject(object, "o"));
}

TEST(JsonGetterTest, KeyOfAnotherTypeThrows) {
  const Json object = ParseJsonObject(
      R"({"numericString":"3","number":3,"bool":true,"null":null,"array":[],"object":{}})");
  // Each getter against every key but the one of its own type.
  const std::pair<const char*, std::function<void(const char*)>> getters[] = {
      {"number", [&](const char* key) { GetNumber(object, key, 0); }},
      {"numericString", [&](const char* key) { GetString(object, key, u""); }},
      {"bool", [&](const char* key) { GetBool(object, key, false); }},
      {"object", [&](const char* key) { HasObject(object, key); }}};
  for (const auto& [own, get] : getters) {
    for (const char* key : {"numericString", "number", "bool", "null", "array", "object"}) {
      if (std::string_view(key) == own) continue;
      EXPECT_THROW(get(key), JsonTypeError) << own << " " << key;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// UTF-16 and UTF-8.

// Valid text both ways: the edges of each sequence length and of the surrogate range.
TEST(Utf8Test, ValidTextConvertsBothWays) {
  const std::pair<std::string, std::u16string> rows[] = {
      {"", u""},
      {"\0"s, u"\0"s},
      {"\x7F", u"\u007F"},
      {"\xC2\x80", u"\u0080"},
      {"\xDF\xBF", u"\u07FF"},
      {"\xE0\xA0\x80", u"\u0800"},
      {"\xED\x9F\xBF", u"\uD7FF"},
      {"\xEE\x80\x80", u"\uE000"},
      {"\xEF\xBF\xBF", u"\uFFFF"},
      {"\xF0\x90\x80\x80", u"\U00010000"},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {"a\xC3\xA9\xF0\x9F\x98\x80z", u"a\u00e9\U0001F600z"}};
  for (const auto& [utf8, text] : rows) {
    EXPECT_EQ(Utf8ToUtf16(utf8), text) << ::testing::PrintToString(utf8);
    EXPECT_EQ(ToUtf8(text), utf8);
  }
}

// A surrogate without its partner becomes U+FFFD; the text around it stays.
TEST(Utf8Test, UnpairedSurrogatesBecomeReplacementCharacters) {
  const std::pair<std::u16string, std::string> rows[] = {
      {{0xD800}, "\xEF\xBF\xBD"},
      {{u'a', 0xDC00, u'b'},
       "a\xEF\xBF\xBD"
       "b"},
      {{u'a', 0xDBFF}, "a\xEF\xBF\xBD"},
      {{0xD83D, u'x'}, "\xEF\xBF\xBDx"},
      {{0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {{0xD83D, 0xD83D, 0xDE00}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"}};
  for (const auto& [text, utf8] : rows) EXPECT_EQ(ToUtf8(text), utf8);
}

TEST(Utf8Test, InvalidUtf8Throws) {
  // Overlong forms, encoded surrogates, above U+10FFFF, bytes that never occur, a continuation
  // byte alone, sequences cut short or broken by another byte.
  for (const std::string& bytes :
       {"\xC0\x80"s, "\xC1\xBF"s, "\xE0\x80\x80"s, "\xE0\x9F\xBF"s, "\xF0\x8F\xBF\xBF"s,
        "\xED\xA0\x80"s, "\xED\xBF\xBF"s, "\xED\xA0\xBD\xED\xB8\x80"s, "\xF4\x90\x80\x80"s,
        "\xF5\x80\x80\x80"s, "\xFF"s, "\xFE"s, "\x80"s, "\xC3"s, "\xE2\x82"s, "\xF0\x9F\x98"s,
        "\xC3\x41"s, "\xE2\xC3\xA9"s}) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    EXPECT_THROW(Utf8ToUtf16(bytes), std::invalid_argument);
    // The same bytes after valid text and before more valid text.
    EXPECT_THROW(Utf8ToUtf16("ok" + bytes + "ok"), std::invalid_argument);
    // A view cut short inside a larger buffer: the bytes past its end must not complete it.
    EXPECT_THROW(Utf8ToUtf16(std::string_view(bytes + "\x80\x80\x80").substr(0, bytes.size())),
                 std::invalid_argument);
  }
}

// ---------------------------------------------------------------------------------------------
// Handshake and request envelopes: one valid frame, changed one field at a time.

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
const std::string kNonce = kAlphabet.substr(0, 43);
const std::string kEmoji = "\xF0\x9F\x98\x80";  // U+1F600: two UTF-16 units

// Each listed field, removed or set to each bad value, and a frame that is not an object, fail
// `check` with `code`.
using BadValues = std::vector<std::pair<const char*, std::vector<Json>>>;
void ExpectFieldsChecked(const Json& valid, const std::function<void(const Json&)>& check,
                         const char* code, const BadValues& badValues) {
  EXPECT_EQ(FailureCode([&] { check(Json::array({valid})); }), code) << "array";
  for (const auto& [key, values] : badValues) {
    Json frame = valid;
    frame.erase(key);
    EXPECT_EQ(FailureCode([&] { check(frame); }), code) << key << " missing";
    for (const Json& value : values) {
      frame[key] = value;
      EXPECT_EQ(FailureCode([&] { check(frame); }), code) << key << ": " << value.dump();
    }
  }
}

TEST(HandshakeTest, ChecksEveryField) {
  const Json valid{
      {"type", "handshake"}, {"protocolVersion", 1}, {"nonce", kNonce}, {"parentPid", 4321}};
  // The version and the pid are truncated toward zero; the pid keeps its low 32 bits.
  const std::tuple<const char*, Json, std::uint32_t> accepted[] = {
      {"type", "handshake", 4321},
      {"protocolVersion", 1.9, 4321},
      {"protocolVersion", 1.0, 4321},
      {"nonce", Repeat("-_", 21) + "-", 4321},
      {"nonce", kAlphabet.substr(21), 4321},
      {"parentPid", 2, 2},
      {"parentPid", 2.9, 2},
      {"parentPid", 4294967295.0, 4294967295u},
      {"parentPid", 4294967298.0, 2}};
  for (const auto& [key, value, parentPid] : accepted) {
    SCOPED_TRACE(::testing::Message() << key << ": " << value.dump());
    Json frame = valid;
    frame[key] = value;
    Handshake handshake;
    EXPECT_EQ(FailureCode([&] { handshake = CheckHandshake(frame); }), "");
    EXPECT_EQ(handshake.nonce, Utf8ToUtf16(frame["nonce"].get<std::string>()));
    EXPECT_EQ(handshake.parentPid, parentPid);
  }
  const std::string n42 = kNonce.substr(0, 42);
  ExpectFieldsChecked(valid, [](const Json& frame) { CheckHandshake(frame); }, "handshake_mismatch",
                      {{"type", {"handshake_ack", "Handshake", 1, nullptr}},
                       {"protocolVersion", {2, 0, 0.99, -1, "1", true}},
                       {"nonce",
                        {n42, kNonce + "A", n42 + "+", "/" + kNonce.substr(1), n42 + "=",
                         kNonce.substr(0, 20) + " " + kNonce.substr(21), n42 + "\xC3\xA9", "", 43}},
                       {"parentPid", {1, 0, 1.9, 4294967296.0, 4294967297.0, "4321", true}}});
}

TEST(RequestEnvelopeTest, ChecksEveryField) {
  const Json valid{{"type", "request"}, {"requestId", "req-1"}, {"method", "observe"}};
  // Up to 128 UTF-16 units: 64 emoji take 128, 128 two-byte characters 128.
  for (const std::string& id :
       {"req-1"s, "x"s, std::string(128, 'a'), Repeat(kEmoji, 64), Repeat("\xC3\xA9", 128)}) {
    SCOPED_TRACE(id);
    Json frame = valid;
    frame["requestId"] = id;
    RequestEnvelope envelope;
    EXPECT_EQ(FailureCode([&] { envelope = CheckRequestEnvelope(frame); }), "");
    EXPECT_EQ(envelope.requestIdUtf8, id);
    EXPECT_EQ(envelope.requestId, Utf8ToUtf16(id));
    EXPECT_EQ(envelope.method, u"observe");
  }
  ExpectFieldsChecked(
      valid, [](const Json& frame) { CheckRequestEnvelope(frame); }, "invalid_request_frame",
      {{"requestId",
        {std::string(129, 'a'), Repeat(kEmoji, 65), Repeat(kEmoji, 63) + "abc", "", 17, nullptr}},
       {"method", {"", 1, Json::object()}},
       {"type", {"response", "Request", true}}});
}

// ---------------------------------------------------------------------------------------------
// The text written: the setters, invalid UTF-8 replaced, and the helper's own messages.

// One field, set by `set` (SetNumber or SetString).
template <typename Value>
Json With(void (*set)(Json&, std::string_view, Value), Value value) {
  Json object = Json::object();
  set(object, "v", value);
  return object;
}

TEST(SerializeJsonTest, ExactText) {
  const std::pair<Json, std::string> rows[] = {
      // Whole numbers are written as integers.
      {With(SetNumber, 1.0), R"({"v":1})"},
      {With(SetNumber, 1.5), R"({"v":1.5})"},
      {With(SetNumber, 0.0), R"({"v":0})"},
      {With(SetNumber, -3.0), R"({"v":-3})"},
      {With(SetNumber, 0.1), R"({"v":0.1})"},
      {With(SetNumber, 4294967296.0), R"({"v":4294967296})"},
      {With(SetNumber, 1e15), R"({"v":1000000000000000})"},
      {With(SetNumber, -9223372036854775808.0), R"({"v":-9223372036854775808})"},
      {With(SetString, u"\u00e9\U0001F600"sv), "{\"v\":\"\xC3\xA9\xF0\x9F\x98\x80\"}"},
      {With(SetString, u"x\xD800"sv), "{\"v\":\"x\xEF\xBF\xBD\"}"},
      {BuildHandshakeAck(Utf8ToUtf16(kNonce)),
       R"({"nonce":")" + kNonce + R"(","protocolVersion":1,"type":"handshake_ack"})"},
      {BuildHeartbeat(), R"({"type":"heartbeat"})"},
      {BuildResponse(u"req-\U0001F600", true, Json{{"state", "idle"}, {"n", 2}}, "ignored"),
       R"({"ok":true,"requestId":"req-)" + kEmoji +
           R"(","result":{"n":2,"state":"idle"},"type":"response"})"},
      {BuildResponse(u"r9", false, Json{{"x", 1}}, "target_not_found"),
       R"({"error":"target_not_found","ok":false,"requestId":"r9","type":"response"})"},
      {BuildEvent(testing::EmergencyStopEvent()["event"]),
       R"({"event":{"type":"emergency_stop"},"type":"event"})"},
      {MakeStateResult("idle"), R"({"state":"idle"})"}};
  for (const auto& [message, text] : rows) {
    EXPECT_EQ(SerializeJson(message), text);
    EXPECT_EQ(ParseJsonObject(text), message) << text;  // the values as the setters stored them
  }
  // Invalid UTF-8 in strings is replaced, so that the text stays valid.
  EXPECT_EQ(SerializeJson(Json{{"s",
                                "a\xFF"
                                "b"},
                               {"v", Json::array({"\xC0\x80", "ok"})}}),
            "{\"s\":\"a\xEF\xBF\xBD"
            "b\",\"v\":[\"\xEF\xBF\xBD\xEF\xBF\xBD\",\"ok\"]}");
}

// ---------------------------------------------------------------------------------------------
// Error codes.

TEST(MapErrorCodeTest, OnlyThePublicCodesPassUnchanged) {
  // The documented list, written out: the parent matches these words.
  for (std::string_view code :
       {"foreground_required", "stale_observation", "invalid_request", "app_not_found",
        "target_not_found", "target_ambiguous", "permission_missing", "capability_unavailable",
        "secure_desktop_unavailable", "uipi_blocked"}) {
    EXPECT_EQ(MapErrorCode(code), code);
  }
  for (std::string_view message :
       {""sv, "Foreground_required"sv, "UIPI_BLOCKED"sv, "foreground_required "sv,
        " app_not_found"sv, "invalid_request\n"sv, "invalid_req"sv, "invalid_request_frame"sv,
        "app_not_found\0"sv, "handshake_mismatch"sv, "pipe_write_failed"sv, "access denied"sv}) {
    EXPECT_EQ(MapErrorCode(message), "native_helper_request_failed") << '"' << message << '"';
  }
}

}  // namespace
}  // namespace velmora::computer_use
