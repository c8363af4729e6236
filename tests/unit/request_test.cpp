#include "request.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

std::string score_text(const char* query, const char* body) {
    char out[SCORE_TEXT_CAP];
    extract_score_text(query, body, out);
    return out;
}

TEST(ScoreText, PrecedenceOfQueryAndBodyFields) {
    EXPECT_EQ(score_text("val=12", "val=99"), "12");
    EXPECT_EQ(score_text("score=7", "val=8"), "8");
    EXPECT_EQ(score_text("score=7", "score=9"), "9");
    EXPECT_EQ(score_text("score=7", "name=x"), "7");
    EXPECT_EQ(score_text("", "val=&score=5"), "5")
        << "an empty body val skips body score, not the scan";
    EXPECT_EQ(score_text("val=", "score=5"), "5") << "the body scan still runs";
}

TEST(ScoreText, EmptyQueryValShutsOutTheBodyFieldsButNotTheScan) {
    EXPECT_EQ(score_text("val=", "name=ab2&score=50"), "2&score=50");
    EXPECT_EQ(score_text("val=&score=3", "score=50"), "3");
}

TEST(ScoreText, BodyScanTakesTheRestFromTheFirstDigitOrMinus) {
    EXPECT_EQ(score_text("", "{\"points\": 1500}"), "1500}");
    EXPECT_EQ(score_text("", "a-b 12"), "-b 12");
    EXPECT_EQ(score_text("", "no number"), "");
    std::string long_body = "x" + std::string(100, '7');
    EXPECT_EQ(score_text("", long_body.c_str()), std::string(63, '7'));
}

TEST(BodyLength, ReadsAtMost2047AndNothingForBadValues) {
    EXPECT_EQ(body_length(nullptr), 0u);
    EXPECT_EQ(body_length(""), 0u);
    EXPECT_EQ(body_length("0"), 0u);
    EXPECT_EQ(body_length("-5"), 0u);
    EXPECT_EQ(body_length("abc"), 0u);
    EXPECT_EQ(body_length(" 12"), 12u);
    EXPECT_EQ(body_length("+12x"), 12u);
    EXPECT_EQ(body_length("2047"), 2047u);
    EXPECT_EQ(body_length("2048"), 2047u);
    EXPECT_EQ(body_length("99999999999999999999"), 2047u);
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
