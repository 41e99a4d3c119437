#include "system_error_text.h"

std::string SystemErrorText(std::error_code error) { return error.message(); }
