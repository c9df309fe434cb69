// The mailbox of a tree, driven directly: callers on several threads, a worker, stops, failures,
// abandonment and cancellation. Also run under ThreadSanitizer.

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <future>
#include <kelmora/engine/sequential_engine.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/trigger/mailbox.hpp"
#include "support/engine_test.hpp"

namespace kelmora::testing {
namespace {

using engine::SequentialEngine;
using engine::trigger::details::JobRef;
using engine::trigger::details::Mailbox;
using Outcome = Mailbox::Outcome;

// The mailbox's worker: serves on its own thread (with an engine holding no tree) until the
// mailbox tells it to end, or fails with `failure` once `fail_gate` opens. Joined on destruction.
class Worker {
 public:
  explicit Worker(Mailbox& box)
      : thread_([&box] {
          SequentialEngine engine;
          box.serve(engine);
        }) {}
  Worker(Mailbox& box, Gate& fail_gate, std::exception_ptr failure)
      : thread_([&box, &fail_gate, failure] {
          fail_gate.wait();
          box.fail(failure);
        }) {}
  ~Worker() {
    if (thread_.joinable()) thread_.join();
  }
  void join() { thread_.join(); }

 private:
  std::thread thread_;
};

// Calls `job` through the mailbox and returns the reply.
template <class F>
Mailbox::Reply call(Mailbox& box, F job) {
  return box.call(JobRef(job));
}

// Starts `count` callers, each sending one job that counts itself in `ran`; their replies come
// through the futures.
std::vector<std::future<Mailbox::Reply>> counting_callers(Mailbox& box, int count,
                                                          std::atomic<int>& ran) {
  std::vector<std::future<Mailbox::Reply>> callers;
  for (int c = 0; c < count; ++c) {
    callers.push_back(std::async(std::launch::async, [&box, &ran] {
      return call(box, [&ran](SequentialEngine&) { ++ran; });
    }));
  }
  return callers;
}

std::string text_of(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  }
}

class MailboxTest : public ::testing::TestWithParam<bool> {
 protected:
  std::chrono::nanoseconds spin() const {
    return GetParam() ? std::chrono::nanoseconds(std::chrono::microseconds(4))
                      : std::chrono::nanoseconds::zero();
  }
};

TEST_P(MailboxTest, CallersOnManyThreadsAreServedOneAtATimeEachWithItsOwnResult) {
  constexpr int kCallers = 8;
  constexpr int kCalls = 2000;
  Mailbox box(spin());
  Worker worker(box);
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> wrong{0};
  std::atomic<int> jobs_run{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      for (int i = 0; i < kCalls; ++i) {
        const int input = c * 1'000'000 + i;
        int output = -1;
        const bool throws = i % 7 == 3;
        const Mailbox::Reply reply = call(box, [&](SequentialEngine&) {
          if (inside.fetch_add(1) != 0) ++overlaps;
          ++jobs_run;
          output = input * 2;
          inside.fetch_sub(1);
          if (throws) throw std::runtime_error("caller " + std::to_string(input));
        });
        if (reply.outcome != Outcome::kDone || output != input * 2) ++wrong;
        if (throws != static_cast<bool>(reply.error)) ++wrong;
        if (throws && text_of(reply.error) != "caller " + std::to_string(input)) ++wrong;
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(overlaps, 0) << "two jobs ran at once";
  EXPECT_EQ(wrong, 0) << "a caller got another's result or error";
  EXPECT_EQ(jobs_run, kCallers * kCalls) << "a job was lost or run twice";
  box.stop();
}

TEST_P(MailboxTest, JobsHandedOverBeforeTheWorkerServesWaitForIt) {
  Mailbox box(spin());
  std::atomic<int> ran{0};
  auto callers = counting_callers(box, 3, ran);
  EXPECT_EQ(ran, 0);
  Worker worker(box);  // the worker begins to serve only now
  for (auto& c : callers) EXPECT_EQ(c.get().outcome, Outcome::kDone);
  EXPECT_EQ(ran, 3);
  box.stop();
}

TEST_P(MailboxTest, StopWaitsForTheJobInProgressAndItsDeliveryAndClosesToTheOthers) {
  Mailbox box(spin());
  Worker worker(box);
  Gate entered, release;
  std::atomic<int> ran{0};
  auto busy = std::async(std::launch::async, [&] {
    return call(box, [&](SequentialEngine&) {
      ++ran;
      entered.open();
      release.wait();
    });
  });
  entered.wait();
  std::atomic<bool> stopped{false};
  auto stopper = std::async(std::launch::async, [&] {
    box.stop();
    stopped = true;
  });
  // A caller queued behind the job in progress is turned away as soon as the stop begins.
  const Mailbox::Reply late = call(box, [&](SequentialEngine&) { ++ran; });
  EXPECT_EQ(late.outcome, Outcome::kClosed);
  EXPECT_FALSE(stopped) << "the stop returned before the job in progress was delivered";
  release.open();
  EXPECT_EQ(busy.get().outcome, Outcome::kDone);
  stopper.get();
  worker.join();  // the worker has ended
  EXPECT_EQ(call(box, [&](SequentialEngine&) { ++ran; }).outcome, Outcome::kClosed);
  EXPECT_EQ(ran, 1) << "only the job in progress ran";
}

TEST_P(MailboxTest, StopOfAnIdleOrNotYetServingMailboxEndsTheWorker) {
  for (const bool served_before : {true, false}) {
    SCOPED_TRACE(served_before ? "idle" : "not yet serving");
    Mailbox box(spin());
    std::unique_ptr<Worker> worker;
    if (served_before) {
      worker = std::make_unique<Worker>(box);
      EXPECT_EQ(call(box, [](SequentialEngine&) {}).outcome, Outcome::kDone);
    }
    box.stop();
    if (!served_before) worker = std::make_unique<Worker>(box);
    worker->join();  // ends without running anything further
  }
}

// A worker that fails gives its failure to one caller, the first; everyone after is told the
// worker has ended, at once.
struct FailureCase {
  const char* label;
  int waiting;  // callers with a job handed over before the failure
  int later;    // callers that come after it
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.label; }

class MailboxFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(MailboxFailureTest, TheFailureGoesToOneCallerThenEveryoneGetsWorkerEnded) {
  const auto& c = GetParam();
  Mailbox box(std::chrono::microseconds(4));
  Gate fail;
  Worker worker(box, fail, std::make_exception_ptr(std::runtime_error("cannot build")));
  std::atomic<int> ran{0};
  auto waiting = counting_callers(box, c.waiting, ran);
  fail.open();
  std::vector<Mailbox::Reply> replies;
  for (auto& w : waiting) replies.push_back(w.get());
  worker.join();
  for (int i = 0; i < c.later; ++i) replies.push_back(call(box, [&](SequentialEngine&) { ++ran; }));
  int failed = 0;
  for (const auto& reply : replies) {
    if (reply.outcome == Outcome::kWorkerFailed) {
      ++failed;
      EXPECT_EQ(text_of(reply.error), "cannot build");
    } else {
      EXPECT_EQ(reply.outcome, Outcome::kWorkerEnded);
      EXPECT_FALSE(reply.error);
    }
  }
  EXPECT_EQ(failed, 1) << "the failure is delivered once";
  EXPECT_EQ(ran, 0);
  if (c.waiting == 0) {
    EXPECT_EQ(replies.front().outcome, Outcome::kWorkerFailed) << "to the first caller after it";
  }
  box.stop();  // stopping a failed worker's mailbox returns at once
}

INSTANTIATE_TEST_SUITE_P(
    Callers, MailboxFailureTest,
    ::testing::Values(FailureCase{"OneWaiting", 1, 0}, FailureCase{"OneWaitingThenLater", 1, 3},
                      FailureCase{"SeveralWaiting", 4, 2}, FailureCase{"OnlyLater", 0, 3}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_P(MailboxTest, AbandonFromInsideAJobLetsItFinishThenEndsTheWorker) {
  Mailbox box(spin());
  Worker worker(box);
  bool finished = false;
  const Mailbox::Reply reply = call(box, [&](SequentialEngine&) {
    box.abandon();  // as an engine destroyed inside its own tick does
    finished = true;
  });
  EXPECT_EQ(reply.outcome, Outcome::kDone) << "the caller still gets its reply";
  EXPECT_TRUE(finished);
  worker.join();
  EXPECT_EQ(call(box, [](SequentialEngine&) {}).outcome, Outcome::kClosed);
}

TEST_P(MailboxTest, CancelReleasesCallersWhoseWorkerNeverComes) {
  Mailbox box(spin());
  std::atomic<int> ran{0};
  auto callers = counting_callers(box, 3, ran);
  box.cancel();
  for (auto& c : callers) EXPECT_EQ(c.get().outcome, Outcome::kClosed);
  EXPECT_EQ(call(box, [&](SequentialEngine&) { ++ran; }).outcome, Outcome::kClosed);
  EXPECT_EQ(ran, 0);
  box.stop();  // a stop after the cancel returns too
}

TEST_P(MailboxTest, CallersRacingAStopEachGetTheirResultOrClosedAndNothingWaits) {
  constexpr int kRounds = 50;
  constexpr int kCallers = 4;
  for (int round = 0; round < kRounds; ++round) {
    Mailbox box(spin());
    Worker worker(box);
    std::barrier start(kCallers + 1);
    std::atomic<int> ran{0};
    std::atomic<int> done{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < kCallers; ++c) {
      callers.emplace_back([&] {
        start.arrive_and_wait();
        for (;;) {
          bool job_ran = false;
          const Mailbox::Reply reply = call(box, [&](SequentialEngine&) {
            job_ran = true;
            ++ran;
          });
          if (reply.outcome == Outcome::kClosed) {
            if (job_ran) ++wrong;  // closed means the job did not run
            return;
          }
          if (reply.outcome != Outcome::kDone || !job_ran) ++wrong;
          ++done;
        }
      });
    }
    start.arrive_and_wait();
    box.stop();
    for (auto& c : callers) c.join();
    worker.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(ran, done) << "every job that ran was delivered, and only those";
  }
}

INSTANTIATE_TEST_SUITE_P(Channel, MailboxTest, ::testing::Values(false, true),
                         [](const auto& param_info) {
                           return param_info.param ? "Spinning" : "Sleeping";
                         });

}  // namespace
}  // namespace kelmora::testing
