#include "owned_handle.h"

#include <cerrno>
#include <unistd.h>

void OwnedHandle::Reset() {
  if (native_ != kNone) ::close(native_);
  native_ = kNone;
}

std::error_code LastSystemError() { return {errno, std::generic_category()}; }
