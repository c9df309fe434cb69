#pragma once
// wait_until: waits for an effect that sends no notification (a log line, a count, a request the
// server has seen), re-checking after short sleeps. The limit is generous: it runs out only when
// the effect never comes, and then the test fails instead of hanging until its ctest TIMEOUT.
//
// Thread-safe as far as `done` is: it is called on the waiting thread only.

#include <chrono>
#include <functional>
#include <thread>

namespace kelmora::testing {

// Whether `done()` held within `limit`.
inline bool wait_until(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace kelmora::testing
