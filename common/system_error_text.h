#pragma once

#include <string>
#include <system_error>

// The system's own words for an error, in UTF-8, on one line: FormatMessageW
// on Windows for system errors, the category's message otherwise.
std::string SystemErrorText(std::error_code error);
