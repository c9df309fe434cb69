#pragma once
// What the stress program and the churn tests watch of their own process: its threads and its
// resident memory, read from /proc/self.
//
// Thread-safe: each call reads /proc afresh.

#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>

namespace kelmora::testing {

// The threads of this process: the entries of /proc/self/task.
inline std::size_t thread_count() {
  std::size_t count = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++count;
  }
  return count;
}

// The thread count to come back to: counted after one thread has been started and joined, so
// that helper threads a runtime starts with the first thread (ThreadSanitizer's) are in it.
inline std::size_t baseline_thread_count() {
  std::thread([] {}).join();
  return thread_count();
}

// The thread count once it has settled at `expected` (a joined thread's /proc entry can outlive
// the join by a moment), or, if it does not within `settle`, the count then.
inline std::size_t settled_thread_count(
    std::size_t expected, std::chrono::milliseconds settle = std::chrono::seconds(2)) {
  const auto deadline = std::chrono::steady_clock::now() + settle;
  std::size_t count = thread_count();
  while (count != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    count = thread_count();
  }
  return count;
}

// The resident set of this process in KiB (second field of /proc/self/statm, in pages).
inline double resident_kib() {
  std::ifstream statm("/proc/self/statm");
  long size = 0;
  long resident = 0;
  statm >> size >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / 1024.0;
}

}  // namespace kelmora::testing
