#include "score_path.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string joined(const std::string& first, const std::string& second) {
    char out[PATH_MAX_LEN];
    path_join(out, first.c_str(), second.c_str());
    return out;
}

TEST(PathJoin, SeparatorAndCuts) {
    EXPECT_EQ(joined("a", "b"), "a/b");
    EXPECT_EQ(joined("", "b"), "b");
    EXPECT_EQ(joined("a/", "b"), "a//b");
    EXPECT_EQ(joined(std::string(1022, 'x'), "b"), std::string(1022, 'x') + "/");
    EXPECT_EQ(joined(std::string(1023, 'x'), "b"), std::string(1023, 'x'));
    EXPECT_EQ(joined(std::string(2000, 'x'), "b"), std::string(1023, 'x'));
    EXPECT_EQ(joined(std::string(1020, 'x'), "bcd"), std::string(1020, 'x') + "/bc");
    EXPECT_EQ(joined("", std::string(2000, 'y')), std::string(1023, 'y'));
}

// Runs each case in a fresh directory with the location variables cleared.
class Location : public ::testing::Test {
  protected:
    fs::path root;
    fs::path old_cwd;
    void SetUp() override {
        for (const char* name : {"HV_PENTRA_SCORES", "BOT_PLUGIN_DIR", "XDG_DATA_HOME", "HOME"})
            unsetenv(name);
        root = fs::temp_directory_path() /
               ("pentra-location-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
        old_cwd = fs::current_path();
        fs::current_path(root);
    }
    void TearDown() override {
        fs::current_path(old_cwd);
        fs::remove_all(root);
        for (const char* name : {"HV_PENTRA_SCORES", "BOT_PLUGIN_DIR", "XDG_DATA_HOME", "HOME"})
            unsetenv(name);
    }
    static std::string located() {
        char out[PATH_MAX_LEN];
        EXPECT_TRUE(scores_path(out));
        return out;
    }
};

TEST_F(Location, ExplicitFileWinsAndCreatesNothing) {
    std::string file = (root / "deep" / "s.json").string();
    setenv("HV_PENTRA_SCORES", file.c_str(), 1);
    setenv("BOT_PLUGIN_DIR", (root / "plugdir").c_str(), 1);
    EXPECT_EQ(located(), file);
    EXPECT_FALSE(fs::exists(root / "deep"));
    EXPECT_FALSE(fs::exists(root / "plugdir"));
}

TEST_F(Location, EmptyVariablesCountAsUnset) {
    setenv("HV_PENTRA_SCORES", "", 1);
    setenv("BOT_PLUGIN_DIR", "", 1);
    setenv("XDG_DATA_HOME", "", 1);
    setenv("HOME", "", 1);
    EXPECT_EQ(located(), "./plugins/.pentra_scores.json");
    EXPECT_TRUE(fs::is_directory(root / "plugins"));
}

TEST_F(Location, PluginDirHoldsTheFileDirectly) {
    std::string dir = (root / "data").string();
    setenv("BOT_PLUGIN_DIR", dir.c_str(), 1);
    EXPECT_EQ(located(), dir + "/.pentra_scores.json");
    EXPECT_TRUE(fs::is_directory(dir));
}

TEST_F(Location, PerUserBaseDirectories) {
    setenv("HOME", root.c_str(), 1);
    EXPECT_EQ(located(), root.string() + "/.halvoren/plugins/.pentra_scores.json");
    EXPECT_TRUE(fs::is_directory(root / ".halvoren" / "plugins"));

    setenv("XDG_DATA_HOME", (root / "share").c_str(), 1);
    fs::create_directory(root / "share");
    EXPECT_EQ(located(), root.string() + "/share/halvoren/plugins/.pentra_scores.json");
    EXPECT_TRUE(fs::is_directory(root / "share" / "halvoren" / "plugins"));
}

TEST_F(Location, OnlyTheLastTwoLevelsAreCreated) {
    setenv("XDG_DATA_HOME", (root / "missing").c_str(), 1);
    EXPECT_EQ(located(), (root / "missing").string() + "/halvoren/plugins/.pentra_scores.json");
    EXPECT_FALSE(fs::exists(root / "missing"));
}

} // namespace
