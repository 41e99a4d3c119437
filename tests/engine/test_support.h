#pragma once

#include "paths.h"
#include "process_service.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

// UTF-8 <-> filesystem paths, so non-ASCII names mean the same on Windows.
inline std::filesystem::path U8Path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string PathU8(const std::filesystem::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

// A fresh folder below the system's temporary folder, removed afterwards.
class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("tessolo-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string Str() const { return PathU8(path_); }
  std::string Sub(const std::string& name) const { return PathU8(path_ / U8Path(name)); }
  void Touch(const std::string& name) const { std::ofstream(path_ / U8Path(name)) << "x"; }
  bool Has(const std::string& name) const { return std::filesystem::exists(path_ / U8Path(name)); }

 private:
  std::filesystem::path path_;
};

// Sets a variable of this process's environment, which started children
// inherit; an empty value removes it.
inline void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
#endif
}

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(U8Path(path), std::ios::binary);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The stand-in packer, built beside the test program.
inline std::string StandIn() {
#ifdef _WIN32
  return JoinPath(OwnFolder(), "fake_gfxpak.exe");
#else
  return JoinPath(OwnFolder(), "fake_gfxpak");
#endif
}

// A process service that starts nothing: it records every command line and
// its style, and each "process" ends after a scripted number of passes with
// the exit the test chose.
class ScriptedProcesses final : public ProcessService {
 public:
  struct Started {
    std::string command_line;
    std::int16_t style;
    std::string folder;
    ChildEnvironment environment;
  };
  std::vector<Started> started;
  std::function<ProcessExit(const std::string&)> exit_for = [](const std::string&) { return ProcessExit{}; };
  std::function<std::error_code(const std::string&)> start_error = [](const std::string&) {
    return std::error_code();
  };
  // What each command writes to its standard error.
  std::function<std::string(const std::string&)> errors_for = [](const std::string&) { return std::string(); };
  int polls_until_end = 1;

  std::error_code Start(std::string_view command_line, std::int16_t style, std::string_view folder,
                        const ChildEnvironment& environment, std::unique_ptr<ChildProcess>& process) override {
    const std::string line(command_line);
    if (std::error_code error = start_error(line)) return error;
    started.push_back({line, style, std::string(folder), environment});
    process = std::make_unique<Child>(polls_until_end, exit_for(line), errors_for(line));
    return {};
  }

 private:
  class Child final : public ChildProcess {
   public:
    Child(int polls, ProcessExit exit, std::string errors)
        : polls_left_(polls), exit_(exit), errors_(std::move(errors)) {}
    std::optional<ProcessExit> Poll() override {
      if (--polls_left_ > 0) return std::nullopt;
      return exit_;
    }
    void WaitForEndOrInput() override {}
    std::string ErrorOutput(std::size_t limit) override { return errors_.substr(0, limit); }

   private:
    int polls_left_;
    ProcessExit exit_;
    std::string errors_;
  };
};
