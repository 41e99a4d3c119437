#include "archive_rule.h"

#include <algorithm>
#include <array>
#include <span>

namespace {

// Stadiums whose o-files belong in zdata_05.big.
constexpr std::array<std::string_view, 17> kListA{
    "alpi", "amst", "anfi", "baya", "bern", "bolla", "camp", "gerl", "high",
    "mest", "oldt", "olim", "prin", "sami", "sans", "stoc", "west"};

// Stadiums whose o-files belong in zdata_06.big.
constexpr std::array<std::string_view, 11> kListB{
    "cald", "divo", "divt", "dumm", "geno", "gens", "hamb", "rura", "stam",
    "urba", "velo"};

// h-files containing "cd" with one of these prefixes go to zdata_06.big.
constexpr std::array<std::string_view, 14> kListC{
    "alpi", "amst", "cald", "camp", "divo", "divt", "gens", "hamb", "olim",
    "rura", "sans", "stam", "urba", "velo"};

// h-files with neither letter pair and one of these prefixes go to zdata_05.big.
constexpr std::array<std::string_view, 5> kListD{"high", "oldt", "prin", "stoc", "west"};

bool BeginsWithAny(std::string_view name, std::span<const std::string_view> prefixes) {
  return std::ranges::any_of(prefixes, [name](std::string_view p) { return name.starts_with(p); });
}

}  // namespace

std::optional<std::string_view> ChooseArchive(std::string_view name) {
  if (name.empty()) return std::nullopt;

  if (name.back() == 'o') {
    // For o-files only the prefix counts; the letter pairs play no part.
    if (BeginsWithAny(name, kListA)) return kArchive05;
    if (BeginsWithAny(name, kListB)) return kArchive06;
    return std::nullopt;
  }

  // Everything else is an h-file and always gets an archive. "cd" anywhere
  // in the name outranks "cn" anywhere in it.
  if (name.find("cd") != std::string_view::npos) {
    return BeginsWithAny(name, kListC) ? kArchive06 : kArchive05;
  }
  if (name.find("cn") != std::string_view::npos) {
    return BeginsWithAny(name, kListA) ? kArchive05 : kArchive06;
  }
  return BeginsWithAny(name, kListD) ? kArchive05 : kArchive06;
}
