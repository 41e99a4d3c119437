#pragma once

// Command lines as Windows programs take them apart: the tool builds the
// packer's lines with QuoteArgument, and the POSIX process service splits
// them again as the packer's runtime would.

#include <string>
#include <string_view>
#include <vector>

// Quotes one argument, only when it needs it (empty, or holding a space, a
// tab, a newline or a double quote), so that a Windows runtime splits it back
// into exactly this argument: backslashes before a quote and at the end are
// doubled, quotes are escaped.
std::string QuoteArgument(std::string_view argument);

// Splits a command line into arguments as a Windows program's runtime does;
// the first argument, the program name, is taken as CommandLineToArgvW does
// (quotes group, backslashes are literal).
std::vector<std::string> SplitCommandLine(std::string_view command_line);
