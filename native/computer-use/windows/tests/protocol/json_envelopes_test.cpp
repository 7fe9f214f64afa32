// The JSON value layer (strict parsing, typed getters, UTF-8/UTF-16) and the message envelopes.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/envelopes.h"
#include "protocol/frame_protocol.h"
#include "protocol/json.h"

namespace velmora::computer_use {
namespace {

template <typename T>
std::string NameOf(const ::testing::TestParamInfo<T>& info) {
  return std::string(info.param.name);
}

template <typename T>
requires requires(const T& value) {
  value.name;
}
void PrintTo(const T& value, std::ostream* os) {
  *os << value.name;
}

std::string Repeat(std::string_view unit, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += unit;
  return out;
}

// ---------------------------------------------------------------------------------------------
// ParseJsonObject.

struct ParseCase {
  const char* name;
  std::string text;
};

class ParseRejectTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseRejectTest, ThrowsInvalidArgument) {
  EXPECT_THROW(ParseJsonObject(GetParam().text), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(
    Json, ParseRejectTest,
    ::testing::Values(ParseCase{"Empty", ""}, ParseCase{"Whitespace", " \n"},
                      ParseCase{"ByteFF", "\xFF"}, ParseCase{"ByteFFInString", "{\"a\":\"\xFF\"}"},
                      ParseCase{"OverlongInString", "{\"a\":\"\xC0\x80\"}"},
                      ParseCase{"EncodedSurrogateInKey", "{\"\xED\xA0\x80\":1}"},
                      ParseCase{"ByteOrderMark", "\xEF\xBB\xBF{}"},
                      ParseCase{"ByteOrderMarkOnly", "\xEF\xBB\xBF"}, ParseCase{"Array", "[]"},
                      ParseCase{"String", "\"x\""}, ParseCase{"Number", "0"},
                      ParseCase{"True", "true"}, ParseCase{"Null", "null"},
                      ParseCase{"TrailingGarbage", "{}x"}, ParseCase{"TwoObjects", "{} {}"},
                      ParseCase{"TrailingNul", std::string("{}\0", 3)},
                      ParseCase{"NulThenGarbage", std::string("{}\0xyz", 6)},
                      ParseCase{"Unterminated", "{\"a\":"}, ParseCase{"SingleQuotes", "{'a':1}"},
                      ParseCase{"Comment", "{} // c"}),
    NameOf<ParseCase>);

TEST(ParseJsonObjectTest, AcceptsOneObject) {
  EXPECT_EQ(ParseJsonObject("{}"), Json::object());
  EXPECT_EQ(ParseJsonObject(" {\"a\":[1,{\"b\":null}]}\r\n"),
            (Json{{"a", {1, Json{{"b", nullptr}}}}}));
  EXPECT_EQ(ParseJsonObject("{\"k\":\"\xC3\xA9\xF0\x9F\x98\x80\"}"),
            (Json{{"k", "\xC3\xA9\xF0\x9F\x98\x80"}}));
}

// ---------------------------------------------------------------------------------------------
// Getters.

TEST(JsonGetterTest, MissingKeyGivesDefault) {
  const Json object{{"other", 1}};
  EXPECT_EQ(GetNumber(object, "n", 7.5), 7.5);
  EXPECT_EQ(GetString(object, "s", u"fallback"), u"fallback");
  EXPECT_TRUE(GetBool(object, "b", true));
  EXPECT_FALSE(GetBool(object, "b", false));
  EXPECT_FALSE(HasObject(object, "o"));
}

TEST(JsonGetterTest, NonObjectGivesDefault) {
  for (const Json& value : {Json::array({1}), Json("n"), Json(3), Json(nullptr)}) {
    SCOPED_TRACE(value.dump());
    EXPECT_EQ(GetNumber(value, "n", 2), 2);
    EXPECT_EQ(GetString(value, "n", u"d"), u"d");
    EXPECT_TRUE(GetBool(value, "n", true));
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
  for (const char* key : {"numericString", "bool", "null", "array", "object"}) {
    SCOPED_TRACE(key);
    EXPECT_THROW(GetNumber(object, key, 0), JsonTypeError);
  }
  for (const char* key : {"number", "bool", "null", "array", "object"}) {
    SCOPED_TRACE(key);
    EXPECT_THROW(GetString(object, key, u""), JsonTypeError);
  }
  for (const char* key : {"numericString", "number", "null", "array", "object"}) {
    SCOPED_TRACE(key);
    EXPECT_THROW(GetBool(object, key, false), JsonTypeError);
  }
  for (const char* key : {"numericString", "number", "bool", "null", "array"}) {
    SCOPED_TRACE(key);
    EXPECT_THROW(HasObject(object, key), JsonTypeError);
  }
}

// ---------------------------------------------------------------------------------------------
// Setters and serialisation.

struct NumberCase {
  const char* name;
  double value;
  const char* text;
};

class SetNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(SetNumberTest, Serialises) {
  Json object = Json::object();
  SetNumber(object, "n", GetParam().value);
  EXPECT_EQ(SerializeJson(object), std::string("{\"n\":") + GetParam().text + "}");
}

INSTANTIATE_TEST_SUITE_P(
    Json, SetNumberTest,
    ::testing::Values(NumberCase{"One", 1.0, "1"}, NumberCase{"OneAndAHalf", 1.5, "1.5"},
                      NumberCase{"Zero", 0.0, "0"}, NumberCase{"MinusThree", -3.0, "-3"},
                      NumberCase{"PointOne", 0.1, "0.1"},
                      NumberCase{"TwoToThe32", 4294967296.0, "4294967296"},
                      NumberCase{"TenToThe15", 1e15, "1000000000000000"},
                      NumberCase{"Int64Min", -9223372036854775808.0, "-9223372036854775808"}),
    NameOf<NumberCase>);

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
// UTF-16 to UTF-8.

struct ToUtf8Case {
  const char* name;
  std::u16string text;
  std::string utf8;
};

class ToUtf8Test : public ::testing::TestWithParam<ToUtf8Case> {};

TEST_P(ToUtf8Test, Converts) {
  EXPECT_EQ(ToUtf8(GetParam().text), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Json, ToUtf8Test,
    ::testing::Values(ToUtf8Case{"Ascii", u"abc", "abc"}, ToUtf8Case{"Empty", u"", ""},
                      ToUtf8Case{"TwoByte", u"\u00e9", "\xC3\xA9"},
                      ToUtf8Case{"ThreeByteLowest", u"\u0800", "\xE0\xA0\x80"},
                      ToUtf8Case{"ThreeByteHighest", u"\uFFFF", "\xEF\xBF\xBF"},
                      ToUtf8Case{"Pair", u"\U0001F600", "\xF0\x9F\x98\x80"},
                      ToUtf8Case{"HighestPair", u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
                      ToUtf8Case{"LoneHigh", std::u16string{0xD800}, "\xEF\xBF\xBD"},
                      ToUtf8Case{"LoneLowBetween", std::u16string{u'a', 0xDC00, u'b'},
                                 "a\xEF\xBF\xBD"
                                 "b"},
                      ToUtf8Case{"HighAtEnd", std::u16string{u'a', 0xDBFF}, "a\xEF\xBF\xBD"},
                      ToUtf8Case{"HighThenAscii", std::u16string{0xD83D, u'x'}, "\xEF\xBF\xBDx"},
                      ToUtf8Case{"Reversed", std::u16string{0xDE00, 0xD83D},
                                 "\xEF\xBF\xBD\xEF\xBF\xBD"},
                      ToUtf8Case{"TwoHighsThenLow", std::u16string{0xD83D, 0xD83D, 0xDE00},
                                 "\xEF\xBF\xBD\xF0\x9F\x98\x80"}),
    NameOf<ToUtf8Case>);

// ---------------------------------------------------------------------------------------------
// UTF-8 to UTF-16.

struct Utf8Case {
  const char* name;
  std::string utf8;
  std::u16string text;  // unused for rejected input
};

class Utf8AcceptTest : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8AcceptTest, ConvertsAndRoundTrips) {
  EXPECT_EQ(Utf8ToUtf16(GetParam().utf8), GetParam().text);
  EXPECT_EQ(ToUtf8(GetParam().text), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Json, Utf8AcceptTest,
    ::testing::Values(Utf8Case{"Empty", "", u""},
                      Utf8Case{"Nul", std::string(1, '\0'), std::u16string(1, u'\0')},
                      Utf8Case{"Highest1Byte", "\x7F", u"\u007F"},
                      Utf8Case{"Lowest2Byte", "\xC2\x80", u"\u0080"},
                      Utf8Case{"Highest2Byte", "\xDF\xBF", u"\u07FF"},
                      Utf8Case{"Lowest3Byte", "\xE0\xA0\x80", u"\u0800"},
                      Utf8Case{"BelowSurrogates", "\xED\x9F\xBF", u"\uD7FF"},
                      Utf8Case{"AboveSurrogates", "\xEE\x80\x80", u"\uE000"},
                      Utf8Case{"Highest3Byte", "\xEF\xBF\xBF", u"\uFFFF"},
                      Utf8Case{"Lowest4Byte", "\xF0\x90\x80\x80", u"\U00010000"},
                      Utf8Case{"Highest4Byte", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
                      Utf8Case{"Mixed", "a\xC3\xA9\xF0\x9F\x98\x80z", u"a\u00e9\U0001F600z"}),
    NameOf<Utf8Case>);

class Utf8RejectTest : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8RejectTest, Throws) {
  EXPECT_THROW(Utf8ToUtf16(GetParam().utf8), std::invalid_argument);
  // The same bytes after valid text and before more valid text.
  EXPECT_THROW(Utf8ToUtf16("ok" + GetParam().utf8 + "ok"), std::invalid_argument);
  // A view cut short inside a larger buffer: the bytes past its end must not complete it.
  const std::string buffer = GetParam().utf8 + "\x80\x80\x80";
  EXPECT_THROW(Utf8ToUtf16(std::string_view(buffer).substr(0, GetParam().utf8.size())),
               std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(
    Json, Utf8RejectTest,
    ::testing::Values(Utf8Case{"OverlongNul2", "\xC0\x80", u""},
                      Utf8Case{"Overlong2", "\xC1\xBF", u""},
                      Utf8Case{"OverlongNul3", "\xE0\x80\x80", u""},
                      Utf8Case{"Overlong3", "\xE0\x9F\xBF", u""},
                      Utf8Case{"Overlong4", "\xF0\x8F\xBF\xBF", u""},
                      Utf8Case{"HighSurrogate", "\xED\xA0\x80", u""},
                      Utf8Case{"LowSurrogate", "\xED\xBF\xBF", u""},
                      Utf8Case{"EncodedPair", "\xED\xA0\xBD\xED\xB8\x80", u""},
                      Utf8Case{"AboveMaximum", "\xF4\x90\x80\x80", u""},
                      Utf8Case{"LeadF5", "\xF5\x80\x80\x80", u""}, Utf8Case{"ByteFF", "\xFF", u""},
                      Utf8Case{"ByteFE", "\xFE", u""}, Utf8Case{"LoneContinuation", "\x80", u""},
                      Utf8Case{"Truncated2", "\xC3", u""}, Utf8Case{"Truncated3", "\xE2\x82", u""},
                      Utf8Case{"Truncated4", "\xF0\x9F\x98", u""},
                      Utf8Case{"AsciiInsteadOfContinuation", "\xC3\x41", u""},
                      Utf8Case{"LeadInsteadOfContinuation", "\xE2\xC3\xA9", u""}),
    NameOf<Utf8Case>);

// ---------------------------------------------------------------------------------------------
// Handshake.

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
const std::string kNonce = kAlphabet.substr(0, 43);

Json ValidHandshake() {
  return Json{
      {"type", "handshake"}, {"protocolVersion", 1}, {"nonce", kNonce}, {"parentPid", 4321}};
}

struct HandshakeCase {
  const char* name;
  std::function<void(Json&)> change;
  bool accepted;
  std::uint32_t parentPid = 4321;
  std::string nonce = kNonce;
};

class HandshakeTest : public ::testing::TestWithParam<HandshakeCase> {};

TEST_P(HandshakeTest, Checks) {
  Json frame = ValidHandshake();
  GetParam().change(frame);
  if (GetParam().accepted) {
    const Handshake handshake = CheckHandshake(frame);
    EXPECT_EQ(handshake.nonce, Utf8ToUtf16(GetParam().nonce));
    EXPECT_EQ(handshake.parentPid, GetParam().parentPid);
  } else {
    try {
      CheckHandshake(frame);
      ADD_FAILURE() << "accepted " << frame.dump();
    } catch (const ProtocolError& error) {
      EXPECT_STREQ(error.what(), "handshake_mismatch");
    }
  }
}

auto Set(const char* key, Json value) {
  return [key, value](Json& frame) { frame[key] = value; };
}
auto Erase(const char* key) {
  return [key](Json& frame) { frame.erase(key); };
}
void Keep(Json&) {}

INSTANTIATE_TEST_SUITE_P(
    Envelopes, HandshakeTest,
    ::testing::ValuesIn(std::vector<HandshakeCase>{
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
        {"NonceDigitsAndTail", Set("nonce", kAlphabet.substr(21)), true, 4321,
         kAlphabet.substr(21)},
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
        {"NotAnObject", [](Json& frame) { frame = Json::array({ValidHandshake()}); }, false},
    }),
    NameOf<HandshakeCase>);

TEST(HandshakeAckTest, Fields) {
  const std::u16string nonce = Utf8ToUtf16(kNonce);
  const Json ack = BuildHandshakeAck(nonce);
  EXPECT_EQ(ack, (Json{{"type", "handshake_ack"}, {"protocolVersion", 1}, {"nonce", kNonce}}));
  EXPECT_NE(SerializeJson(ack).find("\"protocolVersion\":1,"), std::string::npos)
      << SerializeJson(ack);
}

// ---------------------------------------------------------------------------------------------
// Request envelope.

const std::string kEmoji = "\xF0\x9F\x98\x80";  // U+1F600: two UTF-16 units

Json ValidRequest() {
  return Json{{"type", "request"}, {"requestId", "req-1"}, {"method", "observe"}};
}

struct RequestCase {
  const char* name;
  std::function<void(Json&)> change;
  bool accepted;
  std::string requestId = "req-1";
};

class RequestEnvelopeTest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestEnvelopeTest, Checks) {
  Json frame = ValidRequest();
  GetParam().change(frame);
  if (GetParam().accepted) {
    const RequestEnvelope envelope = CheckRequestEnvelope(frame);
    EXPECT_EQ(envelope.requestIdUtf8, GetParam().requestId);
    EXPECT_EQ(envelope.requestId, Utf8ToUtf16(GetParam().requestId));
    EXPECT_EQ(envelope.method, Utf8ToUtf16(frame["method"].get<std::string>()));
  } else {
    try {
      CheckRequestEnvelope(frame);
      ADD_FAILURE() << "accepted " << frame.dump();
    } catch (const ProtocolError& error) {
      EXPECT_STREQ(error.what(), "invalid_request_frame");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Envelopes, RequestEnvelopeTest,
    ::testing::ValuesIn(std::vector<RequestCase>{
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
        {"NotAnObject", [](Json& frame) { frame = Json::array(); }, false},
    }),
    NameOf<RequestCase>);

// ---------------------------------------------------------------------------------------------
// Response.

TEST(BuildResponseTest, Success) {
  const Json result{{"state", "idle"}, {"n", 2}};
  const Json response = BuildResponse(u"req-\U0001F600", true, result, "ignored");
  EXPECT_EQ(
      response,
      (Json{
          {"type", "response"}, {"requestId", "req-" + kEmoji}, {"ok", true}, {"result", result}}));
  EXPECT_FALSE(response.contains("error"));
}

TEST(BuildResponseTest, Failure) {
  const Json response = BuildResponse(u"r9", false, Json{{"x", 1}}, "target_not_found");
  EXPECT_EQ(response, (Json{{"type", "response"},
                            {"requestId", "r9"},
                            {"ok", false},
                            {"error", "target_not_found"}}));
  EXPECT_FALSE(response.contains("result"));
}

// ---------------------------------------------------------------------------------------------
// Error codes.

TEST(MapErrorCodeTest, PublicCodesMapToThemselves) {
  for (std::string_view code :
       {"foreground_required", "stale_observation", "invalid_request", "app_not_found",
        "target_not_found", "target_ambiguous", "permission_missing", "capability_unavailable",
        "secure_desktop_unavailable", "uipi_blocked"}) {
    EXPECT_EQ(MapErrorCode(code), code);
  }
}

TEST(MapErrorCodeTest, AnythingElseIsGenericFailure) {
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
