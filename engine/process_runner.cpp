#include "process_runner.h"

#include "indicators.h"

#include <cmath>
#include <limits>
#include <type_traits>

namespace {

std::error_code StyleFromNumber(double value, std::int16_t& style) {
  // nearbyint in the default rounding mode rounds ties to even.
  const double rounded = std::nearbyint(value);
  if (!(rounded >= std::numeric_limits<std::int16_t>::min() && rounded <= std::numeric_limits<std::int16_t>::max())) {
    return std::make_error_code(std::errc::result_out_of_range);
  }
  style = static_cast<std::int16_t>(rounded);
  return {};
}

}  // namespace

std::error_code WindowStyleOf(const ShellParm& shellparm, std::int16_t& style) {
  return std::visit(
      [&style](const auto& value) -> std::error_code {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::int16_t>) {
          style = value;
          return {};
        } else if constexpr (std::is_same_v<T, std::int32_t> || std::is_same_v<T, float> ||
                             std::is_same_v<T, double>) {
          return StyleFromNumber(static_cast<double>(value), style);
        } else {
          style = 1;  // missing, or not a number
          return {};
        }
      },
      shellparm);
}

ShellResult ShellStop(std::string_view exe, const ShellParm& shellparm, FormState& form, WindowOps& window,
                      ProcessService& processes, std::string_view working_folder,
                      const ChildEnvironment& environment) {
  ShellResult result;
  std::int16_t style = 1;
  if ((result.error = WindowStyleOf(shellparm, style))) return result;
  std::unique_ptr<ChildProcess> child;
  if ((result.error = processes.Start(exe, style, working_folder, environment, child))) return result;
  for (;;) {
    window.SetLineEnd(form.linepos + kLineWaitingX);
    const std::optional<ProcessExit> exit = child->Poll();
    window.ProcessEvents();
    if (exit) {
      result.exit = *exit;
      // Only a failure's words are ever shown.
      if (!exit->Succeeded()) result.errors = child->ErrorOutput(kErrorOutputLimit);
      return result;
    }
    child->WaitForEndOrInput();
  }
}
