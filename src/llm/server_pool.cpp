#include "server_pool.hpp"

#include <map>
#include <mutex>
#include <tuple>

namespace kelmora::llm::details {

struct ServerPool::Load {
  std::size_t in_flight = 0;  // guarded by the registry's mutex
  std::optional<std::chrono::steady_clock::time_point> unreachable_at;  // likewise
};

namespace {

// The process-wide load of every server any pool ever named, by base URL. Kept for the process's
// life (a few bytes per server), so an unreachable mark outlives the models that set it.
struct Registry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<void>> loads;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

ServerPool::ServerPool(const std::vector<ServerAddress>& servers,
                       std::chrono::milliseconds unreachable_ranks_last_for)
    : unreachable_ranks_last_for_(unreachable_ranks_last_for) {
  Registry& shared = registry();
  std::lock_guard lock(shared.mutex);
  for (const auto& server : servers) {
    std::string url = server.url();
    auto& slot = shared.loads[url];
    if (!slot) slot = std::make_shared<Load>();
    auto load = std::static_pointer_cast<Load>(slot);
    urls_.push_back(std::move(url));
    loads_.push_back(std::move(load));
  }
}

std::optional<std::size_t> ServerPool::acquire(const std::vector<bool>& tried) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(registry().mutex);
  std::optional<std::size_t> best;
  std::tuple<bool, std::size_t> best_rank{};
  for (std::size_t i = 0; i < loads_.size(); ++i) {
    if (i < tried.size() && tried[i]) continue;
    const Load& load = *loads_[i];
    const bool shunned =
        load.unreachable_at && now - *load.unreachable_at < unreachable_ranks_last_for_;
    std::tuple<bool, std::size_t> rank{shunned, load.in_flight};
    if (!best || rank < best_rank) {
      best = i;
      best_rank = rank;
    }
  }
  if (best) ++loads_[*best]->in_flight;
  return best;
}

void ServerPool::release(std::size_t index, std::optional<bool> reached) noexcept {
  std::lock_guard lock(registry().mutex);
  Load& load = *loads_[index];
  if (load.in_flight > 0) --load.in_flight;
  if (reached) {
    if (*reached) {
      load.unreachable_at.reset();
    } else {
      load.unreachable_at = std::chrono::steady_clock::now();
    }
  }
}

std::vector<std::size_t> ServerPool::in_flight() const {
  std::lock_guard lock(registry().mutex);
  std::vector<std::size_t> counts;
  for (const auto& load : loads_) counts.push_back(load->in_flight);
  return counts;
}

}  // namespace kelmora::llm::details
