// Tests of vtjson: shared handles, key order, numbers, output and strict parsing.
#include "vtjson.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace
{

const char* const kObjectOrArray = R"({"type":["object","array"]})";

JValue parseOrNull(const std::string& text, const char* schema = kObjectOrArray)
{
    JDomParser parser;
    return parser.parse(text, JSchemaFragment(schema)) ? parser.getDom() : JValue();
}

TEST(Sharing, ChildChangedAfterPutIsChangedInParent)
{
    JValue parent = JValue::object();
    JValue child = JValue::object();
    JValue list = JValue::array();
    ASSERT_TRUE(parent.put("child", child));
    ASSERT_TRUE(parent.put("list", list));
    child.put("x", 1);
    list.append("a");
    parent["child"].put("y", true);
    EXPECT_EQ(R"({"child":{"x":1,"y":true},"list":["a"]})", parent.stringify());
    EXPECT_TRUE(child.hasKey("y"));
}

TEST(Sharing, CopiesAndReadsOutliveTheirContainer)
{
    JValue held;
    {
        JValue parent = JValue::object();
        parent.put("k", JValue::array());
        held = parent["k"];
        JValue copy = parent;
        copy.put("k", "replaced");
        EXPECT_EQ("replaced", parent["k"].asString());
    }
    // The replaced and the dropped parent released their references; this one is still ours.
    EXPECT_TRUE(held.append(2));
    EXPECT_EQ("[2]", held.stringify());
    held = held;
    EXPECT_EQ("[2]", held.stringify());
    JValue moved = std::move(held);
    EXPECT_TRUE(held.isNull());
    EXPECT_TRUE(moved.isArray());
}

TEST(Sharing, DeepCopySharesNothing)
{
    const std::string text = R"({"a":{"b":[1,2.50,"x"]},"c":null})";
    JValue original = parseOrNull(text);
    JValue copy = original.copy();
    EXPECT_EQ(text, copy.stringify());
    copy["a"]["b"].append(3);
    copy.put("d", true);
    original["a"].put("e", false);
    EXPECT_EQ(R"({"a":{"b":[1,2.50,"x",3]},"c":null,"d":true})", copy.stringify());
    EXPECT_EQ(R"({"a":{"b":[1,2.50,"x"],"e":false},"c":null})", original.stringify());
    EXPECT_TRUE(JValue().copy().isNull());
}

TEST(Sharing, ValueIsNotPutIntoItself)
{
    JValue object = JValue::object();
    JValue array = JValue::array();
    EXPECT_FALSE(object.put("self", object));
    EXPECT_FALSE(array.append(array));
    EXPECT_EQ("{}", object.stringify());
    EXPECT_EQ("[]", array.stringify());
}

TEST(Object, KeysKeepInsertionOrderAndReplaceInPlace)
{
    JValue object = JValue::object();
    object.put("b", 1);
    object.put("a", 2);
    object.put("c", 3);
    object.put("a", "two");
    EXPECT_EQ((std::vector<std::string>{"b", "a", "c"}), object.keys());
    EXPECT_EQ(R"({"b":1,"a":"two","c":3})", object.stringify());
    EXPECT_TRUE(object.remove("b"));
    EXPECT_FALSE(object.remove("b"));
    EXPECT_EQ(R"({"a":"two","c":3})", object.stringify());
}

TEST(Object, NullMissingAndWrongTypeRead)
{
    JValue object = JValue::object();
    object.put("n", JValue());
    EXPECT_TRUE(object.hasKey("n"));
    EXPECT_TRUE(object["n"].isNull());
    EXPECT_FALSE(object.hasKey("missing"));
    EXPECT_TRUE(object["missing"].isNull());
    EXPECT_TRUE(object[0].isNull());
    EXPECT_EQ(R"({"n":null})", object.stringify());

    JValue text("t");
    EXPECT_FALSE(text.put("k", 1));
    EXPECT_FALSE(text.append(1));
    EXPECT_TRUE(text["k"].isNull());
    EXPECT_EQ(0u, text.arraySize());
    EXPECT_TRUE(JValue::array()[3].isNull());
    EXPECT_TRUE(JValue(static_cast<const char*>(nullptr)).isNull());
}

TEST(Conversion, WrongTypeLeavesOutputAlone)
{
    std::string text = "kept";
    bool flag = true;
    int32_t number = 7;
    EXPECT_FALSE(JValue(5).asString(text));
    EXPECT_FALSE(JValue("5").asBool(flag));
    EXPECT_FALSE(JValue("5").asNumber(number));
    EXPECT_EQ("kept", text);
    EXPECT_TRUE(flag);
    EXPECT_EQ(7, number);
    EXPECT_EQ("", JValue(true).asString());
    EXPECT_EQ(0, JValue("5").asInt64());
    EXPECT_EQ(std::string("a\0b", 3), JValue(std::string("a\0b", 3)).asString());
}

TEST(Conversion, IntegersAre64Bit)
{
    const int64_t big = (int64_t(1) << 53) + 1; // not exact as a double
    EXPECT_EQ("9007199254740993", JValue(big).stringify());
    JValue parsed = parseOrNull("[9007199254740993,-9223372036854775808]");
    EXPECT_EQ(big, parsed[0].asInt64());
    EXPECT_EQ(INT64_MIN, parsed[1].asInt64());
    EXPECT_TRUE(parsed[0].isInteger());
}

TEST(Conversion, Int32RefusesOutOfRange)
{
    JValue parsed = parseOrNull("[2147483647,2147483648,-2147483648,-2147483649]");
    int32_t out = 5;
    EXPECT_TRUE(parsed[0].asNumber(out));
    EXPECT_EQ(INT32_MAX, out);
    EXPECT_FALSE(parsed[1].asNumber(out));
    EXPECT_EQ(INT32_MAX, out);
    EXPECT_TRUE(parsed[2].asNumber(out));
    EXPECT_EQ(INT32_MIN, out);
    EXPECT_FALSE(parsed[3].asNumber(out));
    EXPECT_EQ(0, parsed[3].asInt32());
}

TEST(Conversion, DoublesBecomeIntegersOnlyWhenIntegral)
{
    JValue parsed = parseOrNull("[3.0,2.5,1e300,18446744073709551615]");
    int64_t out = 0;
    EXPECT_TRUE(parsed[0].asNumber(out));
    EXPECT_EQ(3, out);
    EXPECT_FALSE(parsed[1].asNumber(out));
    EXPECT_FALSE(parsed[2].asNumber(out));
    EXPECT_FALSE(parsed[3].asNumber(out)); // beyond int64, but still a number
    EXPECT_EQ(3, out);
    EXPECT_DOUBLE_EQ(2.5, parsed[1].asDouble());
    EXPECT_DOUBLE_EQ(7.0, JValue(7).asDouble());
    EXPECT_TRUE(parsed[1].isNumber());
    EXPECT_FALSE(parsed[1].isInteger());
}

TEST(Output, CompactWithoutSlashEscape)
{
    JValue object = JValue::object();
    object.put("url", "http://h/p");
    object.put("q", "say \"hi\"\n");
    object.put("list", parseOrNull(" [ 1 , 2 ] "));
    EXPECT_EQ(R"({"url":"http://h/p","q":"say \"hi\"\n","list":[1,2]})", object.stringify());
    EXPECT_EQ("null", JValue().stringify());
}

TEST(Equality, ComparesContent)
{
    EXPECT_EQ(parseOrNull(R"({"a":[1,{"b":null}],"c":"d"})"),
              parseOrNull(R"({"c":"d","a":[1,{"b":null}]})"));
    EXPECT_NE(parseOrNull("[1,2]"), parseOrNull("[2,1]"));
    EXPECT_NE(JValue("1"), JValue(1));
    EXPECT_EQ(JValue(), JValue());
}

TEST(Parse, AcceptsObjectOrArrayWithTrailingWhitespace)
{
    JDomParser parser;
    JSchemaFragment schema(kObjectOrArray);
    ASSERT_TRUE(parser.parse("[]", schema));
    EXPECT_TRUE(parser.getDom().isArray());
    ASSERT_TRUE(parser.parse(" {\"a\":{\"b\":[true]}}\n\t ", schema)) << parser.errorText();
    EXPECT_TRUE(parser.getDom()["a"]["b"][0].asBool());
}

TEST(Parse, RejectsWhatIsNotOneWholeObjectOrArray)
{
    const std::string texts[] = {
        "",
        "  \n",
        "\"abc\"",
        "42",
        "true",
        "null",
        "{} x",
        "[1] [2]",
        "{\"a\":1",
        "[1,]",
        "{'a':1}",
        "{a:1}",
        "[01]",
        "[NaN]",
        "[Infinity]",
        "[-Infinity]",
        "[1.]",
        "[\"a\tb\"]",
        "/*c*/[]",
        "[\"\xff\"]",
        std::string("{}\0x", 4),
    };
    JSchemaFragment schema(kObjectOrArray);
    for (const std::string& text : texts) {
        JDomParser parser;
        EXPECT_FALSE(parser.parse(text, schema)) << "accepted: " << text;
        EXPECT_FALSE(parser.errorText().empty()) << text;
        EXPECT_TRUE(parser.getDom().isNull()) << text;
    }
}

const char* const kAnything = R"({"type":["object","array","string","number","boolean","null"]})";

// Texts a strict parser refuses that json-c alone would take, and often write back out.
TEST(Parse, StrictNumberSyntaxUtf8AndRange)
{
    const std::string texts[] = {
        // number syntax
        "[-01]",
        "[00.5]",
        "[-.5]",
        "00",
        "[.5]",
        "[+1]",
        "[1.e5]",
        "[1e]",
        "[1e+]",
        "[0x10]",
        "[-]",
        "[--1]",
        "[1.5.5]",
        "-",
        "[1 2]",
        // range: neither a double nor a 64-bit integer holds these
        "[1e999]",
        "[-1e999]",
        "1E400",
        "[18446744073709551616]",
        "[-9223372036854775809]",
        // UTF-8: overlong forms, surrogates, above U+10FFFF, stray and truncated bytes
        "[\"\xC0\xAF\"]",
        "[\"\xC1\xBF\"]",
        "[\"\xE0\x80\xAF\"]",
        "[\"\xF0\x80\x80\xAF\"]",
        "[\"\xED\xA0\x80\"]",
        "[\"\xED\xBF\xBF\"]",
        "[\"\xF4\x90\x80\x80\"]",
        "[\"\xF5\x80\x80\x80\"]",
        "[\"\x80\"]",
        "[\"\xE2\x82\"]",
        "{\"\xFF\":1}",
        // escapes: unknown, short, lone surrogates
        "[\"\\x41\"]",
        "[\"\\u12G4\"]",
        "[\"\\u12\"]",
        "[\"\\uD800\"]",
        "[\"\\uDC00\"]",
        "[\"\\uD800\\u0041\"]",
        // structure
        "{\"a\":1,}",
        "{\"a\" 1}",
        "{1:2}",
        "[1,,2]",
        "[tru]",
        "[nulls]",
    };
    JSchemaFragment schema(kAnything);
    for (const std::string& text : texts) {
        JDomParser parser;
        EXPECT_FALSE(parser.parse(text, schema)) << "accepted: " << text;
        EXPECT_FALSE(parser.errorText().empty()) << text;
    }
}

// Whatever is accepted, and whatever code builds, is written as a text that parses again to
// the same value.
TEST(Output, AlwaysParsesAgain)
{
    const std::string texts[] = {
        "[-0,0.5,-1.5e-3,1E+2,1e-999,1e308,9223372036854775807,-9223372036854775808]",
        "[18446744073709551615]",
        "[\"\\uD83D\\uDE00\\u00e9\\n\\u0000\","
        "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\"]",
        "{\"deep\":[[[[{\"a\":[true,false,null]}]]]]}",
    };
    JSchemaFragment schema(kAnything);
    for (const std::string& text : texts) {
        JDomParser parser;
        ASSERT_TRUE(parser.parse(text, schema)) << text << ": " << parser.errorText();
        std::string out = parser.getDom().stringify();
        JDomParser again;
        ASSERT_TRUE(again.parse(out, schema)) << out << ": " << again.errorText();
        EXPECT_EQ(again.getDom(), parser.getDom()) << out;
    }
    JValue made = JValue::array();
    made.append(JValue(std::nan("")));
    made.append(JValue(HUGE_VAL));
    made.append(JValue(std::string("a\xC0\xAF"
                                   "b\xED\xA0\x80")));
    std::string out = made.stringify();
    JDomParser parser;
    ASSERT_TRUE(parser.parse(out, schema)) << out << ": " << parser.errorText();
    EXPECT_TRUE(parser.getDom()[0].isNull());
    EXPECT_TRUE(parser.getDom()[1].isNull());
    EXPECT_EQ(parser.getDom()[2].asString(), "a\xEF\xBF\xBD\xEF\xBF\xBD"
                                             "b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Parse, FailureClearsEarlierDocument)
{
    JDomParser parser;
    JSchemaFragment schema(kObjectOrArray);
    ASSERT_TRUE(parser.parse("[1]", schema));
    EXPECT_FALSE(parser.parse("[1", schema));
    EXPECT_TRUE(parser.getDom().isNull());
}

TEST(Schema, TypeNamesSelectAcceptedValues)
{
    EXPECT_TRUE(parseOrNull("\"abc\"", R"({"type":"string"})").isString());
    EXPECT_EQ(JValue(42), parseOrNull("42", R"({"type":["integer"]})"));
    EXPECT_TRUE(parseOrNull("4.5", R"({"type":"integer"})").isNull());
    EXPECT_TRUE(parseOrNull("4.5", R"({"type":"number"})").isNumber());
    EXPECT_TRUE(parseOrNull("{}", R"({"type":"array"})").isNull());
    JDomParser parser;
    EXPECT_TRUE(parser.parse("null", JSchemaFragment(R"({"type":"null"})")));
}

TEST(Schema, MalformedSchemaAcceptsNothing)
{
    const char* const schemas[] = {
        "",
        "{}",
        R"({"type":"widget"})",
        R"({"type":["object",1]})",
        R"({"type":[]})",
        R"({"type":"object","extra":1})",
        R"(["object"])",
    };
    for (const char* text : schemas) {
        JSchemaFragment schema(text);
        EXPECT_FALSE(schema.isValid()) << text;
        EXPECT_FALSE(schema.accepts(JValue::object())) << text;
    }
    EXPECT_TRUE(JSchemaFragment(kObjectOrArray).isValid());
}

TEST(Generator, StringifiesOnlyWhatSchemaAccepts)
{
    JSchemaFragment schema(kObjectOrArray);
    std::string out = "untouched";
    EXPECT_FALSE(JGenerator::Stringify(JValue("text"), schema, out));
    EXPECT_EQ("untouched", out);
    JValue object = JValue::object();
    object.put("path", "/a/b");
    EXPECT_TRUE(JGenerator::Stringify(object, schema, out));
    EXPECT_EQ(R"({"path":"/a/b"})", out);
}

} // namespace
