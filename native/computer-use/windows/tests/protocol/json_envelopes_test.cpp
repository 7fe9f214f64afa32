// The JSON value layer (strict parsing, typed getters, UTF-8/UTF-16) and the message envelopes.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/envelopes.h"
#include "protocol/frame_protocol.h"
#include "protocol/json.h"
#include "support/test_support.h"

namespace velmora::computer_use {
namespace {

using testing::FailureCode;

std::string Repeat(std::string_view unit, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += unit;
  return out;
}

// ---------------------------------------------------------------------------------------------
// ParseJsonObject: the frame reader's judge of every JSON frame.

TEST(ParseJsonObjectTest, RejectsAllButOneObjectOfStrictUtf8) {
  const std::pair<const char*, std::string> rows[] = {
      {"Empty", ""},
      {"Whitespace", " \n"},
      {"ByteFF", "\xFF"},
      {"ByteFFInString", "{\"a\":\"\xFF\"}"},
      {"OverlongInString", "{\"a\":\"\xC0\x80\"}"},
      {"EncodedSurrogateInKey", "{\"\xED\xA0\x80\":1}"},
      {"ByteOrderMark", "\xEF\xBB\xBF{}"},
      {"ByteOrderMarkOnly", "\xEF\xBB\xBF"},
      {"Array", "[]"},
      {"String", "\"x\""},
      {"Number", "0"},
      {"True", "true"},
      {"Null", "null"},
      {"TrailingGarbage", "{}x"},
      {"TwoObjects", "{} {}"},
      {"TrailingNul", std::string("{}\0", 3)},
      {"NulThenGarbage", std::string("{}\0xyz", 6)},
      {"Unterminated", "{\"a\":"},
      {"TrailingComma", "{\"a\":1,}"},
      {"SingleQuotes", "{'a':1}"},
      {"Comment", "{} // c"},
      // The object and 128 arrays inside it: one level past the limit.
      {"NestedOnePastTheLimit", "{\"a\":" + std::string(128, '[') + std::string(128, ']') + "}"}};
  for (const auto& [name, text] : rows) {
    EXPECT_THROW(ParseJsonObject(text), std::invalid_argument) << name;
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
// Setters and serialisation.

TEST(SetNumberTest, WholeNumbersAreWrittenAsIntegers) {
  const std::pair<double, const char*> rows[] = {{1.0, "1"},
                                                 {1.5, "1.5"},
                                                 {0.0, "0"},
                                                 {-3.0, "-3"},
                                                 {0.1, "0.1"},
                                                 {4294967296.0, "4294967296"},
                                                 {1e15, "1000000000000000"},
                                                 {-9223372036854775808.0, "-9223372036854775808"}};
  for (const auto& [value, text] : rows) {
    Json object = Json::object();
    SetNumber(object, "n", value);
    EXPECT_EQ(SerializeJson(object), std::string("{\"n\":") + text + "}");
  }
}

TEST(SerializeJsonTest, ReplacesInvalidUtf8InStrings) {
  const Json object{{"s",
                     "a\xFF"
                     "b"},
                    {"v", Json::array({"\xC0\x80", "ok"})}};
  const std::string text = SerializeJson(object);
  EXPECT_EQ(text,
            "{\"s\":\"a\xEF\xBF\xBD"
            "b\",\"v\":[\"\xEF\xBF\xBD\xEF\xBF\xBD\",\"ok\"]}");
  EXPECT_NO_THROW(ParseJsonObject(text));
}

TEST(SetStringTest, Utf16IsWrittenAsUtf8) {
  Json object = Json::object();
  SetString(object, "s", std::u16string(u"\u00e9\U0001F600"));
  SetString(object, "lone", std::u16string{u'x', static_cast<char16_t>(0xD800)});
  EXPECT_EQ(object["s"], "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(object["lone"], "x\xEF\xBF\xBD");
}

// ---------------------------------------------------------------------------------------------
// UTF-16 and UTF-8.

struct Utf8Row {
  const char* name;
  std::string utf8;
  std::u16string text;
};

// Valid text both ways; the round trip checks ToUtf8 too.
TEST(Utf8Test, ValidTextConvertsBothWays) {
  const Utf8Row rows[] = {{"Empty", "", u""},
                          {"Nul", std::string(1, '\0'), std::u16string(1, u'\0')},
                          {"Highest1Byte", "\x7F", u"\u007F"},
                          {"Lowest2Byte", "\xC2\x80", u"\u0080"},
                          {"Highest2Byte", "\xDF\xBF", u"\u07FF"},
                          {"Lowest3Byte", "\xE0\xA0\x80", u"\u0800"},
                          {"BelowSurrogates", "\xED\x9F\xBF", u"\uD7FF"},
                          {"AboveSurrogates", "\xEE\x80\x80", u"\uE000"},
                          {"Highest3Byte", "\xEF\xBF\xBF", u"\uFFFF"},
                          {"Lowest4Byte", "\xF0\x90\x80\x80", u"\U00010000"},
                          {"Highest4Byte", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
                          {"Mixed", "a\xC3\xA9\xF0\x9F\x98\x80z", u"a\u00e9\U0001F600z"}};
  for (const Utf8Row& row : rows) {
    EXPECT_EQ(Utf8ToUtf16(row.utf8), row.text) << row.name;
    EXPECT_EQ(ToUtf8(row.text), row.utf8) << row.name;
  }
}

// A surrogate without its partner becomes U+FFFD; the text around it stays.
TEST(Utf8Test, UnpairedSurrogatesBecomeReplacementCharacters) {
  const Utf8Row rows[] = {
      {"LoneHigh", "\xEF\xBF\xBD", std::u16string{0xD800}},
      {"LoneLowBetween",
       "a\xEF\xBF\xBD"
       "b",
       std::u16string{u'a', 0xDC00, u'b'}},
      {"HighAtEnd", "a\xEF\xBF\xBD", std::u16string{u'a', 0xDBFF}},
      {"HighThenAscii", "\xEF\xBF\xBDx", std::u16string{0xD83D, u'x'}},
      {"Reversed", "\xEF\xBF\xBD\xEF\xBF\xBD", std::u16string{0xDE00, 0xD83D}},
      {"TwoHighsThenLow", "\xEF\xBF\xBD\xF0\x9F\x98\x80", std::u16string{0xD83D, 0xD83D, 0xDE00}}};
  for (const Utf8Row& row : rows) EXPECT_EQ(ToUtf8(row.text), row.utf8) << row.name;
}

TEST(Utf8Test, InvalidUtf8Throws) {
  const std::pair<const char*, std::string> rows[] = {
      {"OverlongNul2", "\xC0\x80"},
      {"Overlong2", "\xC1\xBF"},
      {"OverlongNul3", "\xE0\x80\x80"},
      {"Overlong3", "\xE0\x9F\xBF"},
      {"Overlong4", "\xF0\x8F\xBF\xBF"},
      {"HighSurrogate", "\xED\xA0\x80"},
      {"LowSurrogate", "\xED\xBF\xBF"},
      {"EncodedPair", "\xED\xA0\xBD\xED\xB8\x80"},
      {"AboveMaximum", "\xF4\x90\x80\x80"},
      {"LeadF5", "\xF5\x80\x80\x80"},
      {"ByteFF", "\xFF"},
      {"ByteFE", "\xFE"},
      {"LoneContinuation", "\x80"},
      {"Truncated2", "\xC3"},
      {"Truncated3", "\xE2\x82"},
      {"Truncated4", "\xF0\x9F\x98"},
      {"AsciiInsteadOfContinuation", "\xC3\x41"},
      {"LeadInsteadOfContinuation", "\xE2\xC3\xA9"}};
  for (const auto& [name, bytes] : rows) {
    SCOPED_TRACE(name);
    EXPECT_THROW(Utf8ToUtf16(bytes), std::invalid_argument);
    // The same bytes after valid text and before more valid text.
    EXPECT_THROW(Utf8ToUtf16("ok" + bytes + "ok"), std::invalid_argument);
    // A view cut short inside a larger buffer: the bytes past its end must not complete it.
    const std::string buffer = bytes + "\x80\x80\x80";
    EXPECT_THROW(Utf8ToUtf16(std::string_view(buffer).substr(0, bytes.size())),
                 std::invalid_argument);
  }
}

// ---------------------------------------------------------------------------------------------
// Handshake and request envelopes: one valid frame, changed one field at a time.

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
const std::string kNonce = kAlphabet.substr(0, 43);
const std::string kEmoji = "\xF0\x9F\x98\x80";  // U+1F600: two UTF-16 units

auto Set(const char* key, const Json& value) {
  return [key, value](Json& frame) { frame[key] = value; };
}
auto Erase(const char* key) {
  return [key](Json& frame) { frame.erase(key); };
}
void Keep(Json&) {}

struct HandshakeRow {
  const char* name;
  std::function<void(Json&)> change;
  bool accepted;
  std::uint32_t parentPid = 4321;
  std::string nonce = kNonce;
};

TEST(HandshakeTest, ChecksEveryField) {
  const HandshakeRow rows[] = {
      {"Valid", Keep, true},
      {"TypeMissing", Erase("type"), false},
      {"TypeAck", Set("type", "handshake_ack"), false},
      {"TypeCapitalised", Set("type", "Handshake"), false},
      {"TypeNumber", Set("type", 1), false},
      {"TypeNull", Set("type", nullptr), false},
      {"VersionFractionTruncated", Set("protocolVersion", 1.9), true},
      {"VersionAsFloat", Set("protocolVersion", 1.0), true},
      {"VersionTwo", Set("protocolVersion", 2), false},
      {"VersionZero", Set("protocolVersion", 0), false},
      {"VersionBelowOne", Set("protocolVersion", 0.99), false},
      {"VersionMinusOne", Set("protocolVersion", -1), false},
      {"VersionMissing", Erase("protocolVersion"), false},
      {"VersionString", Set("protocolVersion", "1"), false},
      {"VersionBool", Set("protocolVersion", true), false},
      {"NonceDashUnderscore", Set("nonce", Repeat("-_", 21) + "-"), true, 4321,
       Repeat("-_", 21) + "-"},
      {"NonceDigitsAndTail", Set("nonce", kAlphabet.substr(21)), true, 4321, kAlphabet.substr(21)},
      {"Nonce42", Set("nonce", kNonce.substr(0, 42)), false},
      {"Nonce44", Set("nonce", kNonce + "A"), false},
      {"NoncePlus", Set("nonce", kNonce.substr(0, 42) + "+"), false},
      {"NonceSlash", Set("nonce", "/" + kNonce.substr(1)), false},
      {"NoncePadding", Set("nonce", kNonce.substr(0, 42) + "="), false},
      {"NonceSpace", Set("nonce", kNonce.substr(0, 20) + " " + kNonce.substr(21)), false},
      {"NonceNonAscii", Set("nonce", kNonce.substr(0, 42) + "\xC3\xA9"), false},
      {"NonceEmpty", Set("nonce", ""), false},
      {"NonceMissing", Erase("nonce"), false},
      {"NonceNumber", Set("nonce", 43), false},
      {"PidTwo", Set("parentPid", 2), true, 2},
      {"PidFractionTruncated", Set("parentPid", 2.9), true, 2},
      {"PidLargestUint32", Set("parentPid", 4294967295.0), true, 4294967295u},
      {"PidLow32BitsTwo", Set("parentPid", 4294967298.0), true, 2},
      {"PidOne", Set("parentPid", 1), false},
      {"PidZero", Set("parentPid", 0), false},
      {"PidOnePointNine", Set("parentPid", 1.9), false},
      {"PidLow32BitsZero", Set("parentPid", 4294967296.0), false},
      {"PidLow32BitsOne", Set("parentPid", 4294967297.0), false},
      {"PidMissing", Erase("parentPid"), false},
      {"PidString", Set("parentPid", "4321"), false},
      {"PidBool", Set("parentPid", true), false},
      {"NotAnObject", [](Json& frame) { frame = Json::array({frame}); }, false}};
  for (const HandshakeRow& row : rows) {
    SCOPED_TRACE(row.name);
    Json frame{
        {"type", "handshake"}, {"protocolVersion", 1}, {"nonce", kNonce}, {"parentPid", 4321}};
    row.change(frame);
    Handshake handshake;
    EXPECT_EQ(FailureCode([&] { handshake = CheckHandshake(frame); }),
              row.accepted ? "" : "handshake_mismatch");
    if (!row.accepted) continue;
    EXPECT_EQ(handshake.nonce, Utf8ToUtf16(row.nonce));
    EXPECT_EQ(handshake.parentPid, row.parentPid);
  }
}

struct RequestRow {
  const char* name;
  std::function<void(Json&)> change;
  bool accepted;
  std::string requestId = "req-1";
};

TEST(RequestEnvelopeTest, ChecksEveryField) {
  const RequestRow rows[] = {
      {"Valid", Keep, true},
      {"OneCharacterId", Set("requestId", "x"), true, "x"},
      {"Id128Ascii", Set("requestId", std::string(128, 'a')), true, std::string(128, 'a')},
      {"Id129Ascii", Set("requestId", std::string(129, 'a')), false},
      {"Id64Emoji", Set("requestId", Repeat(kEmoji, 64)), true, Repeat(kEmoji, 64)},
      {"Id65Emoji", Set("requestId", Repeat(kEmoji, 65)), false},
      {"Id63EmojiAndThreeAscii", Set("requestId", Repeat(kEmoji, 63) + "abc"), false},
      {"Id64TwoByteCharacters", Set("requestId", Repeat("\xC3\xA9", 128)), true,
       Repeat("\xC3\xA9", 128)},
      {"IdEmpty", Set("requestId", ""), false},
      {"IdMissing", Erase("requestId"), false},
      {"IdNumber", Set("requestId", 17), false},
      {"IdNull", Set("requestId", nullptr), false},
      {"MethodEmpty", Set("method", ""), false},
      {"MethodMissing", Erase("method"), false},
      {"MethodNumber", Set("method", 1), false},
      {"MethodObject", Set("method", Json::object()), false},
      {"TypeResponse", Set("type", "response"), false},
      {"TypeCapitalised", Set("type", "Request"), false},
      {"TypeMissing", Erase("type"), false},
      {"TypeBool", Set("type", true), false},
      {"NotAnObject", [](Json& frame) { frame = Json::array(); }, false}};
  for (const RequestRow& row : rows) {
    SCOPED_TRACE(row.name);
    Json frame{{"type", "request"}, {"requestId", "req-1"}, {"method", "observe"}};
    row.change(frame);
    RequestEnvelope envelope;
    EXPECT_EQ(FailureCode([&] { envelope = CheckRequestEnvelope(frame); }),
              row.accepted ? "" : "invalid_request_frame");
    if (!row.accepted) continue;
    EXPECT_EQ(envelope.requestIdUtf8, row.requestId);
    EXPECT_EQ(envelope.requestId, Utf8ToUtf16(row.requestId));
    EXPECT_EQ(envelope.method, u"observe");
  }
}

// ---------------------------------------------------------------------------------------------
// The helper's own messages, byte for byte.

TEST(EnvelopeTest, BuiltMessagesSerialiseExactly) {
  const std::pair<Json, std::string> rows[] = {
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
  for (const auto& [message, text] : rows) EXPECT_EQ(SerializeJson(message), text);
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
       {std::string_view(""), std::string_view("Foreground_required"),
        std::string_view("UIPI_BLOCKED"), std::string_view("foreground_required "),
        std::string_view(" app_not_found"), std::string_view("invalid_request\n"),
        std::string_view("invalid_req"), std::string_view("invalid_request_frame"),
        std::string_view("app_not_found\0", 14), std::string_view("handshake_mismatch"),
        std::string_view("pipe_write_failed"), std::string_view("access denied")}) {
    EXPECT_EQ(MapErrorCode(message), "native_helper_request_failed") << '"' << message << '"';
  }
}

}  // namespace
}  // namespace velmora::computer_use
