#pragma once

// The rule alone: which archive a stadium file's name calls for, a pure
// function of the name. select_archive.h applies it to the run's current
// file and tells the player when no archive fits.

#include <optional>
#include <string_view>

// The two game archives a stadium file can go into.
inline constexpr std::string_view kArchive05 = "zdata_05.big";
inline constexpr std::string_view kArchive06 = "zdata_06.big";

// Chooses the target archive for a stadium file from its bare name alone.
// Returns kArchive05 or kArchive06, or no value when the name is an o-file
// (last character 'o') that begins with none of the known stadium prefixes.
// Every comparison is exact and case-sensitive. An empty name is rejected.
std::optional<std::string_view> ChooseArchive(std::string_view name);
