#include "platform.hpp"
#include "score_store.hpp"

#include "cases.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<int32_t> entries(const score_table& t) {
    return std::vector<int32_t>(t.scores, t.scores + t.count);
}

std::vector<int32_t> parsed(const std::string& text) {
    score_table t;
    score_table_parse(&t, text.c_str());
    for (int i = t.count; i < MAX_SCORES; i++)
        EXPECT_EQ(t.scores[i], 0) << "entries past count stay 0";
    return entries(t);
}

score_table table_of(std::initializer_list<int32_t> values) {
    score_table t = {};
    for (int32_t v : values)
        t.scores[t.count++] = v;
    return t;
}

using V = std::vector<int32_t>;

// The entries column of tests/cases/score_files.tsv.
V entry_list(const std::string& text) {
    V out;
    if (text == "none")
        return out;
    std::stringstream in(text);
    std::string entry;
    while (std::getline(in, entry, ','))
        out.push_back(static_cast<int32_t>(std::stol(entry)));
    return out;
}

// The scan takes what it can from any text, at most ten entries, and stops at the closing
// bracket. The process suite loads the same texts from files.
TEST(ScoreFileScan, CasesOfTheSharedTable) {
    for (const case_row& row : read_cases("score_files.tsv")) {
        ASSERT_EQ(row.size(), 2u) << describe(row);
        EXPECT_EQ(parsed(row[0]), entry_list(row[1])) << describe(row);
    }
}

TEST(Insertion, KeepsOrderAndDuplicates) {
    score_table t = table_of({800, 500, 300});
    score_table_insert(&t, 500);
    EXPECT_EQ(entries(t), (V{800, 500, 500, 300}));
    score_table_insert(&t, 900);
    score_table_insert(&t, 1);
    EXPECT_EQ(entries(t), (V{900, 800, 500, 500, 300, 1}));
}

TEST(Insertion, FullTableDropsItsLastOnlyForAHigherScore) {
    score_table t = table_of({1000, 900, 800, 700, 600, 500, 400, 300, 200, 100});
    score_table_insert(&t, 100);
    EXPECT_EQ(entries(t), (V{1000, 900, 800, 700, 600, 500, 400, 300, 200, 100}));
    score_table_insert(&t, 101);
    EXPECT_EQ(entries(t), (V{1000, 900, 800, 700, 600, 500, 400, 300, 200, 101}));
    score_table_insert(&t, 2000);
    EXPECT_EQ(entries(t), (V{2000, 1000, 900, 800, 700, 600, 500, 400, 300, 200}));
}

TEST(Insertion, HandEditedOrderIsKept) {
    // The walk back stops at the first entry that is not smaller, so 5 stays behind the 9.
    score_table t = table_of({3, 9});
    score_table_insert(&t, 5);
    EXPECT_EQ(entries(t), (V{3, 9, 5}));
    score_table_insert(&t, 4);
    EXPECT_EQ(entries(t), (V{3, 9, 5, 4}));
}

TEST(WrittenForm, ExactBytes) {
    char out[128];
    score_table one = table_of({1200});
    EXPECT_EQ(std::string(out, score_table_format(&one, out)), "{\"scores\":[1200]}\n");
    score_table full = table_of({2147483647, 2147483647, 2147483647, 2147483647, 2147483647,
                                 2147483647, 2147483647, 2147483647, 2147483647, 2147483647});
    EXPECT_EQ(score_table_format(&full, out), 123u);
}

// Each case gets its own score file through HV_PENTRA_SCORES.
class ScoreFile : public ::testing::Test {
  protected:
    fs::path dir;
    fs::path file;
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("pentra-store-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        file = dir / "scores.json";
        setenv("HV_PENTRA_SCORES", file.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("HV_PENTRA_SCORES");
        fs::remove_all(dir);
    }
    static std::string read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static void write(const fs::path& p, const std::string& text) {
        std::ofstream(p, std::ios::binary) << text;
    }
};

TEST_F(ScoreFile, SaveThenLoadRoundTrips) {
    score_table t = table_of({1200, 800});
    ASSERT_TRUE(score_table_save(&t));
    EXPECT_EQ(read(file), "{\"scores\":[1200,800]}\n");
    score_table loaded;
    score_table_load(&loaded);
    EXPECT_EQ(entries(loaded), (V{1200, 800}));
    EXPECT_FALSE(fs::exists(dir / "scores.json.tmp")) << "no temporary file is left behind";
}

TEST_F(ScoreFile, MissingFileLoadsEmpty) {
    score_table t = table_of({5});
    score_table_load(&t);
    EXPECT_EQ(t.count, 0);
    EXPECT_EQ(t.scores[0], 0);
}

TEST_F(ScoreFile, OnlyTheFirst2047BytesAreSeen) {
    write(file, "[" + std::string(2045, ' ') + "7,8]");
    score_table t;
    score_table_load(&t);
    EXPECT_EQ(entries(t), (V{7}));
}

TEST_F(ScoreFile, SymbolicLinkStaysALink) {
    fs::path target = dir / "real.json";
    write(target, "{\"scores\":[50]}\n");
    fs::create_symlink("real.json", file);
    score_table t = table_of({60, 50});
    ASSERT_TRUE(score_table_save(&t));
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(read(target), "{\"scores\":[60,50]}\n");
}

TEST_F(ScoreFile, DanglingLinkCreatesItsTarget) {
    fs::create_symlink(dir / "new.json", file);
    score_table t = table_of({7});
    ASSERT_TRUE(score_table_save(&t));
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(read(dir / "new.json"), "{\"scores\":[7]}\n");
}

TEST_F(ScoreFile, DirectoryAtThePathIsNeverReplaced) {
    fs::create_directory(file);
    score_table t = table_of({7});
    EXPECT_FALSE(score_table_save(&t));
    EXPECT_TRUE(fs::is_directory(file));
    score_table_load(&t);
    EXPECT_EQ(t.count, 0);
}

TEST_F(ScoreFile, LinkLoopIsRefusedForSaveAndLock) {
    fs::create_symlink("scores.json", file);
    score_table t = table_of({7});
    EXPECT_FALSE(score_table_save(&t));
    score_lock lock;
    EXPECT_FALSE(score_store_lock(&lock));
    EXPECT_FALSE(fs::exists(dir / "scores.json.tmp"));
    EXPECT_FALSE(fs::exists(dir / "scores.json.lock"));
}

TEST_F(ScoreFile, WhateverLiesAtTheTemporaryPathIsReplaced) {
    // A link there must not redirect the write, nor a FIFO hang it, nor either block saves.
    write(file, "{\"scores\":[50]}\n");
    fs::create_symlink("victim", dir / "scores.json.tmp");
    score_table t = table_of({60, 50});
    EXPECT_TRUE(score_table_save(&t));
    EXPECT_FALSE(fs::exists(dir / "victim"));
    EXPECT_EQ(read(file), "{\"scores\":[60,50]}\n");

    ASSERT_EQ(mkfifo((dir / "scores.json.tmp").c_str(), 0600), 0);
    t = table_of({70, 60, 50});
    EXPECT_TRUE(score_table_save(&t));
    EXPECT_EQ(read(file), "{\"scores\":[70,60,50]}\n");
    EXPECT_FALSE(fs::exists(dir / "scores.json.tmp"));

    // A directory there cannot be cleared: the save fails and the file stays as it was.
    fs::create_directory(dir / "scores.json.tmp");
    t = table_of({80, 70, 60, 50});
    EXPECT_FALSE(score_table_save(&t));
    EXPECT_EQ(read(file), "{\"scores\":[70,60,50]}\n");
}

TEST_F(ScoreFile, LinkResultsThatDoNotFitAreRefused) {
    // Each path fits in cap bytes; what its link leads to does not.
    fs::path abs = dir / "abs";
    fs::path rel = dir / "rel";
    const size_t cap = rel.native().size() + 4;
    fs::create_symlink("/" + std::string(cap, 'a'), abs);
    fs::create_symlink(std::string(8, 'r'), rel);
    std::vector<char> out(cap + 8, '#');
    EXPECT_FALSE(platform_resolve_links(std::string(cap, 'p').c_str(), out.data(), cap));
    EXPECT_FALSE(platform_resolve_links(abs.c_str(), out.data(), cap));
    EXPECT_FALSE(platform_resolve_links(rel.c_str(), out.data(), cap));
    EXPECT_EQ(std::string(out.begin() + static_cast<long>(cap), out.end()), std::string(8, '#'))
        << "nothing is written past cap";
}

// A link of another user's in a folder that others may write to may have been planted to
// turn a save into a write elsewhere. Giving a link to another user needs root.
class PlantedLink : public ScoreFile {
  protected:
    fs::path folder;
    fs::path victim;
    void SetUp() override {
        ScoreFile::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "only root can give a link to another user";
        folder = dir / "open";
        fs::create_directory(folder);
        victim = dir / "victim.json";
        write(victim, "{\"scores\":[123]}\n");
        setenv("HV_PENTRA_SCORES", (folder / "scores.json").c_str(), 1);
    }
    // Makes a link at name in the folder, owned by uid, to target.
    void link(const char* name, const fs::path& target, uid_t uid) const {
        fs::create_symlink(target, folder / name);
        ASSERT_EQ(lchown((folder / name).c_str(), uid, uid), 0);
    }
    static std::vector<std::string> listing(const fs::path& p) {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(p))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // Nothing reads through the links, and nothing is written or created anywhere.
    void expect_refused() const {
        const auto before = listing(folder);
        score_table t = table_of({5});
        score_table_load(&t);
        EXPECT_EQ(t.count, 0) << "read as an empty table";
        score_lock lock;
        EXPECT_FALSE(score_store_lock(&lock));
        score_store_unlock(&lock);
        t = table_of({7});
        EXPECT_FALSE(score_table_save(&t));
        EXPECT_EQ(read(victim), "{\"scores\":[123]}\n");
        EXPECT_EQ(listing(dir), (std::vector<std::string>{"open", "victim.json"}))
            << "no lock or temporary file beside the target";
        EXPECT_EQ(listing(folder), before);
    }
    // The link is read and written through; it stays a link.
    void expect_followed() const {
        score_table t;
        score_table_load(&t);
        EXPECT_EQ(entries(t), (V{123}));
        score_lock lock;
        EXPECT_TRUE(score_store_lock(&lock));
        score_table_insert(&t, 200);
        EXPECT_TRUE(score_table_save(&t));
        score_store_unlock(&lock);
        EXPECT_EQ(read(victim), "{\"scores\":[200,123]}\n");
        EXPECT_TRUE(fs::is_symlink(folder / "scores.json"));
    }
};

TEST_F(PlantedLink, IsNeitherReadNorWrittenThrough) {
    ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
    link("scores.json", victim, 65534);
    expect_refused();
    // Group members are other users too, and a folder without the sticky bit is as open.
    ASSERT_EQ(chmod(folder.c_str(), 0775), 0);
    expect_refused();
    // Every link of a chain is judged: the program's own link leads to a planted one.
    fs::remove(folder / "scores.json");
    link("hop", victim, 65534);
    link("scores.json", "hop", 0);
    expect_refused();
    // No link is followed at the lock's path, planted or not.
    fs::remove(folder / "scores.json");
    write(folder / "scores.json", "{\"scores\":[9]}\n");
    link("scores.json.lock", dir / "elsewhere", 0);
    score_lock lock;
    EXPECT_FALSE(score_store_lock(&lock));
    EXPECT_FALSE(fs::exists(dir / "elsewhere"));
}

TEST_F(PlantedLink, OfTheProgramsUserOrTheFoldersOwnerIsFollowed) {
    ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
    link("scores.json", victim, 0);
    expect_followed();
    fs::remove(folder / "scores.json");
    ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    link("scores.json", victim, 65534);
    write(victim, "{\"scores\":[123]}\n");
    expect_followed();
    // Anyone's link counts in a folder that only its owner may write to.
    ASSERT_EQ(chown(folder.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    write(victim, "{\"scores\":[123]}\n");
    expect_followed();
}

TEST_F(ScoreFile, LockIsReleasedAndItsFileKept) {
    score_lock first;
    ASSERT_TRUE(score_store_lock(&first));
    score_lock second;
    score_store_unlock(&first);
    ASSERT_TRUE(score_store_lock(&second));
    score_store_unlock(&second);
    EXPECT_TRUE(fs::exists(dir / "scores.json.lock"));
}

} // namespace
