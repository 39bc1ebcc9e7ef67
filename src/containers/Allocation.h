// Element counts of the containers: int products of int extents.
#pragma once

#include <cstdint>
#include <new>

namespace NContainers {

// Number of elements of a container with the given extents. Extents must be
// non-negative and their product below 2^31; anything else is refused with
// std::bad_array_new_length, as an allocation of that size would be.
inline int elementCount(std::int64_t aA, std::int64_t aB, std::int64_t aC = 1) {
  if (aA < 0 || aB < 0 || aC < 0) throw std::bad_array_new_length();
  const std::int64_t count = aA * aB;
  if (count > INT32_MAX || count * aC > INT32_MAX) throw std::bad_array_new_length();
  return static_cast<int>(count * aC);
}

}  // namespace NContainers
