#include "file_list.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace {

TEST(WildcardMatch, WindowsRules) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  };
  const Case cases[] = {
      // the import pattern
      {"*_*.*", "bern_xyz.o", true},
      {"*_*.*", "a_b", true},  // ".*" also stands for no extension
      {"*_*.*", "a_b.c.d", true},
      {"*_*.*", "_.", true},
      {"*_*.*", "ab.o", false},  // no underscore
      {"*_*.*", "a.b_c", true},
      {"*.*", "README", true},
      {"*.o", "bern_x.o", true},
      {"*.o", "bern_x", false},
      // letter case is ignored, ASCII only
      {"*_*.*", "BERN_X.O", true},
      {"Bern_?.o", "bERN_x.O", true},
      {"é_*", "É_x", false},
      // '?' is one character, also a multi-byte one
      {"?_x", "é_x", true},
      {"??_x", "é_x", false},
      {"a?c", "ac", false},
      // backtracking over several stars
      {"*a*b*c", "xxaxxbxxbxc", true},
      {"*a*b*c", "xxaxxbxxbx", false},
      {"", "", true},
      {"", "a", false},
      {"*", "", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " vs " << c.name;
  }
}

TEST(FileList, ListsMatchingRegularFilesInCaseInsensitiveOrder) {
  TempDir dir;
  const std::string folder = dir.Sub("\xc3\x84rger \xc3\x9f");  // a folder name beyond ASCII
  std::filesystem::create_directory(U8Path(folder));
  for (const char* name : {"b_2.o", "B_1.h", "a_3.o", "no.o", "x_y", "z\xc3\xa9_1.h"}) {
    std::ofstream(U8Path(JoinPath(folder, name))) << "x";
  }
  std::filesystem::create_directory(U8Path(JoinPath(folder, "c_dir.o")));

  FileList list;
  EXPECT_FALSE(list.SetFolder(folder));
  EXPECT_FALSE(list.SetPattern("*_*.*"));
  std::vector<std::string> entries;
  for (std::int32_t i = 0; i < list.Count(); ++i) entries.push_back(list.Entry(i));
  EXPECT_EQ(entries, (std::vector<std::string>{"a_3.o", "B_1.h", "b_2.o", "x_y", "z\xc3\xa9_1.h"}));
}

TEST(FileList, OrderIgnoresCaseThenFallsBackToBytes) {
  EXPECT_TRUE(FileNameLess("a_1.o", "B_1.o"));
  EXPECT_TRUE(FileNameLess("A_1.o", "a_1.o"));
  EXPECT_FALSE(FileNameLess("a_1.o", "A_1.o"));
  EXPECT_TRUE(FileNameLess("a_1", "A_1.o"));
}

TEST(FileList, ReadsTheFolderAgainOnEverySet) {
  TempDir dir;
  dir.Touch("a_1.o");
  FileList list;
  ASSERT_FALSE(list.SetFolder(dir.Str()));
  ASSERT_FALSE(list.SetPattern("*_*.*"));
  EXPECT_EQ(list.Count(), 1);
  dir.Touch("a_2.o");
  EXPECT_EQ(list.Count(), 1);
  ASSERT_FALSE(list.SetFolder(dir.Str()));
  EXPECT_EQ(list.Count(), 2);
  std::filesystem::remove(U8Path(dir.Sub("a_1.o")));
  ASSERT_FALSE(list.SetPattern("*_*.*"));
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Entry(0), "a_2.o");
  // A folder that went away is an error, and the list is empty then.
  EXPECT_TRUE(list.SetFolder(dir.Sub("gone")));
  EXPECT_EQ(list.Count(), 0);
}

}  // namespace
