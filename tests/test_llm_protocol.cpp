// What the client sends and reads beyond plain text, against the stand-in model server: think,
// options and keep_alive on the request; thinking, done_reason and counters in the answer; the
// arrival hook and polling; a client that goes away; and chats spread over several servers.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <kelmora/core/errors.hpp>
#include <kelmora/llm/agent.hpp>
#include <kelmora/llm/errors.hpp>
#include <kelmora/llm/ollama.hpp>
#include <kelmora/llm/response_stream.hpp>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "standin/standin_server.hpp"
#include "support/refusing_port.hpp"

namespace kelmora::llm {
namespace {

using kelmora::testing::RefusingPort;
using kelmora::testing::StandinFailure;
using kelmora::testing::StandinOptions;
using kelmora::testing::StandinServer;
using namespace std::chrono_literals;

constexpr const char* kDescription = "You test.";
// A generous limit for waits on events that come within milliseconds.
constexpr auto kPatience = 20s;

ServerAddress loopback(std::uint16_t port) { return ServerAddress{"http", "127.0.0.1", port}; }

std::string url_of(std::uint16_t port) { return loopback(port).url(); }

Ollama::Options options_on(std::uint16_t port, std::string id) {
  Ollama::Options options;
  options.id = std::move(id);
  options.server = loopback(port);
  return options;
}

Agent agent_on(Ollama::Options options) {
  return Agent(Agent::Options{.model = std::make_shared<Ollama>(std::move(options)),
                              .description = kDescription,
                              .markdown = false});
}

Agent agent_on(std::uint16_t port, std::string id) { return agent_on(options_on(port, id)); }

// Everything a consumer took from a stream.
struct Taken {
  std::vector<ResponseItem> items;
  std::optional<std::string> error;

  std::string content() const {
    std::string joined;
    for (const auto& item : items) joined += item.content;
    return joined;
  }
  std::string thinking() const {
    std::string joined;
    for (const auto& item : items) joined += item.thinking;
    return joined;
  }
};

Taken take_all(ResponseStream& stream) {
  Taken taken;
  try {
    while (auto item = stream.next()) taken.items.push_back(std::move(*item));
  } catch (const ModelServerError& e) {
    taken.error = e.what();
  }
  return taken;
}

std::string answer_to(const std::string& model, const std::string& user) {
  return StandinServer::answer(model, kDescription, user);
}

std::string joined(const std::vector<std::string>& pieces) {
  std::string text;
  for (const auto& piece : pieces) text += piece;
  return text;
}

std::size_t prompt_chars(const std::string& user) {
  std::size_t count = 0;
  for (char byte : std::string(kDescription) + user) {
    count += (static_cast<unsigned char>(byte) & 0xC0) != 0x80 ? 1 : 0;
  }
  return count;
}

ChatSummary expected_summary(std::uint16_t port, std::string reason, const std::string& user,
                             std::size_t pieces) {
  const auto usage = StandinServer::usage(prompt_chars(user), pieces);
  ChatSummary summary;
  summary.done_reason = std::move(reason);
  summary.total_duration = std::chrono::nanoseconds(usage.total_duration);
  summary.load_duration = std::chrono::nanoseconds(usage.load_duration);
  summary.prompt_eval_count = usage.prompt_eval_count;
  summary.prompt_eval_duration = std::chrono::nanoseconds(usage.prompt_eval_duration);
  summary.eval_count = usage.eval_count;
  summary.eval_duration = std::chrono::nanoseconds(usage.eval_duration);
  summary.server = url_of(port);
  return summary;
}

// --- the request ---------------------------------------------------------------------------

struct RequestCase {
  std::string name;
  std::string model;
  std::optional<Think> think;
  ModelOptions model_options;
  std::optional<KeepAlive> keep_alive;
  std::string sent_think;  // as the stand-in received them ("" when absent)
  std::string sent_options;
  std::string sent_keep_alive;
};

TEST(ChatRequestTest, ModelSettingsReachTheServerAtTheTopLevelOnlyWhenSet) {
  StandinServer server;
  ModelOptions sampling;
  sampling.temperature = 0.5;
  sampling.num_ctx = 8192;
  sampling.seed = 42;
  sampling.top_p = 0.9;
  sampling.extra["repeat_penalty"] = 1.1;
  sampling.extra["numa"] = false;
  const std::vector<RequestCase> cases = {
      {"nothing", "m", std::nullopt, {}, std::nullopt, "", "", ""},
      {"think false", "m", false, {}, std::nullopt, "false", "", ""},
      {"think true", "think:m", true, {}, std::nullopt, "true", "", ""},
      {"think level", "think:m", "medium", {}, std::nullopt, R"("medium")", "", ""},
      {"options", "m", std::nullopt, sampling, std::nullopt, "",
       R"({"num_ctx":8192,"numa":false,"repeat_penalty":1.1,"seed":42,"temperature":0.5,)"
       R"("top_p":0.9})",
       ""},
      {"keep alive text", "m", std::nullopt, {}, KeepAlive("5m"), "", "", R"("5m")"},
      {"keep alive 0", "m", std::nullopt, {}, KeepAlive(0s), "", "", "0"},
      {"keep alive forever", "m", std::nullopt, {}, KeepAlive(-1s), "", "", "-1"},
      {"keep alive seconds",
       "m",
       std::nullopt,
       {},
       KeepAlive(std::chrono::minutes(10)),
       "",
       "",
       "600"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Ollama::Options options = options_on(server.port(), c.model);
    options.think = c.think;
    options.model_options = c.model_options;
    options.keep_alive = c.keep_alive;
    Taken taken = take_all(*agent_on(options).run("q"));
    ASSERT_FALSE(taken.error) << *taken.error;
    auto request = server.last_request();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->think, c.sent_think);
    EXPECT_EQ(request->options, c.sent_options);
    EXPECT_EQ(request->keep_alive, c.sent_keep_alive);
    EXPECT_EQ(request->body.find("\"think\"") != std::string::npos, c.think.has_value());
  }
}

TEST(ChatRequestTest, ARunMaySetItsOwnSettingsOverTheModels) {
  StandinServer server;
  Ollama::Options options = options_on(server.port(), "think:m");
  options.think = "low";
  options.model_options.temperature = 0.2;
  options.model_options.seed = 1;
  options.keep_alive = KeepAlive("1m");
  Agent agent = agent_on(options);

  ChatOptions run;
  run.think = "high";
  run.model_options.seed = 7;
  run.model_options.extra["mirostat"] = 2;
  run.keep_alive = KeepAlive(0s);
  ASSERT_FALSE(take_all(*agent.run_with("q", run)).error);
  auto request = server.last_request();
  ASSERT_TRUE(request);
  EXPECT_EQ(request->think, R"("high")");
  EXPECT_EQ(request->options, R"({"mirostat":2,"seed":7,"temperature":0.2})");
  EXPECT_EQ(request->keep_alive, "0");

  // Without settings of its own, a run has the model's.
  ASSERT_FALSE(take_all(*agent.run("q")).error);
  request = server.last_request();
  EXPECT_EQ(request->think, R"("low")");
  EXPECT_EQ(request->options, R"({"seed":1,"temperature":0.2})");
  EXPECT_EQ(request->keep_alive, R"("1m")");
  EXPECT_TRUE(request->stream);

  run = ChatOptions{};
  run.stream = false;
  ASSERT_FALSE(take_all(*agent.run_with("q", run)).error);
  EXPECT_FALSE(server.last_request()->stream);
}

TEST(ChatRequestTest, OptionsThatCannotBeSentFailBeforeAnythingIsSent) {
  StandinServer server;
  Ollama::Options options = options_on(server.port(), "m");
  options.model_options.extra["temperature"] = 0.5;
  EXPECT_THROW(Ollama{options}, ValueError);

  Agent agent = agent_on(server.port(), "m");
  ChatOptions run;
  run.model_options.top_p = std::numeric_limits<double>::infinity();
  try {
    agent.run_with("q", run);
    FAIL() << "accepted";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "the model option \"top_p\" is not a finite number");
  }
  EXPECT_TRUE(server.requests().empty());
}

// --- thinking ------------------------------------------------------------------------------

struct ThinkingCase {
  std::string name;
  std::string model;
  std::optional<Think> think;
  bool stream;
  std::string thinking;  // all the thinking the consumer gets
};

TEST(ThinkingTest, ThinkingArrivesApartFromTheAnswer) {
  StandinOptions standin;
  standin.thinking_lines = 3;
  StandinServer server(standin);
  const std::string three = joined(StandinServer::thinking_pieces(3));
  const std::vector<ThinkingCase> cases = {
      {"thinks by default", "think:m", std::nullopt, true, three},
      {"think true", "think:m", true, true, three},
      {"level", "think:m", "high", true, joined(StandinServer::thinking_pieces(3, "high"))},
      {"think false", "think:m", false, true, ""},
      {"whole answer", "think:m", std::nullopt, false, three},
      {"tags in the text", "think-tags:m", std::nullopt, true, three},
      {"tags, whole answer", "think-tags:m", std::nullopt, false, three},
      {"no thinking model", "m", std::nullopt, true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Ollama::Options options = options_on(server.port(), c.model);
    options.think = c.think;
    ChatOptions run;
    run.stream = c.stream;
    auto stream = agent_on(options).run_with("问题", run);
    Taken taken = take_all(*stream);
    ASSERT_FALSE(taken.error) << *taken.error;
    EXPECT_EQ(taken.thinking(), c.thinking);
    EXPECT_EQ(taken.content(), answer_to(c.model, "问题"));
    for (const auto& item : taken.items) {
      EXPECT_FALSE(item.content.empty() && item.thinking.empty());
    }
  }
}

TEST(ThinkingTest, ThinkingLinesComeFirstAsItemsWithoutContent) {
  StandinServer server;
  Taken taken = take_all(*agent_on(server.port(), "think:m").run("q"));
  ASSERT_FALSE(taken.error) << *taken.error;
  const auto thinking = StandinServer::thinking_pieces(3);
  const auto answer = StandinServer::answer_pieces(answer_to("think:m", "q"), 4);
  ASSERT_EQ(taken.items.size(), thinking.size() + answer.size());
  for (std::size_t i = 0; i < thinking.size(); ++i) {
    EXPECT_EQ(taken.items[i], (ResponseItem{"", thinking[i]}));
  }
  for (std::size_t i = 0; i < answer.size(); ++i) {
    EXPECT_EQ(taken.items[thinking.size() + i], (ResponseItem{answer[i], ""}));
  }
}

TEST(ThinkingTest, ConsumersThatJoinContentGetTheAnswerAlone) {
  StandinServer server;
  auto stream = agent_on(server.port(), "think:m").run("中国上海的新闻");
  std::string text;
  for (const auto& item : *stream) text += item.content;
  EXPECT_EQ(text, answer_to("think:m", "中国上海的新闻"));
}

TEST(ThinkingTest, AModelThatCannotThinkRefusesThinkWithStatus400) {
  StandinServer server;
  for (const Think& think : {Think(true), Think("low")}) {
    SCOPED_TRACE(think.json());
    Ollama::Options options = options_on(server.port(), "m");
    options.think = think;
    Taken taken = take_all(*agent_on(options).run("q"));
    EXPECT_TRUE(taken.items.empty());
    EXPECT_EQ(taken.error, "Ollama server " + url_of(server.port()) +
                               " (model \"m\"): HTTP status 400: \"m\" does not support thinking");
  }
}

// --- how the answer ended ------------------------------------------------------------------

struct SummaryCase {
  std::string name;
  std::string model;
  std::optional<std::int64_t> num_predict;
  bool stream;
  std::string reason;
  std::size_t thinking_items;  // items the consumer gets
  std::size_t content_items;
};

TEST(ChatSummaryTest, FinishedStreamReportsDoneReasonAndCounters) {
  StandinServer server;
  const std::size_t answer_pieces = StandinServer::answer_pieces(answer_to("m", "q"), 4).size();
  const std::size_t think_pieces =
      StandinServer::answer_pieces(answer_to("think:m", "q"), 4).size();
  const std::vector<SummaryCase> cases = {
      {"whole", "m", std::nullopt, true, "stop", 0, answer_pieces},
      {"no limit", "m", -1, true, "stop", 0, answer_pieces},
      {"limit not reached", "m", 1000, true, "stop", 0, answer_pieces},
      {"exact limit", "m", static_cast<std::int64_t>(answer_pieces), true, "stop", 0,
       answer_pieces},
      {"cut short", "m", 5, true, "length", 0, 5},
      {"cut to nothing", "m", 0, true, "length", 0, 0},
      {"cut short, whole answer", "m", 5, false, "length", 0, 1},
      {"thinking counts", "think:m", 5, true, "length", 3, 2},
      {"cut while thinking", "think:m", 2, true, "length", 2, 0},
      {"thinking, no limit", "think:m", std::nullopt, true, "stop", 3, think_pieces},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Ollama::Options options = options_on(server.port(), c.model);
    options.model_options.num_predict = c.num_predict;
    ChatOptions run;
    run.stream = c.stream;
    auto stream = agent_on(options).run_with("q", run);
    Taken taken = take_all(*stream);
    ASSERT_FALSE(taken.error) << *taken.error;
    std::size_t thinking = 0;
    std::size_t content = 0;
    for (const auto& item : taken.items) {
      thinking += item.content.empty() ? 1 : 0;
      content += item.content.empty() ? 0 : 1;
    }
    EXPECT_EQ(thinking, c.stream ? c.thinking_items : 0);
    EXPECT_EQ(content, c.content_items);
    const std::size_t generated = c.stream ? c.thinking_items + c.content_items : 5;
    auto summary = stream->summary();
    ASSERT_TRUE(summary);
    EXPECT_EQ(*summary, expected_summary(server.port(), c.reason, "q", generated));
    EXPECT_EQ(summary->truncated(), c.reason == "length");
  }
}

TEST(ChatSummaryTest, SummaryComesOnlyOnceTheAnswerHasEnded) {
  StandinServer server;
  // Two pieces, then the stand-in holds the connection open.
  auto stalled = agent_on(server.port(), "fail:stall").run("q");
  ASSERT_TRUE(stalled->next().has_value());
  EXPECT_EQ(stalled->summary(), std::nullopt);

  // The last piece may still be untaken: the summary is there once the final line arrived.
  auto stream = agent_on(server.port(), "m").run("q");
  ASSERT_TRUE(stream->next().has_value());
  std::mutex mutex;
  std::condition_variable ended;
  bool end = false;
  stream->set_on_arrival([&] {
    if (stream->summary()) {
      std::lock_guard lock(mutex);
      end = true;
      ended.notify_all();
    }
  });
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(ended.wait_for(lock, kPatience, [&] { return end; }));
  }
  stream->set_on_arrival(nullptr);
  EXPECT_EQ(stream->summary()->done_reason, "stop");
  EXPECT_FALSE(take_all(*stream).error);

  ResponseStream made({"a"});
  EXPECT_EQ(made.summary(), std::nullopt);
}

// --- arrival hook and polling --------------------------------------------------------------

// Counts arrivals and lets a consumer wait for the next one.
class Arrivals {
 public:
  void arrived() {
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return count_;
  }
  bool wait_past(std::size_t seen) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return count_ > seen; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::size_t count_ = 0;
};

// A consumer that polls once per wake-up, as a tree's streaming node does once per tick.
Taken poll_all(ResponseStream& stream, Arrivals& arrivals) {
  Taken taken;
  try {
    while (true) {
      const std::size_t seen = arrivals.count();
      ResponseStream::Poll poll = stream.try_next();
      if (poll.state == ResponseStream::Poll::State::kItem) {
        taken.items.push_back(std::move(poll.item));
        continue;
      }
      if (poll.state == ResponseStream::Poll::State::kEnd) break;
      if (!arrivals.wait_past(seen)) {
        taken.error = "no wake-up came";
        break;
      }
    }
  } catch (const ModelServerError& e) {
    taken.error = e.what();
  }
  return taken;
}

TEST(ArrivalHookTest, PollingConsumerWokenByTheHookGetsEveryPieceAndTheEnd) {
  StandinOptions standin;
  standin.piece_delay_ms = 2;
  StandinServer server(standin);
  for (const std::string model : {"m", "think:m"}) {
    SCOPED_TRACE(model);
    auto stream = agent_on(server.port(), model).run("q");
    Arrivals arrivals;
    stream->set_on_arrival([&] { arrivals.arrived(); });
    Taken taken = poll_all(*stream, arrivals);
    ASSERT_FALSE(taken.error) << *taken.error;
    EXPECT_EQ(taken.content(), answer_to(model, "q"));
    EXPECT_EQ(stream->try_next().state, ResponseStream::Poll::State::kEnd);  // stays at its end
    stream->set_on_arrival(nullptr);  // before `arrivals` goes
  }
}

TEST(ArrivalHookTest, PollingConsumerGetsThePiecesThenTheError) {
  StandinOptions standin;
  standin.piece_delay_ms = 2;
  StandinServer server(standin);
  auto stream = agent_on(server.port(), "fail:error-line").run("q");
  Arrivals arrivals;
  stream->set_on_arrival([&] { arrivals.arrived(); });
  Taken taken = poll_all(*stream, arrivals);
  EXPECT_EQ(taken.items.size(), StandinOptions{}.pieces_before_failure);
  EXPECT_EQ(taken.error, "Ollama server " + url_of(server.port()) +
                             " (model \"fail:error-line\"): the server reported an error: "
                             "stand-in: failure requested: the model stopped");
  EXPECT_THROW(stream->try_next(), ModelServerError);  // the error stays
  stream->set_on_arrival(nullptr);
}

TEST(ArrivalHookTest, TryNextTellsNothingYetFromTheEnd) {
  StandinServer server;
  auto silent = agent_on(server.port(), "fail:silent").run("q");
  ASSERT_TRUE(server.wait_for_requests(1, kPatience));
  EXPECT_EQ(silent->try_next().state, ResponseStream::Poll::State::kPending);

  ResponseStream made({"a", "", "b"});
  EXPECT_EQ(made.try_next().item.content, "a");
  EXPECT_EQ(made.try_next().item.content, "b");
  EXPECT_EQ(made.try_next().state, ResponseStream::Poll::State::kEnd);
}

TEST(ArrivalHookTest, HookSetAfterThingsArrivedIsCalledAtOnce) {
  ResponseStream made({"a"});
  int calls = 0;
  made.set_on_arrival([&] { ++calls; });
  EXPECT_EQ(calls, 1);
  ResponseStream empty(std::vector<std::string>{});  // ended: also worth a wake-up
  empty.set_on_arrival([&] { ++calls; });
  EXPECT_EQ(calls, 2);

  StandinServer server;
  auto silent = agent_on(server.port(), "fail:silent").run("q");
  ASSERT_TRUE(server.wait_for_requests(1, kPatience));
  silent->set_on_arrival([&] { ++calls; });  // nothing has arrived: not called
  EXPECT_EQ(calls, 2);
  silent->set_on_arrival(nullptr);
}

TEST(ArrivalHookTest, RemovedHookIsNeverCalledAgain) {
  StandinOptions standin;
  standin.piece_delay_ms = 5;
  StandinServer server(standin);
  auto stream = agent_on(server.port(), "m").run("q");
  auto arrivals = std::make_unique<Arrivals>();
  Arrivals* counted = arrivals.get();
  stream->set_on_arrival([counted] { counted->arrived(); });
  ASSERT_TRUE(arrivals->wait_past(1));
  stream->set_on_arrival(nullptr);
  const std::size_t calls = arrivals->count();
  arrivals.reset();  // a call now would touch freed memory (and AddressSanitizer would say so)
  EXPECT_FALSE(take_all(*stream).error);
  EXPECT_GE(calls, 2u);
}

TEST(ArrivalHookTest, HookMayTakeThePiecesOnTheProducersThread) {
  StandinServer server;
  auto stream = agent_on(server.port(), "think:m").run("q");
  std::mutex mutex;
  std::condition_variable changed;
  Taken taken;
  bool end = false;
  stream->set_on_arrival([&] {
    // Runs on the producer's thread (or here, once, if something was waiting already).
    std::lock_guard lock(mutex);
    for (auto poll = stream->try_next(); !end; poll = stream->try_next()) {
      if (poll.state == ResponseStream::Poll::State::kPending) return;
      if (poll.state == ResponseStream::Poll::State::kEnd) end = true;
      if (poll.state == ResponseStream::Poll::State::kItem) taken.items.push_back(poll.item);
    }
    changed.notify_all();
  });
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kPatience, [&] { return end; }));
  }
  stream->set_on_arrival(nullptr);
  EXPECT_EQ(taken.content(), answer_to("think:m", "q"));
  EXPECT_EQ(taken.thinking(), joined(StandinServer::thinking_pieces(3)));
}

// --- the client going away -----------------------------------------------------------------

struct DropCase {
  std::string name;
  std::string model;
  unsigned piece_delay_ms;
  bool take_a_piece_first;
};

TEST(DisconnectTest, DroppingTheStreamClosesTheConnectionAndTheServerSeesItAtOnce) {
  const std::vector<DropCase> cases = {
      {"stalled after pieces", "fail:stall", 0, true},
      {"between slow pieces", "m", 60'000, false},
      {"before any answer", "fail:silent", 0, false},
      {"thinking, between slow lines", "think:m", 60'000, false},
  };
  constexpr int kRounds = 5;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StandinOptions standin;
    standin.piece_delay_ms = c.piece_delay_ms;
    StandinServer server(standin);
    // The read time-out (5 minutes) is far beyond the test's own limit: only the drop ends a
    // chat.
    std::vector<std::chrono::steady_clock::duration> latencies;
    for (int round = 0; round < kRounds; ++round) {
      auto stream = agent_on(server.port(), c.model).run("q");
      if (c.take_a_piece_first) {
        ASSERT_TRUE(stream->next().has_value());
      } else {
        ASSERT_TRUE(server.wait_for_requests(round + 1, kPatience));
      }
      const auto dropped = std::chrono::steady_clock::now();
      stream.reset();
      ASSERT_TRUE(server.wait_for_hangups(round + 1, kPatience));
      latencies.push_back(server.hangup_times().at(round) - dropped);
    }
    // The median of several rounds, so one round held up by a loaded machine does not count.
    std::sort(latencies.begin(), latencies.end());
    EXPECT_LE(latencies[kRounds / 2], 100ms)
        << std::chrono::duration_cast<std::chrono::milliseconds>(latencies[kRounds / 2]).count()
        << " ms";
  }
}

// --- several servers -----------------------------------------------------------------------

std::shared_ptr<Ollama> model_on_servers(const std::vector<std::uint16_t>& ports, std::string id,
                                         std::chrono::milliseconds ranks_last_for = 0ms) {
  Ollama::Options options;
  options.id = std::move(id);
  options.unreachable_ranks_last_for = ranks_last_for;
  for (auto port : ports) options.servers.push_back(loopback(port));
  return std::make_shared<Ollama>(std::move(options));
}

Agent agent_of(std::shared_ptr<Ollama> model) {
  return Agent(Agent::Options{.model = std::move(model), .description = kDescription});
}

TEST(SeveralServersTest, ServersAreListedAndCheckedWhenTheModelIsMade) {
  auto model = model_on_servers({1001, 1002}, "m");
  EXPECT_EQ(model->server(), loopback(1001));
  ASSERT_EQ(model->servers().size(), 2u);
  EXPECT_EQ(model->servers()[1], loopback(1002));
  EXPECT_EQ(model->chats_in_flight(), (std::vector<std::size_t>{0, 0}));
  EXPECT_EQ(Ollama(options_on(1003, "m")).servers(), std::vector<ServerAddress>{loopback(1003)});

  try {
    model_on_servers({1001, 1002, 1001}, "m");
    FAIL() << "accepted";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "the server http://127.0.0.1:1001 is listed twice");
  }
  Ollama::Options both = options_on(1001, "m");
  both.servers = {loopback(1002)};
  EXPECT_THROW(Ollama{both}, ValueError);
  // A model's own options (server and servers agreeing) make the same model again.
  Ollama again(model->options());
  EXPECT_EQ(again.servers(), model->servers());
  EXPECT_EQ(again.server(), loopback(1001));
}

TEST(SeveralServersTest, EachChatGoesToTheLeastLoadedServerTiesInListOrder) {
  StandinServer a;
  StandinServer b;
  StandinServer c;
  auto model = model_on_servers({a.port(), b.port(), c.port()}, "fail:stall");
  Agent agent = agent_of(model);
  // Stalled chats stay in flight until their streams are dropped.
  std::vector<std::shared_ptr<ResponseStream>> streams;
  for (int i = 0; i < 4; ++i) streams.push_back(agent.run("q"));
  EXPECT_EQ(model->chats_in_flight(), (std::vector<std::size_t>{2, 1, 1}));
  ASSERT_TRUE(a.wait_for_requests(2, kPatience));
  ASSERT_TRUE(b.wait_for_requests(1, kPatience));
  ASSERT_TRUE(c.wait_for_requests(1, kPatience));

  streams[1].reset();  // b's chat ends
  EXPECT_EQ(model->chats_in_flight(), (std::vector<std::size_t>{2, 0, 1}));
  streams.push_back(agent.run("q"));
  ASSERT_TRUE(b.wait_for_requests(2, kPatience));
  EXPECT_EQ(model->chats_in_flight(), (std::vector<std::size_t>{2, 1, 1}));

  // The load is the process's: another model on the same servers sees it.
  auto other = model_on_servers({c.port(), a.port()}, "fail:stall");
  EXPECT_EQ(other->chats_in_flight(), (std::vector<std::size_t>{1, 2}));
  auto on_c = agent_of(other).run("q");
  ASSERT_TRUE(c.wait_for_requests(2, kPatience));
  EXPECT_EQ(a.requests().size(), 2u);

  streams.clear();
  on_c.reset();
  EXPECT_EQ(model->chats_in_flight(), (std::vector<std::size_t>{0, 0, 0}));
}

TEST(SeveralServersTest, UnreachableServerIsSkippedAndTheChatSucceedsOnTheNext) {
  RefusingPort refusing;
  StandinOptions resetting;
  resetting.failure = StandinFailure::kReset;  // takes the request, sends no byte, resets
  StandinServer reset(resetting);
  StandinServer good;
  const std::vector<std::vector<std::uint16_t>> lists = {
      {refusing.port(), good.port()},
      {reset.port(), good.port()},
      {refusing.port(), reset.port(), good.port()},
  };
  std::size_t good_chats = 0;
  for (const auto& ports : lists) {
    SCOPED_TRACE(ports.size());
    auto stream = agent_of(model_on_servers(ports, "m")).run("q");
    Taken taken = take_all(*stream);
    ASSERT_FALSE(taken.error) << *taken.error;
    EXPECT_EQ(taken.content(), answer_to("m", "q"));
    EXPECT_EQ(stream->summary()->server, url_of(good.port()));
    EXPECT_EQ(good.requests().size(), ++good_chats);
  }
  EXPECT_EQ(reset.requests().size(), 2u);  // tried first each time: nothing ranks it last
}

TEST(SeveralServersTest, ServerThatCouldNotBeReachedRanksLastForAWhile) {
  StandinOptions resetting;
  resetting.failure = StandinFailure::kReset;
  StandinServer reset(resetting);
  StandinServer good;
  auto patient = model_on_servers({reset.port(), good.port()}, "m", std::chrono::hours(1));
  for (int i = 1; i <= 3; ++i) {
    SCOPED_TRACE(i);
    ASSERT_FALSE(take_all(*agent_of(patient).run("q")).error);
    EXPECT_EQ(reset.requests().size(), 1u);  // only the first chat tried it
    EXPECT_EQ(good.requests().size(), static_cast<std::size_t>(i));
  }
  // The mark is the process's; a model that ranks nothing last tries the server again.
  auto eager = model_on_servers({reset.port(), good.port()}, "m", 0ms);
  ASSERT_FALSE(take_all(*agent_of(eager).run("q")).error);
  EXPECT_EQ(reset.requests().size(), 2u);
  // The mark stays while the server cannot be reached: a chat that finds every server down
  // still tries them all.
  auto alone = model_on_servers({reset.port()}, "m", std::chrono::hours(1));
  EXPECT_TRUE(take_all(*agent_of(alone).run("q")).error);
  EXPECT_EQ(reset.requests().size(), 3u);
}

TEST(SeveralServersTest, WhenNoServerCanBeReachedTheErrorNamesEveryServerTried) {
  RefusingPort first;
  RefusingPort second;
  StandinOptions resetting;
  resetting.failure = StandinFailure::kReset;
  StandinServer third(resetting);
  auto model = model_on_servers({first.port(), second.port(), third.port()}, "m");
  auto stream = agent_of(model).run("q");
  try {
    stream->next();
    FAIL() << "no error";
  } catch (const ModelServerError& e) {
    const std::vector<std::string> urls = {url_of(first.port()), url_of(second.port()),
                                           url_of(third.port())};
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("Ollama servers " + urls[0] + ", " + urls[1] + ", " + urls[2] +
                             " (model \"m\"): no server could be reached: " + urls[0] +
                             ": cannot connect (",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("; " + urls[1] + ": cannot connect ("), std::string::npos) << text;
    EXPECT_NE(text.find("; " + urls[2] + ": the connection ended before the answer was complete"),
              std::string::npos)
        << text;
    EXPECT_EQ(e.servers(), urls);
    EXPECT_EQ(e.server(), urls[2]);
    EXPECT_EQ(e.model(), "m");
  }
  EXPECT_EQ(model->chats_in_flight(), (std::vector<std::size_t>{0, 0, 0}));
}

TEST(SeveralServersTest, AServerLostAfterPiecesArrivedFailsTheChatWithoutFailover) {
  StandinOptions slow;
  slow.piece_delay_ms = 10;
  auto lost = std::make_unique<StandinServer>(slow);
  StandinServer spare;
  const std::string lost_url = url_of(lost->port());
  auto stream = agent_of(model_on_servers({lost->port(), spare.port()}, "m")).run("q");
  ASSERT_TRUE(stream->next().has_value());
  lost->stop();
  Taken taken = take_all(*stream);
  ASSERT_TRUE(taken.error);
  EXPECT_EQ(taken.error->rfind("Ollama server " + lost_url + " (model \"m\"): ", 0), 0u)
      << *taken.error;
  EXPECT_TRUE(spare.requests().empty());  // a partial answer is not resumed elsewhere
}

TEST(SeveralServersTest, ChatsKeepSucceedingOnTheOthersWhenOneServerIsKilledMidRun) {
  StandinOptions slow;
  slow.piece_delay_ms = 1;
  std::vector<std::unique_ptr<StandinServer>> servers;
  for (int i = 0; i < 3; ++i) servers.push_back(std::make_unique<StandinServer>(slow));
  const std::uint16_t killed_port = servers[1]->port();
  const std::string killed_url = url_of(killed_port);
  auto model = model_on_servers({servers[0]->port(), killed_port, servers[2]->port()}, "m");
  Agent agent = agent_of(model);

  constexpr int kThreads = 4;
  constexpr int kChatsBefore = 3;  // per thread, before the kill
  constexpr int kChatsAfter = 5;   // per thread, started after the kill
  std::mutex mutex;
  std::condition_variable changed;
  int finished_before = 0;
  bool killed = false;
  std::vector<std::string> failures_before;  // chats the kill cut short
  std::vector<std::string> failures_after;   // must stay empty
  std::atomic<int> good_after{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kChatsBefore + kChatsAfter; ++i) {
        const bool after = i >= kChatsBefore;
        if (after) {
          std::unique_lock lock(mutex);
          changed.wait(lock, [&] { return killed; });
        }
        const std::string user = "t" + std::to_string(t) + " chat " + std::to_string(i);
        Taken taken = take_all(*agent.run(user));
        std::lock_guard lock(mutex);
        if (!after) {
          ++finished_before;
          changed.notify_all();
        }
        if (taken.error) {
          (after ? failures_after : failures_before).push_back(*taken.error);
        } else if (taken.content() != answer_to("m", user)) {
          (after ? failures_after : failures_before).push_back("wrong answer to " + user);
        } else if (after) {
          ++good_after;
        }
      }
    });
  }
  // Kill the middle server while the first chats run, once it has served.
  // (EXPECT, not ASSERT: the threads must be let go and joined either way.)
  EXPECT_TRUE(servers[1]->wait_for_requests(1, kPatience));
  {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, kPatience, [&] { return finished_before >= kThreads; }));
  }
  servers[1]->stop();
  const std::size_t served_by_killed = servers[1]->requests().size();
  {
    std::lock_guard lock(mutex);
    killed = true;
  }
  changed.notify_all();
  for (auto& thread : threads) thread.join();

  EXPECT_TRUE(failures_after.empty()) << failures_after.front();
  EXPECT_EQ(good_after, kThreads * kChatsAfter);
  // A chat the kill cut short fails naming the killed server, never as a short answer.
  for (const auto& failure : failures_before) {
    EXPECT_EQ(failure.rfind("Ollama server " + killed_url + " (model \"m\"): ", 0), 0u) << failure;
  }
  EXPECT_GT(served_by_killed, 0u);
  EXPECT_EQ(servers[1]->requests().size(), served_by_killed);
  EXPECT_EQ(model->chats_in_flight(), (std::vector<std::size_t>{0, 0, 0}));
}

}  // namespace
}  // namespace kelmora::llm
