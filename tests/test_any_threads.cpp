// Value hooks under concurrency: trees on several threads read values through the hooks while a
// host adds more, and every reader sees every answer it should (ThreadSanitizer checks the list).

#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <kelmora/core/any.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kelmora::testing {
namespace {

template <int N>
struct Tagged {
  std::string text;
};

template <int N>
void teach_tagged() {
  core::AnyHooks hooks;
  hooks.as_string = [](const std::any& v) -> std::optional<std::string> {
    if (const auto* t = std::any_cast<Tagged<N>>(&v)) return std::to_string(N) + t->text;
    return std::nullopt;
  };
  core::add_any_hooks(std::move(hooks));
}

template <int... Ns>
void teach_all(std::integer_sequence<int, Ns...>) {
  (teach_tagged<Ns + 1>(), ...);
}

TEST(AnyHooksThreadsTest, ReadersOnManyThreadsWhileHooksAreAdded) {
  teach_tagged<0>();
  std::atomic<bool> go{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < 20000; ++i) {
        if (core::any_as_string(Tagged<0>{"x"}) != "0x") ++wrong;
        if (core::any_as_string(std::string("plain")) != "plain") ++wrong;
      }
    });
  }
  go = true;
  teach_all(std::make_integer_sequence<int, 32>{});
  for (auto& t : readers) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(core::any_as_string(Tagged<32>{"y"}), "32y");
  EXPECT_EQ(core::any_as_string(Tagged<1>{"z"}), "1z");
}

}  // namespace
}  // namespace kelmora::testing
