#include "access.hpp"

#include <gtest/gtest.h>

#include "cases.hpp"

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

// Each source on its own, the bearer token's forms, the decoded password field; the process
// suite runs the program with the same environments.
TEST_F(AccessCheck, CasesOfTheSharedTable) {
    for (const case_row& row : read_cases("access.tsv")) {
        SetUp();
        for (size_t i = 1; i < row.size(); i++) {
            size_t eq = row[i].find('=');
            ASSERT_NE(eq, std::string::npos) << describe(row);
            set(row[i].substr(0, eq).c_str(), row[i].substr(eq + 1));
        }
        EXPECT_EQ(access_granted() ? "granted" : "refused", row[0]) << describe(row);
    }
}

TEST_F(AccessCheck, PasswordFieldIsCut) {
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
    for (const char* supplied : {"ab", "abcd", "ABC", ""})
        EXPECT_FALSE(password_equal(supplied, "abc")) << supplied;
}

} // namespace
