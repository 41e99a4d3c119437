#include "command_line.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The program name: a quote groups up to the next quote, backslashes are
// plain characters (they are path separators there).
std::string TakeProgramName(std::string_view line, std::size_t& i) {
  std::string program;
  if (i < line.size() && line[i] == '"') {
    ++i;
    while (i < line.size() && line[i] != '"') program += line[i++];
    if (i < line.size()) ++i;
  } else {
    while (i < line.size() && !IsBlank(line[i])) program += line[i++];
  }
  return program;
}

// A run of backslashes at line[i]: before a quote each pair stands for one
// backslash and an odd one out escapes the quote; anywhere else they mean
// themselves.
void TakeBackslashes(std::string_view line, std::size_t& i, std::string& argument) {
  std::size_t backslashes = 0;
  while (i < line.size() && line[i] == '\\') {
    ++backslashes;
    ++i;
  }
  if (i < line.size() && line[i] == '"') {
    argument.append(backslashes / 2, '\\');
    if (backslashes % 2 == 1) {
      argument += '"';
      ++i;
    }
  } else {
    argument.append(backslashes, '\\');
  }
}

// One argument after the program name, from its first character up to the
// blank that ends it outside quotes.
std::string TakeArgument(std::string_view line, std::size_t& i) {
  std::string argument;
  bool quoted = false;
  while (i < line.size() && (quoted || !IsBlank(line[i]))) {
    if (line[i] == '\\') {
      TakeBackslashes(line, i, argument);
    } else if (line[i] == '"') {
      // Inside quotes, a doubled quote stands for one quote character.
      if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
        argument += '"';
        i += 2;
      } else {
        quoted = !quoted;
        ++i;
      }
    } else {
      argument += line[i++];
    }
  }
  return argument;
}

}  // namespace

std::string QuoteArgument(std::string_view argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos) {
    return std::string(argument);
  }
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes mean themselves unless a quote follows them; then each
    // must be doubled, and the quote itself escaped.
    if (c == '"') {
      quoted.append(backslashes * 2 + 1, '\\');
    } else {
      quoted.append(backslashes, '\\');
    }
    backslashes = 0;
    quoted += c;
  }
  // The closing quote follows the trailing backslashes, so they double too.
  quoted.append(backslashes * 2, '\\');
  quoted += '"';
  return quoted;
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> arguments;
  std::size_t i = 0;
  std::string program = TakeProgramName(line, i);
  if (program.empty() && i == 0) return arguments;
  arguments.push_back(std::move(program));
  for (;;) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    arguments.push_back(TakeArgument(line, i));
  }
  return arguments;
}
