#pragma once
// ServerPool: the servers a model spreads its chats over, and which one the next attempt goes to.
// Internal to the agent layer.

#include <chrono>
#include <cstddef>
#include <kelmora/llm/server_address.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelmora::llm::details {

// The servers of one model, in the order given. What counts as a server's load is shared by the
// whole process: every pool naming the same base URL sees the same count of chats in flight.
// Thread-safe.
class ServerPool {
 public:
  // `unreachable_ranks_last_for`: how long a server that could not be reached ranks after the
  // others when this pool chooses.
  ServerPool(const std::vector<ServerAddress>& servers,
             std::chrono::milliseconds unreachable_ranks_last_for);

  std::size_t size() const noexcept { return urls_.size(); }
  const std::string& url(std::size_t index) const { return urls_.at(index); }
  const std::vector<std::string>& urls() const noexcept { return urls_; }

  // Chooses the server for a chat's next attempt among those `tried` does not mark (a vector of
  // size() flags, or empty for none): the one with the fewest chats in flight from this process,
  // ties in list order, except that a server whose latest attempt (from any pool) could not
  // connect, less than unreachable_ranks_last_for ago, ranks after every other. Counts the chat in
  // flight there. std::nullopt when every server was tried. Thread-safe.
  std::optional<std::size_t> acquire(const std::vector<bool>& tried = {});
  // Ends a chat's attempt on server `index`: no longer in flight. `reached` true clears an
  // unreachable mark, false sets it, std::nullopt leaves it. Thread-safe.
  void release(std::size_t index, std::optional<bool> reached) noexcept;

  // Chats in flight from this process on each server, in list order. Thread-safe.
  std::vector<std::size_t> in_flight() const;

 private:
  struct Load;
  std::vector<std::string> urls_;
  std::vector<std::shared_ptr<Load>> loads_;
  std::chrono::milliseconds unreachable_ranks_last_for_;
};

// One attempt's claim on a server: released when it ends, or when it is destroyed. Not
// thread-safe: owned by one transfer.
class ServerLease {
 public:
  ServerLease() = default;
  ServerLease(std::shared_ptr<ServerPool> pool, std::size_t index) noexcept
      : pool_(std::move(pool)), index_(index) {}
  ~ServerLease() { release(std::nullopt); }
  ServerLease(ServerLease&& other) noexcept { *this = std::move(other); }
  ServerLease& operator=(ServerLease&& other) noexcept {
    if (this != &other) {
      release(std::nullopt);
      pool_ = std::move(other.pool_);
      index_ = other.index_;
      other.pool_.reset();
    }
    return *this;
  }

  bool held() const noexcept { return pool_ != nullptr; }
  std::size_t index() const noexcept { return index_; }
  void release(std::optional<bool> reached) noexcept {
    if (pool_) pool_->release(index_, reached);
    pool_.reset();
  }

 private:
  std::shared_ptr<ServerPool> pool_;
  std::size_t index_ = 0;
};

}  // namespace kelmora::llm::details
