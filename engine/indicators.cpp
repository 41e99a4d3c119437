#include "indicators.h"

#include <cmath>

double ProgressIncrement(std::int32_t filecount) {
  if (filecount <= 0) return 0.0;
  return std::floor(6570.0 / static_cast<double>(filecount));
}
