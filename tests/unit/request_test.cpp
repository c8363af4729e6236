#include "request.hpp"
#include "text.hpp"

#include <gtest/gtest.h>

#include "cases.hpp"

#include <cstdlib>
#include <string>

namespace {

std::string score_text(const char* query, const char* body) {
    char out[SCORE_TEXT_CAP];
    extract_score_text(query, body, out);
    return out;
}

// The precedence of the query and body fields, and the scan of the body from its first digit
// or minus sign; the process suite saves the same requests. The table's last column, the
// saved score, is the text's conversion.
TEST(ScoreText, CasesOfTheSharedTable) {
    for (const case_row& row : read_cases("score_texts.tsv")) {
        ASSERT_EQ(row.size(), 4u) << describe(row);
        std::string text = score_text(row[0].c_str(), row[1].c_str());
        EXPECT_EQ(text, row[2]) << describe(row);
        int32_t saved = parse_int32(text.c_str());
        if (row[3] == "invalid")
            EXPECT_LT(saved, 1) << describe(row);
        else
            EXPECT_EQ(std::to_string(saved), row[3]) << describe(row);
    }
}

TEST(ScoreText, BodyScanIsCutAtTheTextCapacity) {
    std::string long_body = "x" + std::string(100, '7');
    EXPECT_EQ(score_text("", long_body.c_str()), std::string(63, '7'));
}

TEST(BodyLength, ReadsAtMost2047AndNothingForBadValues) {
    EXPECT_EQ(body_length(nullptr), 0u);
    for (const char* text : {"", "0", "-5", "abc"})
        EXPECT_EQ(body_length(text), 0u) << text;
    for (const char* text : {" 12", "+12x"})
        EXPECT_EQ(body_length(text), 12u) << text;
    for (const char* text : {"2047", "2048", "99999999999999999999"})
        EXPECT_EQ(body_length(text), 2047u) << text;
}

class Routing : public ::testing::Test {
  protected:
    void TearDown() override {
        unsetenv("REQUEST_METHOD");
    }
};

TEST_F(Routing, JsonByActionRawTextOrPost) {
    unsetenv("REQUEST_METHOD");
    EXPECT_EQ(std::string(method()), "GET");
    EXPECT_FALSE(wants_json("", ""));
    EXPECT_TRUE(wants_json("action=x", "x"));
    EXPECT_TRUE(wants_json("name=format=json", ""));
    EXPECT_FALSE(wants_json("format%3Djson", ""));
    setenv("REQUEST_METHOD", "POST", 1);
    EXPECT_TRUE(wants_json("", ""));
    setenv("REQUEST_METHOD", "POSTAL", 1);
    EXPECT_TRUE(wants_json("", ""));
    setenv("REQUEST_METHOD", "post", 1);
    EXPECT_FALSE(wants_json("", ""));
    setenv("REQUEST_METHOD", "", 1);
    EXPECT_EQ(std::string(method()), "GET");
}

} // namespace
