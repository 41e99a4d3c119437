#include "indicators.h"

#include <cmath>

double ProgressIncrement(std::int32_t filecount) {
  if (filecount <= 0) return 0.0;
  return std::floor(static_cast<double>(kBarGrowth) / static_cast<double>(filecount));
}
