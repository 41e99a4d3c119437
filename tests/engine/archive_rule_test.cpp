#include "archive_rule.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

constexpr std::optional<std::string_view> k05 = kArchive05;
constexpr std::optional<std::string_view> k06 = kArchive06;
constexpr std::optional<std::string_view> kRejected = std::nullopt;

struct NameCase {
  std::string name;
  std::optional<std::string_view> expected;
};

void ExpectAll(const std::vector<NameCase>& cases) {
  for (const auto& c : cases) {
    EXPECT_EQ(ChooseArchive(c.name), c.expected) << "name: \"" << c.name << "\"";
  }
}

// One row per known prefix: the archive for an o-file, for an h-file that
// contains "cd", for one that contains "cn" but no "cd", and for one with
// neither pair.
struct PrefixRow {
  const char* prefix;
  int o, cd, cn, neither;
};

constexpr PrefixRow kPrefixTable[] = {
    {"alpi", 5, 6, 5, 6}, {"amst", 5, 6, 5, 6}, {"anfi", 5, 5, 5, 6},
    {"baya", 5, 5, 5, 6}, {"bern", 5, 5, 5, 6}, {"bolla", 5, 5, 5, 6},
    {"camp", 5, 6, 5, 6}, {"gerl", 5, 5, 5, 6}, {"high", 5, 5, 5, 5},
    {"mest", 5, 5, 5, 6}, {"oldt", 5, 5, 5, 5}, {"olim", 5, 6, 5, 6},
    {"prin", 5, 5, 5, 5}, {"sami", 5, 5, 5, 6}, {"sans", 5, 6, 5, 6},
    {"stoc", 5, 5, 5, 5}, {"west", 5, 5, 5, 5}, {"cald", 6, 6, 6, 6},
    {"divo", 6, 6, 6, 6}, {"divt", 6, 6, 6, 6}, {"dumm", 6, 5, 6, 6},
    {"geno", 6, 5, 6, 6}, {"gens", 6, 6, 6, 6}, {"hamb", 6, 6, 6, 6},
    {"rura", 6, 6, 6, 6}, {"stam", 6, 6, 6, 6}, {"urba", 6, 6, 6, 6},
    {"velo", 6, 6, 6, 6},
};

std::optional<std::string_view> Archive(int which) { return which == 5 ? k05 : k06; }

TEST(ChooseArchive, EveryKnownPrefixByKindOfName) {
  for (const auto& row : kPrefixTable) {
    const std::string p = row.prefix;
    ExpectAll({
        {p + "_stadio.o", Archive(row.o)},
        {p + "_cd.h", Archive(row.cd)},
        {p + "_cn.h", Archive(row.cn)},
        {p + "_x.h", Archive(row.neither)},
    });
  }
}

TEST(ChooseArchive, NameWithoutKnownPrefix) {
  ExpectAll({
      {"zzzz_x.o", kRejected},
      {"zzzz_cd.h", k05},
      {"zzzz_cn.h", k06},
      {"zzzz_x.h", k06},
  });
}

TEST(ChooseArchive, OFiles) {
  ExpectAll({
      {"bern_xyz.o", k05},
      {"bolla_x.o", k05},
      {"velo_stadio.o", k06},
      {"dumm_x.o", k06},
      {"Bern_x.o", kRejected},   // case differs
      {"abcd_x.o", kRejected},   // the pairs play no part for o-files
      {"xcn_cd.o", kRejected},
      {"boll_x.o", kRejected},   // only the five-letter "bolla" is known
      {"bollo", kRejected},      // "boll" then 'o', not "bolla"
      {"bollao", k05},
      {"o", kRejected},
      {"berno", k05},
  });
}

TEST(ChooseArchive, HFilesWithCd) {
  ExpectAll({
      {"alpi_cd.h", k06},
      {"bern_cd.h", k05},
      {"geno_cd.h", k05},    // in List B but not in List C
      {"cdxx_a.h", k05},     // pair at the very first position
      {"alpi_x.cd", k06},    // pair ending at the last character
      {"cd", k05},           // the whole name is the pair
      {"alpi_cncd.h", k06},  // "cd" outranks an earlier "cn"
      {"alpi_cdcn.h", k06},  // ... and a later one
      {"dumm_cn_cd.h", k05}, // "cn" alone would give 06
  });
}

TEST(ChooseArchive, HFilesWithCnButNoCd) {
  ExpectAll({
      {"alpi_cn.h", k05},
      {"velo_cn.h", k06},
      {"amst_1.cnh", k05},  // the pair counts in the extension
      {"cnxx_a.h", k06},    // first position
      {"bern_x.cn", k05},   // last position
      {"velo_x.cn", k06},
      {"cn", k06},
      {"c_n.h", k06},       // split pair does not count
  });
}

TEST(ChooseArchive, HFilesWithNeitherPair) {
  ExpectAll({
      {"west_x.h", k05},
      {"alpi_x.h", k06},
      {"zzzz_x.h", k06},
      {"west_x.O", k05},    // last character is not 'o': an h-file
      {"h", k06},
      {"wes", k06},         // shorter than every prefix
      {"bolla", k06},       // ends in 'a', so not an o-file
  });
}

TEST(ChooseArchive, ComparisonsAreCaseSensitive) {
  ExpectAll({
      {"BERN_X.O", k06},     // no 'o' at the end: an h-file
      {"West_x.h", k06},     // not the List D prefix "west"
      {"alpi_CD.h", k06},    // "CD" is not the pair
      {"alpi_CN.h", k06},
      {"velo_Cd.h", k06},
      {"dumm_cD.h", k06},
  });
}

TEST(ChooseArchive, EmptyNameIsRejected) {
  EXPECT_EQ(ChooseArchive(""), kRejected);
  EXPECT_EQ(ChooseArchive(std::string_view{}), kRejected);
}

}  // namespace
