#pragma once
// What the stress program and the thread-watching tests see of their own process: its threads
// and its resident memory, read from /proc/self.
//
// Threads are watched as a set, not counted: a test that asks "did every thread started after
// this point end?" must not be fooled by a thread that existed before (a helper of a library or
// of the test itself) ending meanwhile, nor by a joined thread whose /proc entry lingers.
//
// Thread-safe: each call reads /proc afresh; a ThreadBaseline is immutable once made.

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace kelmora::testing {

// One thread of this process. Thread ids are reused once the kernel's id range wraps (32768 ids
// on many machines, fewer than a churn test starts), so a thread is told apart from a later one
// with the same id by the time it started (in clock ticks since boot).
struct ProcessThread {
  pid_t tid = 0;
  unsigned long long start_ticks = 0;
  std::string name;  // its command name, for messages

  friend bool operator<(const ProcessThread& a, const ProcessThread& b) {
    return a.tid != b.tid ? a.tid < b.tid : a.start_ticks < b.start_ticks;
  }
};

// Reads /proc/self/task/<tid>/stat into `thread`; false if the thread ended meanwhile.
inline bool read_process_thread(pid_t tid, ProcessThread& thread) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  // "tid (name) state ppid ...": the name may hold spaces and parentheses, so it ends at the
  // last ')'. The start time is the 22nd field, the 20th after the name.
  const auto open = text.find('(');
  const auto close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  for (int i = 0; i < 19 && fields >> field; ++i) {
  }
  if (!(fields >> thread.start_ticks)) return false;
  thread.tid = tid;
  thread.name = text.substr(open + 1, close - open - 1);
  return true;
}

// The threads of this process now.
inline std::set<ProcessThread> process_threads() {
  std::set<ProcessThread> threads;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end;
       it.increment(ec)) {
    ProcessThread thread;
    const std::string entry = it->path().filename().string();
    if (entry.find_first_not_of("0123456789") != std::string::npos) continue;
    if (read_process_thread(static_cast<pid_t>(std::stol(entry)), thread)) threads.insert(thread);
  }
  return threads;
}

// The threads of this process at one moment, to tell which threads were started after it.
//
//   ThreadBaseline baseline;
//   ... start and stop trees ...
//   EXPECT_EQ(baseline.surviving_new_threads(), std::vector<std::string>{});
class ThreadBaseline {
 public:
  // Starts and joins one thread first, so that helper threads a runtime starts with the first
  // thread of a process (ThreadSanitizer's) are part of the baseline.
  ThreadBaseline() {
    std::thread([] {}).join();
    threads_ = process_threads();
  }

  // The threads alive now that were not alive at the baseline (baseline threads that ended
  // meanwhile do not count), described as "tid 1234 (name)".
  std::vector<std::string> new_threads() const {
    const std::set<ProcessThread> now = process_threads();
    std::vector<ProcessThread> added;
    std::set_difference(now.begin(), now.end(), threads_.begin(), threads_.end(),
                        std::back_inserter(added));
    std::vector<std::string> described;
    for (const auto& thread : added) {
      described.push_back("tid " + std::to_string(thread.tid) + " (" + thread.name + ")");
    }
    return described;
  }

  // The new threads once none is left (a joined thread's /proc entry can outlive the join by a
  // moment), or, if some are still alive after `limit` (generous: it only runs out when a thread
  // really was left behind), those.
  std::vector<std::string> surviving_new_threads(
      std::chrono::milliseconds limit = std::chrono::seconds(30)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<std::string> left = new_threads();
    while (!left.empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      left = new_threads();
    }
    return left;
  }

 private:
  std::set<ProcessThread> threads_;
};

// The resident set of this process in KiB (second field of /proc/self/statm, in pages).
inline double resident_kib() {
  std::ifstream statm("/proc/self/statm");
  long size = 0;
  long resident = 0;
  statm >> size >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / 1024.0;
}

}  // namespace kelmora::testing
