// The Ollama client, agent and response stream against the stand-in model server.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <kelmora/core/errors.hpp>
#include <kelmora/llm/agent.hpp>
#include <kelmora/llm/errors.hpp>
#include <kelmora/llm/ollama.hpp>
#include <kelmora/llm/response_stream.hpp>
#include <mutex>
#include <optional>
#include <ranges>
#include <string>
#include <thread>
#include <vector>

#include "standin/standin_server.hpp"
#include "support/refusing_port.hpp"

namespace kelmora::llm {
namespace {

using kelmora::testing::StandinFailure;
using kelmora::testing::StandinOptions;
using kelmora::testing::StandinServer;
using namespace std::chrono_literals;

static_assert(std::ranges::input_range<ResponseStream>);

constexpr const char* kDescription = "You are a test reporter.";

std::shared_ptr<Ollama> model_on(std::uint16_t port, std::string id,
                                 std::chrono::milliseconds read_timeout = std::chrono::minutes(5),
                                 std::size_t max_line_bytes = kDefaultMaxLineBytes) {
  Ollama::Options options;
  options.id = std::move(id);
  options.server = ServerAddress{"http", "127.0.0.1", port};
  options.read_timeout = read_timeout;
  options.max_line_bytes = max_line_bytes;
  return std::make_shared<Ollama>(std::move(options));
}

Agent agent_on(std::shared_ptr<Ollama> model, bool markdown = true) {
  return Agent(
      Agent::Options{.model = std::move(model), .description = kDescription, .markdown = markdown});
}

std::string system_message() {
  return std::string(kDescription) + " " + std::string(kMarkdownInstruction);
}

std::string prefix(std::uint16_t port, const std::string& model) {
  return "Ollama server http://127.0.0.1:" + std::to_string(port) + " (model \"" + model + "\"): ";
}

// What a consumer saw: the pieces, then the error that ended the stream, if any, with the
// server and model it names.
struct Outcome {
  std::vector<std::string> pieces;
  std::optional<std::string> error;
  std::string server;
  std::string model;
};

Outcome consume(ResponseStream& stream) {
  Outcome outcome;
  try {
    while (auto item = stream.next()) outcome.pieces.push_back(item->content);
  } catch (const ModelServerError& e) {
    outcome.error = e.what();
    outcome.server = e.server();
    outcome.model = e.model();
  }
  return outcome;
}

TEST(OllamaClientTest, StreamedAnswerArrivesInThePiecesTheServerSent) {
  StandinServer server;
  Agent agent = agent_on(model_on(server.port(), "qwen3:30b"));
  auto stream = agent.run("中国上海的新闻");
  Outcome outcome = consume(*stream);

  ASSERT_FALSE(outcome.error) << *outcome.error;
  const std::string answer = StandinServer::answer("qwen3:30b", system_message(), "中国上海的新闻");
  EXPECT_EQ(outcome.pieces, StandinServer::answer_pieces(answer, StandinOptions{}.piece_chars));
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].model, "qwen3:30b");
  EXPECT_EQ(server.requests()[0].system, system_message());
  EXPECT_EQ(server.requests()[0].user, "中国上海的新闻");
  EXPECT_TRUE(server.requests()[0].stream);
  EXPECT_EQ(stream->next(), std::nullopt);  // stays at its end
}

TEST(OllamaClientTest, RangeForJoinsTheWholeAnswer) {
  StandinServer server;
  auto stream = agent_on(model_on(server.port(), "m")).run("hi");
  std::string joined;
  for (const auto& item : *stream) joined += item.content;
  EXPECT_EQ(joined, StandinServer::answer("m", system_message(), "hi"));
}

TEST(OllamaClientTest, NonStreamedRunGivesTheWholeAnswerAsOnePiece) {
  StandinServer server;
  auto stream = agent_on(model_on(server.port(), "m")).run("中国北京的新闻", /*stream=*/false);
  Outcome outcome = consume(*stream);
  ASSERT_FALSE(outcome.error) << *outcome.error;
  EXPECT_EQ(outcome.pieces, std::vector<std::string>{
                                StandinServer::answer("m", system_message(), "中国北京的新闻")});
  EXPECT_FALSE(server.requests().at(0).stream);
}

TEST(OllamaClientTest, SystemMessageIsTheDescriptionPlusTheMarkdownSentenceWhenAsked) {
  StandinServer server;
  auto model = model_on(server.port(), "m");
  consume(*agent_on(model, /*markdown=*/false).run("a"));
  consume(*Agent(Agent::Options{.model = model, .description = "", .markdown = false}).run("b"));
  consume(*Agent(Agent::Options{.model = model, .description = "", .markdown = true}).run("c"));
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].system, kDescription);
  EXPECT_EQ(requests[1].system, "");
  EXPECT_EQ(requests[2].system, std::string(kMarkdownInstruction));
}

TEST(OllamaClientTest, MakingModelsAndAgentsContactsNoServer) {
  StandinServer server;
  auto model = model_on(server.port(), "m");
  Agent agent = agent_on(model);
  Agent unreachable = agent_on(model_on(testing::RefusingPort().port(), "m"));
  EXPECT_TRUE(server.requests().empty());
  EXPECT_THROW(Agent(Agent::Options{.model = nullptr, .description = "d", .markdown = true}),
               ValueError);
}

TEST(OllamaClientTest, ModelWithoutServerUsesOllamaHost) {
  ::setenv("OLLAMA_HOST", "http://gpu-box:1234/", 1);
  EXPECT_EQ(Ollama("m").server().url(), "http://gpu-box:1234");
  ::setenv("OLLAMA_HOST", "bad host", 1);
  EXPECT_THROW(Ollama("m"), ValueError);
  ::unsetenv("OLLAMA_HOST");
  EXPECT_EQ(Ollama("m").server().url(), "http://127.0.0.1:11434");
}

struct FailureCase {
  std::string model;  // a "fail:" model picks the stand-in's failure
  bool stream;
  std::size_t pieces;  // pieces the consumer gets before the error
  std::string detail;  // the error text after the server-and-model prefix
};

// The read time-out of each failure case's client. Only the stand-in's silent and stalling
// models end in it: the silent one sends nothing, so a short time-out will do; the stalling one
// first sends two pieces, which must arrive before it fires even on a loaded machine. Every
// other case gets one that never fires, so how fast its answer comes cannot change its outcome.
std::chrono::milliseconds read_timeout_for(const std::string& model) {
  if (model == "fail:silent") return 200ms;
  if (model == "fail:stall") return 2s;
  return std::chrono::minutes(5);
}

TEST(OllamaClientTest, EachServerFailureReachesTheConsumerAfterThePiecesBeforeIt) {
  StandinOptions options;
  options.long_line_bytes = 10'000;
  StandinServer server(options);
  const std::vector<FailureCase> cases = {
      {"fail:404", true, 0, "HTTP status 404: model \"fail:404\" not found, try pulling it first"},
      {"fail:404", false, 0, "HTTP status 404: model \"fail:404\" not found, try pulling it first"},
      {"fail:500", true, 0, "HTTP status 500: stand-in: failure requested: internal server error"},
      {"fail:400", true, 0, "HTTP status 400: stand-in: failure requested: bad request"},
      {"fail:400", false, 0, "HTTP status 400: stand-in: failure requested: bad request"},
      {"fail:400-text", true, 0, "HTTP status 400: 400 Bad Request: stand-in: failure requested"},
      {"fail:400-text", false, 0, "HTTP status 400: 400 Bad Request: stand-in: failure requested"},
      {"fail:error-line", true, 2,
       "the server reported an error: stand-in: failure requested: the model stopped"},
      {"fail:error-line", false, 0,
       "the server reported an error: stand-in: failure requested: the model stopped"},
      {"fail:malformed", true, 2,
       "the server sent a malformed line (not JSON): this line is not JSON (stand-in: failure "
       "requested)"},
      {"fail:malformed", false, 0,
       "the server sent a malformed answer (not JSON): this is not JSON (stand-in: failure "
       "requested)"},
      {"fail:no-done", true, 2,
       "the answer ended without its final \"done\" line, so it is incomplete"},
      {"fail:no-done", false, 0, "the answer is incomplete: it lacks \"done\": true"},
      {"fail:long-line", true, 2, "the server sent a line longer than 4096 bytes"},
      {"fail:long-line", false, 0, "the server sent an answer longer than 4096 bytes"},
      {"fail:stall", true, 2, "nothing arrived from the server for 2 s (read time-out)"},
      {"fail:silent", true, 0, "nothing arrived from the server for 0.2 s (read time-out)"},
      {"fail:silent", false, 0, "nothing arrived from the server for 0.2 s (read time-out)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model + (c.stream ? " streamed" : " whole"));
    auto stream = agent_on(model_on(server.port(), c.model, read_timeout_for(c.model), 4096))
                      .run("q", c.stream);
    Outcome outcome = consume(*stream);
    const std::string answer = StandinServer::answer(c.model, system_message(), "q");
    auto expected = StandinServer::answer_pieces(answer, options.piece_chars);
    expected.resize(c.pieces);
    EXPECT_EQ(outcome.pieces, expected);
    EXPECT_EQ(outcome.error, prefix(server.port(), c.model) + c.detail);
    EXPECT_EQ(outcome.server, "http://" + server.address());
    EXPECT_EQ(outcome.model, c.model);
    EXPECT_EQ(stream->summary(), std::nullopt);  // a failed chat has no summary
    // The error stays: it is not followed by an end that would look like a whole answer.
    EXPECT_THROW(stream->next(), ModelServerError);
  }
}

TEST(OllamaClientTest, UnreachableServerFailsNamingServerAndModel) {
  testing::RefusingPort port;
  auto stream = agent_on(model_on(port.port(), "qwen3:30b")).run("q");
  try {
    stream->next();
    FAIL() << "no error";
  } catch (const ModelServerError& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.rfind(prefix(port.port(), "qwen3:30b") + "cannot connect (", 0), 0u) << text;
    EXPECT_NE(text.find("is the server running? OLLAMA_HOST names the server to use"),
              std::string::npos);
    EXPECT_EQ(e.server(), "http://127.0.0.1:" + std::to_string(port.port()));
    EXPECT_EQ(e.model(), "qwen3:30b");
  }
}

TEST(OllamaClientTest, DroppingAStreamEarlyClosesItsConnection) {
  StandinServer server;
  // The stand-in sends two pieces and then holds the connection open; only the drop can end it
  // (the read time-out is far longer than the test's own time limit).
  auto stream = agent_on(model_on(server.port(), "fail:stall")).run("q");
  ASSERT_TRUE(stream->next().has_value());
  stream.reset();
  server.wait_for_hangups(1);
  EXPECT_EQ(server.hangups(), 1u);
}

TEST(OllamaClientTest, DroppingAStreamAtOnceAfterMakingItIsClean) {
  StandinServer server;
  for (int i = 0; i < 20; ++i) {
    auto stream = agent_on(model_on(server.port(), i % 2 ? "fail:silent" : "m")).run("q");
  }
}

TEST(OllamaClientTest, StreamMadeOnOneThreadIsConsumedOnAnother) {
  StandinServer server;
  std::shared_ptr<ResponseStream> stream;
  std::thread maker([&] { stream = agent_on(model_on(server.port(), "m")).run("q"); });
  maker.join();
  Outcome outcome = consume(*stream);
  ASSERT_FALSE(outcome.error) << *outcome.error;
  EXPECT_EQ(outcome.pieces,
            StandinServer::answer_pieces(StandinServer::answer("m", system_message(), "q"), 4));
}

TEST(OllamaClientTest, TwoStreamsConsumedAtOnceFromTwoThreadsEachGetTheirOwnAnswer) {
  StandinOptions options;
  options.piece_delay_ms = 1;
  StandinServer server(options);
  auto first = agent_on(model_on(server.port(), "a")).run("中国上海的新闻");
  auto second = agent_on(model_on(server.port(), "b")).run("中国北京的新闻");
  Outcome a;
  Outcome b;
  std::thread t1([&] { a = consume(*first); });
  std::thread t2([&] { b = consume(*second); });
  t1.join();
  t2.join();
  ASSERT_FALSE(a.error) << *a.error;
  ASSERT_FALSE(b.error) << *b.error;
  EXPECT_EQ(a.pieces, StandinServer::answer_pieces(
                          StandinServer::answer("a", system_message(), "中国上海的新闻"), 4));
  EXPECT_EQ(b.pieces, StandinServer::answer_pieces(
                          StandinServer::answer("b", system_message(), "中国北京的新闻"), 4));
}

// A producer under the test's control: pushes pieces, then waits to be cancelled or released.
class ScriptedProducer : public ResponseStream::Producer {
 public:
  ScriptedProducer(std::vector<std::string> pieces, bool fail, bool wait_for_cancel)
      : pieces_(std::move(pieces)), fail_(fail), wait_for_cancel_(wait_for_cancel) {}
  void run(ResponseStream::Sink& sink) override {
    for (auto& piece : pieces_) sink.push(piece);
    if (wait_for_cancel_) {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return cancelled_; });
      EXPECT_TRUE(sink.cancelled());
      return;
    }
    if (fail_) throw RuntimeError("scripted failure");
  }
  void cancel() noexcept override {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    changed_.notify_all();
  }

 private:
  std::vector<std::string> pieces_;
  bool fail_;
  bool wait_for_cancel_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool cancelled_ = false;
};

TEST(ResponseStreamTest, EmptyPiecesAreSkipped) {
  ResponseStream done({"", "a", "", "b", ""});
  EXPECT_EQ(done.next()->content, "a");
  EXPECT_EQ(done.next()->content, "b");
  EXPECT_EQ(done.next(), std::nullopt);

  ResponseStream produced(
      std::make_unique<ScriptedProducer>(std::vector<std::string>{"", "x", ""}, false, false));
  EXPECT_EQ(produced.next()->content, "x");
  EXPECT_EQ(produced.next(), std::nullopt);

  ResponseStream nothing(std::vector<std::string>{});
  EXPECT_EQ(nothing.begin(), nothing.end());
}

TEST(ResponseStreamTest, ProducerErrorComesAfterItsPiecesAndStays) {
  ResponseStream stream(
      std::make_unique<ScriptedProducer>(std::vector<std::string>{"p", "q"}, true, false));
  std::vector<std::string> seen;
  try {
    for (const auto& item : stream) seen.push_back(item.content);
    FAIL() << "no error";
  } catch (const RuntimeError& e) {
    EXPECT_STREQ(e.what(), "scripted failure");
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"p", "q"}));
  EXPECT_THROW(stream.next(), RuntimeError);
}

TEST(ResponseStreamTest, DroppingAStreamCancelsAWaitingProducer) {
  auto stream = std::make_unique<ResponseStream>(
      std::make_unique<ScriptedProducer>(std::vector<std::string>{"p"}, false, true));
  EXPECT_EQ(stream->next()->content, "p");
  stream.reset();  // returns only once the producer saw the cancel and its thread was joined
}

}  // namespace
}  // namespace kelmora::llm
