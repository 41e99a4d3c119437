#include "process_service.h"
#include "command_line.h"
#include "owned_handle.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

extern char** environ;

namespace {

// pidfd_open through syscall(): older C libraries have no wrapper for it.
int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

ProcessExit ExitFromStatus(int status) {
  ProcessExit exit;
  if (WIFSIGNALED(status)) {
    exit.crashed = true;
    exit.code = static_cast<std::uint32_t>(WTERMSIG(status));
  } else {
    exit.code = static_cast<std::uint32_t>(WEXITSTATUS(status));
  }
  return exit;
}

// An unnamed file for a child's standard error: made and unlinked at once,
// so it goes when the last descriptor does, however the tool ends.
OwnedHandle ErrorCaptureFile() {
  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tessolo-err.XXXXXX";
  OwnedHandle fd(mkostemp(path.data(), O_CLOEXEC));
  if (fd.valid()) unlink(path.c_str());
  return fd;
}

class PosixChild final : public ChildProcess {
 public:
  PosixChild(pid_t pid, OwnedHandle pidfd, OwnedHandle errors)
      : pid_(pid), pidfd_(std::move(pidfd)), errors_(std::move(errors)) {}

  std::optional<ProcessExit> Poll() override {
    if (exit_) return exit_;
    int status = 0;
    pid_t r;
    do {
      r = waitpid(pid_, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) exit_ = ExitFromStatus(status);
    return exit_;
  }

  // There is no window input on this side, so this is a plain wait for the
  // end; without a pidfd, waitid with WNOWAIT leaves the reaping to Poll.
  void WaitForEndOrInput() override {
    if (exit_) return;
    if (pidfd_.valid()) {
      pollfd fd{pidfd_.get(), POLLIN, 0};
      while (poll(&fd, 1, -1) < 0 && errno == EINTR) {
      }
      return;
    }
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
  }

  std::string ErrorOutput(std::size_t limit) override {
    std::string text(limit, '\0');
    std::size_t got = 0;
    while (errors_.valid() && got < limit) {
      const ssize_t n = pread(errors_.get(), text.data() + got, limit - got, static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    return text;
  }

 private:
  pid_t pid_;
  OwnedHandle pidfd_;
  OwnedHandle errors_;
  std::optional<ProcessExit> exit_;
};

// The spawn's file actions, freed on every way out.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// This process's environment with the variables given set.
std::vector<std::string> EnvironmentWith(const ChildEnvironment& set) {
  std::vector<std::string> variables;
  for (char** at = environ; *at != nullptr; ++at) variables.emplace_back(*at);
  for (const std::string& variable : set) {
    const std::string name = variable.substr(0, variable.find('=') + 1);
    std::erase_if(variables, [&name](const std::string& v) { return v.starts_with(name); });
    variables.push_back(variable);
  }
  return variables;
}

}  // namespace

std::string DescribeExit(const ProcessExit& exit) {
  if (exit.crashed) return "crashed (signal " + std::to_string(exit.code) + ")";
  return "ended with exit code " + std::to_string(exit.code);
}

std::error_code SystemProcesses::Start(std::string_view command_line, std::int16_t /*show_style*/,
                                       std::string_view working_folder, const ChildEnvironment& environment,
                                       std::unique_ptr<ChildProcess>& process) {
  process.reset();
  std::vector<std::string> arguments = SplitCommandLine(command_line);
  if (arguments.empty() || arguments.front().empty()) return std::make_error_code(std::errc::invalid_argument);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  SpawnActions actions;
  const std::string folder(working_folder);
  // The child changes folder before it looks for the program: a bare name
  // is still found on PATH, a relative path would be taken from the new
  // folder (the packer is named bare or by a full path).
  if (!folder.empty()) {
    if (const int error = posix_spawn_file_actions_addchdir_np(actions.get(), folder.c_str()); error != 0) {
      return {error, std::generic_category()};
    }
  }
  // Without a file for them the child's errors go where ours go.
  OwnedHandle errors = ErrorCaptureFile();
  if (errors.valid()) {
    if (const int error = posix_spawn_file_actions_adddup2(actions.get(), errors.get(), STDERR_FILENO); error != 0) {
      return {error, std::generic_category()};
    }
  }
  std::vector<std::string> variables = EnvironmentWith(environment);
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  if (const int error = posix_spawnp(&pid, argv[0], actions.get(), nullptr, argv.data(), envp.data()); error != 0) {
    return {error, std::generic_category()};
  }
  // A child we have not reaped keeps its pid, so opening the pidfd after
  // the spawn cannot race with the end of the process.
  process = std::make_unique<PosixChild>(pid, OwnedHandle(OpenPidFd(pid)), std::move(errors));
  return {};
}
