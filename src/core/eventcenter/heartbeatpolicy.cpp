#include "core/eventcenter/heartbeatpolicy.h"

#include <cmath>

std::chrono::milliseconds BackoffDelay(const BackoffPolicy& policy, int failures) {
  if (failures <= 0) return std::chrono::milliseconds(0);
  const double maximum = static_cast<double>(policy.maximumBackoff.count());
  double delay = static_cast<double>(policy.initialDelay.count()) * std::pow(policy.multiplyFactor, failures - 1);
  if (!std::isfinite(delay) || delay > maximum) delay = maximum;
  if (!(delay > 0)) delay = 0;  // also NaN
  return std::chrono::milliseconds(static_cast<int64_t>(delay));
}
