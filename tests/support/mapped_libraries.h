// Whether a shared library is in the running process, from /proc/self/maps.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "support/read_file.h"

namespace testing_support {

inline bool LibraryMapped(const std::string& name) {
  return ReadFile("/proc/self/maps").find(name) != std::string::npos;
}

// Waits until the library is mapped, for at most `timeoutMs`; whether it is.
inline bool WaitUntilLibraryMapped(const std::string& name, int timeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!LibraryMapped(name) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return LibraryMapped(name);
}

}  // namespace testing_support
