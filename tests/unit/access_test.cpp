#include "access.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// Sets up the request's password sources for one case and clears them afterwards.
class AccessCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name :
             {"BOT_PASSWORD", "HTTP_X_BOT_PASSWORD", "HTTP_AUTHORIZATION", "QUERY_STRING"})
            unsetenv(name);
    }
    void TearDown() override {
        SetUp();
    }
    static void set(const char* name, const std::string& value) {
        setenv(name, value.c_str(), 1);
    }
};

TEST_F(AccessCheck, NodeWithoutPasswordLetsEverythingIn) {
    EXPECT_TRUE(access_granted());
    set("BOT_PASSWORD", "");
    set("HTTP_X_BOT_PASSWORD", "wrong");
    EXPECT_TRUE(access_granted());
}

TEST_F(AccessCheck, EachSourceGrantsOnItsOwn) {
    set("BOT_PASSWORD", "s3cret");
    EXPECT_FALSE(access_granted());
    set("HTTP_X_BOT_PASSWORD", "s3cret");
    EXPECT_TRUE(access_granted());
    set("HTTP_X_BOT_PASSWORD", "wrong");
    set("HTTP_AUTHORIZATION", "Bearer s3cret");
    EXPECT_TRUE(access_granted());
    set("HTTP_AUTHORIZATION", "Basic s3cret");
    set("QUERY_STRING", "action=scores&pwd=s3cret");
    EXPECT_TRUE(access_granted());
}

TEST_F(AccessCheck, BearerTokenForms) {
    set("BOT_PASSWORD", "tok");
    for (const char* good : {"Bearer tok", "   Bearer tok", "Bearer    tok"}) {
        set("HTTP_AUTHORIZATION", good);
        EXPECT_TRUE(access_granted()) << good;
    }
    for (const char* bad : {"Bearer\ttok", "bearer tok", "Bearertok", "Bearer tok ", "\tBearer tok",
                            "Token tok", "Bearer "}) {
        set("HTTP_AUTHORIZATION", bad);
        EXPECT_FALSE(access_granted()) << bad;
    }
}

TEST_F(AccessCheck, LeadingSpacesInThePasswordDefeatOnlyTheBearerToken) {
    set("BOT_PASSWORD", "  pw");
    set("HTTP_AUTHORIZATION", "Bearer   pw");
    EXPECT_FALSE(access_granted());
    set("HTTP_X_BOT_PASSWORD", "  pw");
    EXPECT_TRUE(access_granted());
}

TEST_F(AccessCheck, PasswordFieldIsDecodedAndCut) {
    set("BOT_PASSWORD", "a+b&c");
    set("QUERY_STRING", "pwd=a+b%26c");
    EXPECT_FALSE(access_granted());
    set("QUERY_STRING", "pwd=a%2Bb%26c");
    EXPECT_TRUE(access_granted());
    set("QUERY_STRING", "pwd=&pwd=a%2Bb%26c");
    EXPECT_FALSE(access_granted()) << "only the first pwd field counts";

    std::string long_password(256, 'p');
    set("BOT_PASSWORD", long_password);
    set("QUERY_STRING", "pwd=" + long_password);
    EXPECT_FALSE(access_granted());
    set("HTTP_X_BOT_PASSWORD", long_password);
    EXPECT_TRUE(access_granted());
}

TEST(PasswordCompare, WholeTextsOnly) {
    EXPECT_TRUE(password_equal("abc", "abc"));
    EXPECT_TRUE(password_equal("", ""));
    EXPECT_FALSE(password_equal("abc", "abd"));
    EXPECT_FALSE(password_equal("ab", "abc"));
    EXPECT_FALSE(password_equal("abcd", "abc"));
    EXPECT_FALSE(password_equal("ABC", "abc"));
    EXPECT_FALSE(password_equal("", "abc"));
}

} // namespace
