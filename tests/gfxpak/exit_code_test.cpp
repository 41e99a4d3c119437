// The cause a failure's exit code tells the caller, for the system's codes
// the command line cannot easily bring about (a full disk, a mapped file) as
// much as for gfxpak's own; cli_test.sh drives the ones it can.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "error.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#endif

namespace gfxpak {
namespace {

struct Case {
  std::error_code code;
  PackerExit exit;
};

std::error_code System(int value) {
#ifdef _WIN32
  return {value, std::system_category()};
#else
  return {value, std::generic_category()};
#endif
}

TEST(ExitCode, OneCodePerCauseAPlayerCanActOn) {
  const std::vector<Case> cases = {
      // gfxpak's own conditions
      {Errc::kInUse, PackerExit::kInUse},
      {Errc::kNotArchive, PackerExit::kDamaged},
      {Errc::kDamagedArchive, PackerExit::kDamaged},
      {Errc::kEmptyFile, PackerExit::kEmptyFile},
      {Errc::kUsage, PackerExit::kUsage},
      {Errc::kDamagedRestorePoint, PackerExit::kRefused},
      {Errc::kOutdatedRestorePoint, PackerExit::kRefused},
      {Errc::kNoEntry, PackerExit::kRefused},
      {Errc::kArchiveFull, PackerExit::kRefused},
      {Errc::kOutOfMemory, PackerExit::kRefused},
  // the system's, as each platform reports them
#ifdef _WIN32
      {System(ERROR_SHARING_VIOLATION), PackerExit::kInUse},
      {System(ERROR_USER_MAPPED_FILE), PackerExit::kInUse},
      {System(ERROR_ACCESS_DENIED), PackerExit::kAccessDenied},
      {System(ERROR_WRITE_PROTECT), PackerExit::kAccessDenied},
      {System(ERROR_DISK_FULL), PackerExit::kNoSpace},
      {System(ERROR_HANDLE_DISK_FULL), PackerExit::kNoSpace},
      {System(ERROR_FILE_NOT_FOUND), PackerExit::kRefused},
      // 28 is ENOSPC on POSIX, but on Windows a system code of its own.
      {System(ERROR_OUT_OF_PAPER), PackerExit::kRefused},
#else
      {System(EACCES), PackerExit::kAccessDenied},
      {System(EROFS), PackerExit::kAccessDenied},
      {System(EPERM), PackerExit::kAccessDenied},
      {System(ENOSPC), PackerExit::kNoSpace},
      {System(EDQUOT), PackerExit::kNoSpace},
      {System(EBUSY), PackerExit::kInUse},
      {System(ENOENT), PackerExit::kRefused},
      {std::error_code(EACCES, std::system_category()), PackerExit::kAccessDenied},
#endif
      // a code of another category is never taken for a system code
      {std::make_error_code(std::io_errc::stream), PackerExit::kRefused},
  };
  for (const Case& c : cases) {
    Error error{c.code, "zdata_05.big", "cannot write", {}, {}, {}, false};
    EXPECT_EQ(ExitCodeOf(error), c.exit) << c.code.category().name() << " " << c.code.value() << ": "
                                         << c.code.message();
  }
}

// A failed undo is told in the line; the exit code stays that of the
// failure that started it, which is what the player has to mend.
TEST(ExitCode, TheFirstFailureDecides) {
  Error error{System(
#ifdef _WIN32
                  ERROR_DISK_FULL
#else
                  ENOSPC
#endif
                  ),
              "zdata_05.big", "cannot write", {}, Errc::kInUse, "cannot undo", true};
  EXPECT_EQ(ExitCodeOf(error), PackerExit::kNoSpace);
}

// README's table of exit codes says what the protocol says, word for word
// (less the backticks around commands).
TEST(ExitCode, ReadmesTableIsTheProtocol) {
  std::ifstream readme(TESSOLO_README);
  ASSERT_TRUE(readme) << TESSOLO_README;
  std::vector<std::string> rows;
  bool table = false;
  for (std::string line; std::getline(readme, line);) {
    if (line == "| Code | Cause |") {
      table = true;
    } else if (table && line.rfind("| ", 0) == 0 && line.find("---") == std::string::npos) {
      std::string row;
      for (const char c : line) {
        if (c != '`') row += c;
      }
      rows.push_back(row);
    } else if (table && line.rfind("|-", 0) != 0) {
      break;
    }
  }
  ASSERT_EQ(rows.size(), kPackerExits.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& [code, meaning] = kPackerExits[i];
    EXPECT_EQ(rows[i], "| " + std::to_string(static_cast<int>(code)) + " | " + std::string(meaning) + " |");
  }
}

}  // namespace
}  // namespace gfxpak
