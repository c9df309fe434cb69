#pragma once
// Recorder: an observer writing every transition of an engine's trees to a SQLite database (the
// schema is in docs/observe.md).
//
// Workers only append rows to an in-memory queue under a short lock; a writer thread of the
// recorder takes the queue every 200 ms (or sooner when it fills) and writes it in one
// transaction, in WAL mode, so a tick never waits for the disk. A write that fails (full disk,
// I/O error, the file taken away) is logged once at error level and ends the recording: the
// trees keep running, and every batch committed before stays in the file intact.

#include <condition_variable>
#include <cstdint>
#include <kelmora/observe/observer.hpp>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

struct sqlite3;

namespace kelmora::observe::details {

struct RecorderOptions {
  // Limits the database's size in pages (SQLite's max_page_count), to try a full disk.
  std::optional<std::int64_t> max_page_count;
  // The most rows waiting for the writer; beyond it rows are dropped and the drop is logged.
  std::size_t max_queued = std::size_t{1} << 21;
};

class Recorder final : public Observer {
 public:
  // Opens or creates the database at `path`, creates the tables it lacks and checks that it can
  // write; records the trees in `present`. Throws kelmora::RuntimeError "cannot record to
  // '<path>': <reason>" when it cannot (a missing directory, a read-only or locked file, a file
  // that is no database).
  Recorder(const std::string& path, const std::vector<std::shared_ptr<const TreeShape>>& present,
           RecorderOptions options = {});
  // stop(). Never throws.
  ~Recorder() override;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Writes what is queued and ends the writer. Thread-safe; later calls do nothing.
  void stop() noexcept;

  // Thread-safe (called by every tree's worker).
  void on_step(const Step& step) override;
  void on_tree_end(const TreeShape& tree) override;

  const std::string& path() const noexcept { return path_; }

 private:
  struct Row {
    std::uint64_t tree;  // the tree's sequence in its engine
    std::uint32_t node;
    core::NodeStatus previous;
    core::NodeStatus status;
    std::int64_t time_us;
    std::int64_t spent_us;  // -1: unknown
  };
  struct End {
    std::uint64_t tree;
    std::int64_t time_us;
  };
  struct Batch {
    std::vector<std::shared_ptr<const TreeShape>> trees;
    std::vector<Row> rows;
    std::vector<End> ends;
    std::size_t dropped = 0;
    bool empty() const noexcept { return trees.empty() && rows.empty() && ends.empty(); }
  };

  // Queues the tree's rows if it is new to the recording. Call with mutex_ held.
  void note_tree(const std::shared_ptr<const TreeShape>& shape);
  void run_writer() noexcept;
  // Writes one batch in one transaction; false (logged) when it failed.
  bool write(Batch& batch);

  const std::string path_;
  const RecorderOptions options_;
  sqlite3* db_ = nullptr;

  std::mutex mutex_;
  std::condition_variable wake_;
  Batch queued_;                             // guarded by mutex_
  std::unordered_set<std::uint64_t> known_;  // trees queued or written; guarded by mutex_
  bool stopping_ = false;                    // guarded by mutex_
  bool failed_ = false;    // guarded by mutex_: the recording has ended after an error
  std::mutex stop_mutex_;  // one stop() at a time
  std::thread writer_;
  // The writer's own: the database's row id of each tree by its sequence.
  std::unordered_map<std::uint64_t, std::int64_t> tree_rows_;
};

}  // namespace kelmora::observe::details
