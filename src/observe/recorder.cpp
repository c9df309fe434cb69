// Recorder: transitions to SQLite, written off the tick path by the recorder's writer thread.

#include "recorder.hpp"

#include <sqlite3.h>

#include <chrono>
#include <kelmora/core/errors.hpp>
#include <kelmora/log.hpp>
#include <utility>

namespace kelmora::observe::details {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS trees (
  id INTEGER PRIMARY KEY,
  tree_id TEXT NOT NULL,
  main_tree TEXT NOT NULL,
  xml TEXT NOT NULL,
  created_us INTEGER NOT NULL,
  stopped_us INTEGER
);
CREATE TABLE IF NOT EXISTS nodes (
  tree INTEGER NOT NULL REFERENCES trees(id),
  node_id INTEGER NOT NULL,
  name TEXT NOT NULL,
  registration_id TEXT NOT NULL,
  kind TEXT NOT NULL,
  parent INTEGER,
  path TEXT NOT NULL,
  PRIMARY KEY (tree, node_id)
);
CREATE TABLE IF NOT EXISTS transitions (
  tree INTEGER NOT NULL REFERENCES trees(id),
  node_id INTEGER NOT NULL,
  time_us INTEGER NOT NULL,
  previous TEXT NOT NULL,
  status TEXT NOT NULL,
  spent_us INTEGER
);
)sql";

constexpr auto kBatchPeriod = std::chrono::milliseconds(200);
constexpr std::size_t kBatchRows = 16384;

std::int64_t micros(std::chrono::system_clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
}

// The SQLite error of `db` as text.
std::string db_error(sqlite3* db) { return db != nullptr ? sqlite3_errmsg(db) : "out of memory"; }

// A prepared statement, finalized on destruction.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) throw_error();
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  Statement& bind(int index, const std::string& text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    return *this;
  }
  Statement& bind(int index, std::string_view text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    return *this;
  }
  Statement& bind_null(int index) {
    sqlite3_bind_null(stmt_, index);
    return *this;
  }
  // Runs the statement to its end and resets it for the next use.
  void run() {
    const int rc = sqlite3_step(stmt_);
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) throw_error();
  }

 private:
  [[noreturn]] void throw_error() const { throw std::runtime_error(db_error(db_)); }
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

void exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message != nullptr ? message : db_error(db);
    sqlite3_free(message);
    throw std::runtime_error(text);
  }
}

}  // namespace

Recorder::Recorder(const std::string& path,
                   const std::vector<std::shared_ptr<const TreeShape>>& present,
                   RecorderOptions options)
    : path_(path), options_(options) {
  try {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      throw std::runtime_error(db_error(db_));
    }
    sqlite3_busy_timeout(db_, 2000);
    exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    // Takes the write lock once, so that a read-only or locked file is refused here.
    exec(db_, "BEGIN IMMEDIATE;");
    exec(db_, kSchema);
    exec(db_, "COMMIT;");
    if (options_.max_page_count) {
      exec(db_,
           ("PRAGMA max_page_count=" + std::to_string(*options_.max_page_count) + ";").c_str());
    }
  } catch (const std::exception& e) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw RuntimeError("cannot record to '" + path + "': " + e.what());
  }
  {
    std::lock_guard lock(mutex_);
    for (const auto& shape : present) note_tree(shape);
  }
  writer_ = std::thread([this] { run_writer(); });
}

Recorder::~Recorder() { stop(); }

void Recorder::stop() noexcept {
  std::lock_guard stop_lock(stop_mutex_);
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (writer_.joinable()) writer_.join();
  if (db_ != nullptr) {
    sqlite3_close(db_);
    db_ = nullptr;
  }
}

void Recorder::note_tree(const std::shared_ptr<const TreeShape>& shape) {
  if (known_.insert(shape->sequence).second) queued_.trees.push_back(shape);
}

void Recorder::on_step(const Step& step) {
  const auto offset = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::system_clock::now().time_since_epoch() -
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::steady_clock::now().time_since_epoch()));
  const std::uint64_t tree = step.tree.sequence;
  bool full = false;
  {
    std::lock_guard lock(mutex_);
    if (failed_ || stopping_) return;
    note_tree(step.shape);
    for (const core::Transition& t : step.transitions) {
      if (queued_.rows.size() >= options_.max_queued) {
        ++queued_.dropped;
        continue;
      }
      const auto at =
          std::chrono::duration_cast<std::chrono::microseconds>(t.time.time_since_epoch());
      const std::int64_t spent =
          t.since == std::chrono::steady_clock::time_point{}
              ? -1
              : std::chrono::duration_cast<std::chrono::microseconds>(t.time - t.since).count();
      queued_.rows.push_back(Row{tree, t.node, t.previous, t.status, (at + offset).count(), spent});
    }
    full = queued_.rows.size() >= kBatchRows;
  }
  if (full) wake_.notify_one();
}

void Recorder::on_tree_end(const TreeShape& tree) {
  std::lock_guard lock(mutex_);
  if (failed_ || stopping_) return;
  if (known_.count(tree.sequence) == 0) return;
  queued_.ends.push_back(End{tree.sequence, micros(std::chrono::system_clock::now())});
}

void Recorder::run_writer() noexcept {
  Batch batch;
  for (;;) {
    bool last = false;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, kBatchPeriod,
                     [this] { return stopping_ || queued_.rows.size() >= kBatchRows; });
      std::swap(batch, queued_);
      last = stopping_;
    }
    if (batch.dropped > 0) {
      log::error("recording to '" + path_ + "' fell behind: " + std::to_string(batch.dropped) +
                 " transitions were not recorded");
    }
    if (!batch.empty() && !write(batch)) {
      std::lock_guard lock(mutex_);
      failed_ = true;
      queued_ = Batch{};
      return;
    }
    batch.trees.clear();
    batch.rows.clear();
    batch.ends.clear();
    batch.dropped = 0;
    if (last) return;
  }
}

bool Recorder::write(Batch& batch) {
  try {
    exec(db_, "BEGIN IMMEDIATE;");
    try {
      if (!batch.trees.empty()) {
        Statement tree(
            db_, "INSERT INTO trees (tree_id, main_tree, xml, created_us) VALUES (?, ?, ?, ?)");
        Statement node(
            db_,
            "INSERT INTO nodes (tree, node_id, name, registration_id, kind, parent, path)"
            " VALUES (?, ?, ?, ?, ?, ?, ?)");
        for (const auto& shape : batch.trees) {
          tree.bind(1, shape->tree_id)
              .bind(2, shape->main_tree)
              .bind(3, shape->xml)
              .bind(4, micros(shape->created_at))
              .run();
          const std::int64_t row = sqlite3_last_insert_rowid(db_);
          tree_rows_[shape->sequence] = row;
          for (const NodeInfo& info : shape->nodes) {
            node.bind(1, row)
                .bind(2, static_cast<std::int64_t>(info.uid))
                .bind(3, info.name)
                .bind(4, info.registration_id)
                .bind(5, core::to_string(info.kind));
            if (info.parent) {
              node.bind(6, static_cast<std::int64_t>(*info.parent));
            } else {
              node.bind_null(6);
            }
            node.bind(7, info.path).run();
          }
        }
      }
      if (!batch.rows.empty()) {
        // Many rows per statement: SQLite's cost is mostly per statement step.
        constexpr std::size_t kRowsPerInsert = 64;
        auto insert_sql = [](std::size_t rows) {
          std::string sql =
              "INSERT INTO transitions (tree, node_id, time_us, previous, status, spent_us) "
              "VALUES ";
          for (std::size_t i = 0; i < rows; ++i) sql += i == 0 ? "(?,?,?,?,?,?)" : ",(?,?,?,?,?,?)";
          return sql;
        };
        Statement many(db_, insert_sql(kRowsPerInsert).c_str());
        Statement one(db_, insert_sql(1).c_str());
        std::size_t at = 0;
        while (at < batch.rows.size()) {
          const bool full = batch.rows.size() - at >= kRowsPerInsert;
          Statement& insert = full ? many : one;
          const std::size_t count = full ? kRowsPerInsert : 1;
          for (std::size_t i = 0; i < count; ++i) {
            const Row& row = batch.rows[at + i];
            const int base = static_cast<int>(i) * 6;
            insert.bind(base + 1, tree_rows_.at(row.tree))
                .bind(base + 2, static_cast<std::int64_t>(row.node))
                .bind(base + 3, row.time_us)
                .bind(base + 4, core::to_string(row.previous))
                .bind(base + 5, core::to_string(row.status));
            if (row.spent_us >= 0) {
              insert.bind(base + 6, row.spent_us);
            } else {
              insert.bind_null(base + 6);
            }
          }
          insert.run();
          at += count;
        }
      }
      if (!batch.ends.empty()) {
        Statement end(db_, "UPDATE trees SET stopped_us = ? WHERE id = ?");
        for (const End& e : batch.ends) end.bind(1, e.time_us).bind(2, tree_rows_.at(e.tree)).run();
      }
      exec(db_, "COMMIT;");
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
      throw;
    }
    return true;
  } catch (const std::exception& e) {
    try {
      log::error("recording to '" + path_ + "' stopped: " + e.what() +
                 "; the trees go on, unrecorded");
    } catch (...) {
    }
    return false;
  }
}

}  // namespace kelmora::observe::details
