#include "process_runner.h"

#include "fake_window.h"
#include "indicators.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(ShellStop, WindowStyleFromShellParm) {
  struct Case {
    const char* what;
    ShellParm parm;
    int style;  // -1: overflow, nothing started
  };
  const Case cases[] = {
      {"missing", ShellParm{}, 1},
      {"int16 0", std::int16_t{0}, 0},
      {"int16 -32768", std::int16_t{-32768}, -32768},
      {"int32 3", std::int32_t{3}, 3},
      {"int32 32767", std::int32_t{32767}, 32767},
      {"int32 70000", std::int32_t{70000}, -1},
      {"int32 -32769", std::int32_t{-32769}, -1},
      {"float 2.5", 2.5f, 2},
      {"float 3.5", 3.5f, 4},
      {"float 70000", 70000.0f, -1},
      {"double 2.5", 2.5, 2},
      {"double 3.5", 3.5, 4},
      {"double -0.5", -0.5, 0},
      {"double 0.50001", 0.50001, 1},
      {"double 32767.4", 32767.4, 32767},
      {"double 32767.5", 32767.5, -1},  // rounds to 32768
      {"double -32768.5", -32768.5, -32768},
      {"double NaN", std::nan(""), -1},
      {"text 0", std::string("0"), 1},
      {"text empty", std::string(), 1},
  };
  for (const Case& c : cases) {
    FormState form;
    FakeWindow window;
    ScriptedProcesses processes;
    const ShellResult result = ShellStop("gfxpak x", c.parm, form, window, processes, "");
    if (c.style == -1) {
      EXPECT_EQ(result.error, std::errc::result_out_of_range) << c.what;
      EXPECT_TRUE(processes.started.empty()) << c.what;
      EXPECT_TRUE(window.log.empty()) << c.what;
    } else {
      EXPECT_FALSE(result.error) << c.what;
      ASSERT_EQ(processes.started.size(), 1u) << c.what;
      EXPECT_EQ(processes.started[0].style, c.style) << c.what;
      EXPECT_EQ(processes.started[0].command_line, "gfxpak x");
    }
  }
}

TEST(ShellStop, EveryPassSetsTheLineThenProcessesEvents) {
  struct Case {
    int passes;
    std::vector<std::string> log;
  };
  // linestep 5 and one timer tick per event processing: each pass sees the
  // tick of the pass before.
  const Case cases[] = {
      {1, {"line 250", "events"}},
      {3, {"line 250", "events", "line 255", "events", "line 260", "events"}},
  };
  for (const Case& c : cases) {
    FormState form;
    form.linestep = 5;
    form.linepos = 10.0f;
    FakeWindow window;
    window.on_events = [&] {
      window.log.push_back("events");
      Timer1_Timer(form);
    };
    ScriptedProcesses processes;
    processes.polls_until_end = c.passes;
    processes.exit_for = [](const std::string&) { return ProcessExit{false, 7}; };
    const ShellResult result = ShellStop("gfxpak x", std::int16_t{0}, form, window, processes, "");
    EXPECT_EQ(window.log, c.log) << c.passes;
    EXPECT_EQ(result.exit.code, 7u);
  }
}

TEST(Indicators, TickAndProgress) {
  FormState form;
  Timer1_Timer(form);
  EXPECT_EQ(form.linepos, 0.0f);
  form.linestep = 3;
  for (int i = 0; i < 4; ++i) Timer1_Timer(form);
  EXPECT_EQ(form.linepos, 12.0f);

  // filecount -> increment; widths after k files are 15 + k * increment.
  const std::pair<std::int32_t, double> increments[] = {
      {1, 6570}, {2, 3285}, {3, 2190}, {7, 938}, {6570, 1}, {6571, 0}, {32767, 0}, {100000, 0},
  };
  for (const auto& [count, increment] : increments) EXPECT_EQ(ProgressIncrement(count), increment) << count;
  EXPECT_EQ(ProgressWidth(7 * ProgressIncrement(7)), 6581.0f);
  EXPECT_EQ(ProgressWidth(0), 15.0f);
}

}  // namespace
