#pragma once

// Named process_service.h: a header called process.h would shadow the
// C runtime's own <process.h> for every file on the engine's include path.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

// How a child process ended.
struct ProcessExit {
  // True when the process died of a signal (POSIX) or an unhandled exception
  // (Windows); code then holds the signal or the exception code.
  bool crashed = false;
  std::uint32_t code = 0;

  bool Succeeded() const { return !crashed && code == 0; }
};

// "exit code 3", "crashed (signal 11)", "crashed (exception 0xC0000005)".
std::string DescribeExit(const ProcessExit& exit);

// A started child process. Destroying it releases its handle; it does not
// stop the process.
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;
  // Without blocking: the exit once the process has ended, else nothing.
  virtual std::optional<ProcessExit> Poll() = 0;
  // Blocks until the process ends or window input arrives for this thread,
  // whichever is first. Returns at once if the process has already ended.
  virtual void WaitForEndOrInput() = 0;
  // Once the process has ended: what it wrote to its standard error, at most
  // limit bytes from the start; empty when that could not be kept.
  virtual std::string ErrorOutput(std::size_t limit) = 0;
};

// Variables that one child gets on top of this process's environment, each
// "NAME=value"; a name we have too takes the new value.
using ChildEnvironment = std::vector<std::string>;

class ProcessService {
 public:
  virtual ~ProcessService() = default;
  // Starts a command line (program name and arguments in one string, split
  // by the rules of a Windows program's runtime) with a show-window code, in
  // the working folder given (empty: this process's current folder) and with
  // the variables given. The folder does not take part in finding the
  // program.
  virtual std::error_code Start(std::string_view command_line, std::int16_t show_style,
                                std::string_view working_folder, const ChildEnvironment& environment,
                                std::unique_ptr<ChildProcess>& process) = 0;
};

// The real processes of this platform: CreateProcessW on Windows,
// posix_spawnp elsewhere. No shell is involved. The child's standard error
// goes to a temporary file of its own, never a pipe: a pipe that nobody reads
// while we wait for the end fills up, and a child that writes more than it
// holds would then wait for us as we wait for it. The file goes with the
// child's ChildProcess.
class SystemProcesses final : public ProcessService {
 public:
  std::error_code Start(std::string_view command_line, std::int16_t show_style, std::string_view working_folder,
                        const ChildEnvironment& environment, std::unique_ptr<ChildProcess>& process) override;
};
