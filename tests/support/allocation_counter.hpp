#pragma once
// Counts heap allocations (operator new) made by the calling thread while counting is on.
// Linking tests/support/allocation_counter.cpp into a program replaces its global operator new
// and delete; only programs that measure allocations link it (test_scripting, bench_scripting).

#include <cstddef>

namespace kelmora::testing {

// Starts or stops counting on the calling thread. Not thread-safe: per thread.
void count_allocations(bool on) noexcept;
// The allocations the calling thread made while counting. Not thread-safe: per thread.
std::size_t allocations() noexcept;

}  // namespace kelmora::testing
