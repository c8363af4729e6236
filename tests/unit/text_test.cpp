#include "text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

struct lookup {
    int found;
    std::string value;
};

lookup find(const char* text, const char* name, size_t cap = 64) {
    char out[256];
    int found = get_query_val(text, name, out, cap);
    return {found, out};
}

TEST(FieldLookup, FirstFieldAtASegmentStartWins) {
    EXPECT_EQ(find("a=1&val=42&val=7", "val").value, "42");
    EXPECT_EQ(find("&val=3", "val").value, "3");
    EXPECT_EQ(find("&&val=3", "val").value, "3");
    EXPECT_EQ(find("val=a=b", "val").value, "a=b");
}

TEST(FieldLookup, NamesMatchOnlyWholeAndUndecoded) {
    for (const char* text : {"xval=5", "val5=1", "VAL=5", "v%61l=5", "val", "a=1&", ""})
        EXPECT_EQ(find(text, "val").found, 0) << text;
    EXPECT_EQ(find(nullptr, "val").found, 0);
}

TEST(FieldLookup, EmptyValueIsPresent) {
    for (const char* text : {"val=", "val=&x=1"}) {
        EXPECT_EQ(find(text, "val").found, 1) << text;
        EXPECT_EQ(find(text, "val").value, "") << text;
    }
}

TEST(FieldLookup, DecodesEscapesOnceAndKeepsBrokenOnes) {
    EXPECT_EQ(find("v=a+b%20c", "v").value, "a b c");
    EXPECT_EQ(find("v=%41%62", "v").value, "Ab");
    EXPECT_EQ(find("v=%c3%A9%fF", "v").value, "\xc3\xa9\xff") << "either case of hex digit";
    EXPECT_EQ(find("v=%2B1", "v").value, "+1");
    EXPECT_EQ(find("v=%2541", "v").value, "%41");
    EXPECT_EQ(find("v=12%3", "v").value, "12%3");
    EXPECT_EQ(find("v=%zz1", "v").value, "%zz1");
    EXPECT_EQ(find("v=%%41", "v").value, "%A");
    EXPECT_EQ(find("v=%", "v").value, "%");
    EXPECT_EQ(find("v=5%0017", "v").value, "5");
}

TEST(FieldLookup, CutsTheRawValueBeforeDecoding) {
    std::string text = "val=" + std::string(61, '1') + "%41" + std::string(36, '9');
    // The first 63 raw bytes end in "%4", which the cut leaves undecoded.
    EXPECT_EQ(find(text.c_str(), "val").value, std::string(61, '1') + "%4");
    EXPECT_EQ(find("val=123456", "val", 4).value, "123");
}

TEST(BoundedCopy, CutsAtCapacity) {
    char out[8];
    str_copy(out, sizeof out, "1234567");
    EXPECT_STREQ(out, "1234567");
    str_copy(out, sizeof out, "12345678");
    EXPECT_STREQ(out, "1234567");
    str_copy(out, sizeof out, nullptr);
    EXPECT_STREQ(out, "");
}

TEST(DecimalReading, SignsSpacesAndSaturation) {
    for (const char* text : {" \t\n\v\f\r42abc", "+42", "42.9"})
        EXPECT_EQ(parse_int32(text), 42) << text;
    EXPECT_EQ(parse_int32("-7"), -7);
    for (const char* text : {"abc", "- 5", "+-5"})
        EXPECT_EQ(parse_int32(text), 0) << text;
    for (const char* text : {"2147483647", "2147483648", "99999999999999999999999999"})
        EXPECT_EQ(parse_int32(text), INT32_MAX) << text;
    for (const char* text : {"-2147483648", "-99999999999"})
        EXPECT_EQ(parse_int32(text), INT32_MIN) << text;
}

TEST(DecimalWriting, ExtremesAndZero) {
    char out[24];
    EXPECT_EQ(format_int(out, 0), 1u);
    EXPECT_STREQ(out, "0");
    format_int(out, INT32_MAX);
    EXPECT_STREQ(out, "2147483647");
    format_int(out, INT32_MIN);
    EXPECT_STREQ(out, "-2147483648");
}

} // namespace
