// Server addresses, NDJSON line splitting and chat-line classification.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <kelmora/core/errors.hpp>
#include <kelmora/llm/chat_settings.hpp>
#include <kelmora/llm/ndjson.hpp>
#include <kelmora/llm/server_address.hpp>
#include <optional>
#include <string>
#include <vector>

#include "standin/standin_server.hpp"

namespace kelmora::llm {
namespace {

// Numbers that would silently mean something else do not compile.
static_assert(!std::is_constructible_v<Think, int>);
static_assert(!std::is_constructible_v<Think, double>);
static_assert(std::is_constructible_v<Think, bool>);
static_assert(!std::is_constructible_v<KeepAlive, int>);
static_assert(!std::is_constructible_v<KeepAlive, double>);
static_assert(std::is_constructible_v<KeepAlive, std::chrono::minutes>);
static_assert(std::is_constructible_v<KeepAlive, std::string>);

struct HostCase {
  std::string text;
  std::string url;
};

TEST(ServerAddressTest, ParsesTheFormsPeopleWrite) {
  const std::vector<HostCase> cases = {
      {"localhost", "http://localhost:11434"},
      {"example.org", "http://example.org:11434"},
      {"10.0.0.7:8080", "http://10.0.0.7:8080"},
      {":4000", "http://127.0.0.1:4000"},
      {"0.0.0.0", "http://0.0.0.0:11434"},
      {"http://gpu-box", "http://gpu-box:11434"},
      {"http://gpu-box:1234", "http://gpu-box:1234"},
      {"http://gpu-box:1234/", "http://gpu-box:1234"},
      {"gpu-box/", "http://gpu-box:11434"},
      {"HTTP://Gpu-Box:1", "http://Gpu-Box:1"},
      {"https://models.example.org", "https://models.example.org:443"},
      {"https://models.example.org:8443/", "https://models.example.org:8443"},
      {"[::1]", "http://[::1]:11434"},
      {"[::1]:9000", "http://[::1]:9000"},
      {"http://[fe80::1]:9000/", "http://[fe80::1]:9000"},
      {"  localhost:5000 \n", "http://localhost:5000"},
      {"127.0.0.1:65535", "http://127.0.0.1:65535"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_ollama_host(c.text).url(), c.url);
  }
}

TEST(ServerAddressTest, RejectsOtherTextsWithAnErrorQuotingIt) {
  const std::vector<std::string> bad = {
      "",       "   ",           "ftp://host", "http://", "host:",
      "host:0", "host:65536",    "host:12ab",  "host:-1", "http://host/api",
      "::1",    "[::1",          "[::1]x",     "[]:80",   "user@host",
      "a b:80", "http://:80:90", "host:80:90", "//host",  "http://host?x=1",
  };
  for (const auto& text : bad) {
    SCOPED_TRACE(text);
    try {
      parse_ollama_host(text);
      ADD_FAILURE() << "accepted";
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find("invalid Ollama server address \"" + text + "\": "),
                std::string::npos)
          << e.what();
    }
  }
}

TEST(ServerAddressTest, ErrorTextNamesReasonAndAcceptedForms) {
  try {
    parse_ollama_host("ftp://host");
    FAIL() << "accepted";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(),
                 "invalid Ollama server address \"ftp://host\": the scheme \"ftp\" is not http or "
                 "https (expected host, host:port, :port, http://host[:port] or "
                 "https://host[:port])");
  }
}

TEST(ServerAddressTest, EnvironmentNamesTheServerAndUnsetOrEmptyMeansLoopback) {
  ::unsetenv("OLLAMA_HOST");
  EXPECT_EQ(server_from_environment().url(), "http://127.0.0.1:11434");
  ::setenv("OLLAMA_HOST", "", 1);
  EXPECT_EQ(server_from_environment().url(), "http://127.0.0.1:11434");
  ::setenv("OLLAMA_HOST", ":7777", 1);
  EXPECT_EQ(server_from_environment().url(), "http://127.0.0.1:7777");
  ::setenv("OLLAMA_HOST", "nonsense://x", 1);
  EXPECT_THROW(server_from_environment(), ValueError);
  ::unsetenv("OLLAMA_HOST");
}

// A stream of three chat lines, with a multi-byte character in each.
const std::string kSample =
    "{\"message\":{\"role\":\"assistant\",\"content\":\"上海\"},\"done\":false}\n"
    "{\"message\":{\"role\":\"assistant\",\"content\":\"é!\"},\"done\":false}\r\n"
    "{\"message\":{\"role\":\"assistant\",\"content\":\"\"},\"done\":true}\n";

std::vector<std::string> sample_lines() {
  return {"{\"message\":{\"role\":\"assistant\",\"content\":\"上海\"},\"done\":false}",
          "{\"message\":{\"role\":\"assistant\",\"content\":\"é!\"},\"done\":false}",
          "{\"message\":{\"role\":\"assistant\",\"content\":\"\"},\"done\":true}"};
}

std::vector<std::string> feed_all(LineSplitter& splitter, const std::vector<std::string>& chunks) {
  std::vector<std::string> lines;
  for (const auto& chunk : chunks) {
    for (auto& line : splitter.feed(chunk)) lines.push_back(std::move(line));
  }
  if (auto rest = splitter.finish()) lines.push_back(*rest);
  return lines;
}

TEST(LineSplitterTest, EveryTwoWaySplitOfTheStreamGivesTheSameLines) {
  for (std::size_t cut = 0; cut <= kSample.size(); ++cut) {
    SCOPED_TRACE(cut);
    LineSplitter splitter;
    EXPECT_EQ(feed_all(splitter, {kSample.substr(0, cut), kSample.substr(cut)}), sample_lines());
  }
}

TEST(LineSplitterTest, EveryThreeWaySplitOfTheStreamGivesTheSameLines) {
  for (std::size_t a = 0; a <= kSample.size(); ++a) {
    for (std::size_t b = a; b <= kSample.size(); b += 7) {
      LineSplitter splitter;
      ASSERT_EQ(
          feed_all(splitter, {kSample.substr(0, a), kSample.substr(a, b - a), kSample.substr(b)}),
          sample_lines())
          << a << " " << b;
    }
  }
}

TEST(LineSplitterTest, ByteByByteFeedingReassemblesSplitCharacters) {
  LineSplitter splitter;
  std::vector<std::string> chunks;
  for (char c : kSample) chunks.emplace_back(1, c);
  auto lines = feed_all(splitter, chunks);
  ASSERT_EQ(lines, sample_lines());
  EXPECT_EQ(parse_chat_line(lines[0]).content, "上海");
}

TEST(LineSplitterTest, LastLineWithoutLineEndComesFromFinish) {
  LineSplitter splitter;
  EXPECT_EQ(splitter.feed("a\nb"), std::vector<std::string>{"a"});
  EXPECT_EQ(splitter.finish(), std::optional<std::string>("b"));
  EXPECT_EQ(splitter.finish(), std::nullopt);
  EXPECT_EQ(splitter.feed("\n\n"), (std::vector<std::string>{"", ""}));
}

TEST(LineSplitterTest, LineOverTheLimitFailsWithItsLength) {
  LineSplitter splitter(8);
  EXPECT_EQ(splitter.feed("12345678\n"), std::vector<std::string>{"12345678"});
  EXPECT_EQ(splitter.feed("1234"), std::vector<std::string>{});
  try {
    splitter.feed("56789");
    FAIL() << "accepted";
  } catch (const LineTooLongError& e) {
    EXPECT_STREQ(e.what(), "a line longer than 8 bytes");
  }
}

struct LineCase {
  std::string line;
  ChatLine::Kind kind;
  std::string content;
  std::string error;
  std::string thinking = "";
};

TEST(ChatLineTest, ClassifiesEachKindOfLine) {
  using K = ChatLine::Kind;
  const std::vector<LineCase> cases = {
      {"", K::kBlank, "", ""},
      {"  \t", K::kBlank, "", ""},
      {R"({"message":{"role":"assistant","content":"Sh"},"done":false})", K::kContent, "Sh", ""},
      {R"({"message":{"content":""},"done":false})", K::kContent, "", ""},
      {R"({"message":{"role":"assistant"}})", K::kContent, "", ""},
      {R"({"message":{"content":"x","thinking":"hmm"}})", K::kContent, "x", "", "hmm"},
      {R"({"message":{"role":"assistant","content":"","thinking":"Let me see"},"done":false})",
       K::kContent, "", "", "Let me see"},
      {R"({"message":{"content":"","thinking":"last"},"done":true})", K::kDone, "", "", "last"},
      {R"({"message":{"content":"x","thinking":7}})", K::kMalformed, "",
       "\"message.thinking\" is not text"},
      {R"({"message":{"content":""},"done":true,"done_reason":"stop"})", K::kDone, "", ""},
      {R"({"message":{"content":"end"},"done":true})", K::kDone, "end", ""},
      {R"({"done":true})", K::kDone, "", ""},
      {R"({"error":"model is gone"})", K::kError, "", "model is gone"},
      {R"({"error":{"code":3}})", K::kError, "", R"({"code":3})"},
      {"not json", K::kMalformed, "", "not JSON"},
      {R"({"message":{"content":"x"})", K::kMalformed, "", "not JSON"},
      {"[1,2]", K::kMalformed, "", "not a JSON object"},
      {"{}", K::kMalformed, "", "it has neither \"message\" nor \"done\""},
      {R"({"message":"hi"})", K::kMalformed, "", "\"message\" is not an object"},
      {R"({"message":{"content":5}})", K::kMalformed, "", "\"message.content\" is not text"},
      {R"({"message":{"content":"x"},"done":"yes"})", K::kMalformed, "",
       "\"done\" is not true or false"},
      {"{\"message\":{\"content\":\"\xE4\xB8\"}}", K::kMalformed, "", "not JSON"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    ChatLine parsed = parse_chat_line(c.line);
    EXPECT_EQ(parsed.kind, c.kind);
    EXPECT_EQ(parsed.content, c.content);
    EXPECT_EQ(parsed.error, c.error);
    EXPECT_EQ(parsed.thinking, c.thinking);
  }
}

struct SummaryCase {
  std::string line;
  ChatSummary summary;
};

TEST(ChatLineTest, FinalLineGivesDoneReasonAndCountersLeniently) {
  using std::chrono::nanoseconds;
  auto with = [](std::string reason, std::int64_t total, std::int64_t load, std::int64_t prompt,
                 std::int64_t prompt_ns, std::int64_t eval, std::int64_t eval_ns) {
    ChatSummary s;
    s.done_reason = std::move(reason);
    s.total_duration = nanoseconds(total);
    s.load_duration = nanoseconds(load);
    s.prompt_eval_count = prompt;
    s.prompt_eval_duration = nanoseconds(prompt_ns);
    s.eval_count = eval;
    s.eval_duration = nanoseconds(eval_ns);
    return s;
  };
  const std::vector<SummaryCase> cases = {
      {R"({"message":{"content":""},"done":true,"done_reason":"stop","total_duration":123,)"
       R"("load_duration":4,"prompt_eval_count":5,"prompt_eval_duration":6,"eval_count":42,)"
       R"("eval_duration":7})",
       with("stop", 123, 4, 5, 6, 42, 7)},
      {R"({"done":true,"done_reason":"length","eval_count":3})", with("length", 0, 0, 0, 0, 3, 0)},
      {R"({"done":true,"done_reason":"load"})", with("load", 0, 0, 0, 0, 0, 0)},
      {R"({"done":true})", with("", 0, 0, 0, 0, 0, 0)},
      // Counters inform: odd ones read as 0 (or are cut to whole numbers), never failing a line.
      {R"({"done":true,"done_reason":5,"eval_count":"many","total_duration":-3,)"
       R"("load_duration":2.9,"prompt_eval_count":null})",
       with("", 0, 2, 0, 0, 0, 0)},
      {R"({"done":true,"eval_count":18446744073709551615})",
       with("", 0, 0, 0, 0, 9223372036854775807, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    ChatLine parsed = parse_chat_line(c.line);
    ASSERT_EQ(parsed.kind, ChatLine::Kind::kDone);
    EXPECT_EQ(parsed.summary, c.summary);
    EXPECT_EQ(parsed.summary.truncated(), c.summary.done_reason == "length");
  }
  // Only the final line carries them.
  EXPECT_EQ(
      parse_chat_line(R"({"message":{"content":"a"},"done_reason":"stop","eval_count":3})").summary,
      ChatSummary{});
}

struct TagCase {
  std::string name;
  std::string text;
  std::string thinking;
  std::string content;
};

// Feeds `pieces` to a fresh splitter and joins what it gives.
ResponseItem split_tags(const std::vector<std::string>& pieces) {
  ThinkTagSplitter splitter;
  ResponseItem joined;
  auto add = [&](const ResponseItem& item) {
    joined.thinking += item.thinking;
    joined.content += item.content;
  };
  for (const auto& piece : pieces) add(splitter.feed(piece));
  add(splitter.finish());
  return joined;
}

TEST(ThinkTagSplitterTest, ThinkingAtTheStartIsSeparatedHoweverThePiecesFall) {
  const std::vector<TagCase> cases = {
      {"tags", "<think>因为 a</think>\n\n答案", "因为 a", "答案"},
      {"blanks before", "  \n<think>x</think>y", "x", "y"},
      {"no blank after", "<think>x</think>y z", "x", "y z"},
      {"empty thinking", "<think></think>\nanswer", "", "answer"},
      {"unclosed", "<think>still thinking", "still thinking", ""},
      {"only thinking", "<think>t</think>\n", "t", ""},
      {"no tags", "plain answer", "", "plain answer"},
      {"tag later", "see <think>x</think>", "", "see <think>x</think>"},
      {"like a tag", "<thinking>", "", "<thinking>"},
      {"almost a tag", "<thin", "", "<thin"},
      {"lone close", "</think>x", "", "</think>x"},
      {"close inside", "<think>a</thin</think>b", "a</thin", "b"},
      {"second pair stays", "<think>a</think>b<think>c</think>", "a", "b<think>c</think>"},
      {"blank answer kept", "   ", "", "   "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ResponseItem expected{c.content, c.thinking};
    EXPECT_EQ(split_tags({c.text}), expected);
    for (std::size_t cut = 0; cut <= c.text.size(); ++cut) {
      ASSERT_EQ(split_tags({c.text.substr(0, cut), c.text.substr(cut)}), expected) << cut;
    }
    std::vector<std::string> bytes;
    for (char byte : c.text) bytes.emplace_back(1, byte);
    EXPECT_EQ(split_tags(bytes), expected);
  }
}

TEST(ThinkTagSplitterTest, AnswerTextPassesThroughAtOnce) {
  ThinkTagSplitter splitter;
  EXPECT_EQ(splitter.feed("Sh"), (ResponseItem{"Sh", ""}));
  EXPECT_EQ(splitter.feed("<think>"), (ResponseItem{"<think>", ""}));
  ThinkTagSplitter thinking;
  EXPECT_EQ(thinking.feed("<think>ab"), (ResponseItem{"", "ab"}));
  EXPECT_EQ(thinking.feed("c</th"), (ResponseItem{"", "c"}));  // "</th" may begin the end tag
  EXPECT_EQ(thinking.feed("ink>d"), (ResponseItem{"d", ""}));
}

TEST(ChatSettingsTest, ThinkIsTrueFalseOrALevel) {
  EXPECT_EQ(Think(true).json(), "true");
  EXPECT_EQ(Think(false).json(), "false");
  EXPECT_FALSE(Think(false).enabled());
  for (const char* level : {"low", "medium", "high"}) {
    SCOPED_TRACE(level);
    Think think(level);
    EXPECT_TRUE(think.enabled());
    EXPECT_EQ(think.level(), level);
    EXPECT_EQ(think.json(), "\"" + std::string(level) + "\"");
    EXPECT_EQ(Think(std::string(level)), think);
  }
  std::optional<Think> set;
  set = "high";
  EXPECT_EQ(set->level(), "high");
  set = false;
  EXPECT_EQ(set->json(), "false");
}

TEST(ChatSettingsTest, InvalidThinkLevelIsAValueErrorNamingIt) {
  for (const std::string level : {"extreme", "", "LOW", "true", "high "}) {
    SCOPED_TRACE(level);
    try {
      Think think(level);
      ADD_FAILURE() << "accepted";
    } catch (const ValueError& e) {
      EXPECT_EQ(std::string(e.what()), "invalid think level \"" + level +
                                           "\": expected true, false, \"low\", \"medium\" or "
                                           "\"high\"");
    }
  }
  EXPECT_THROW(Think(static_cast<const char*>(nullptr)), ValueError);
}

TEST(ChatSettingsTest, KeepAliveIsADurationTextOrALengthOfTime) {
  using namespace std::chrono_literals;
  for (const char* text : {"5m", "1h30m", "-1m", "0", "-0", "2.5s", "300ms", "+1h", "1\xC2\xB5s",
                           "10us", "5ns", ".5h", "1.s", "1h2m3s4ms"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(KeepAlive(text).json(), "\"" + std::string(text) + "\"");
  }
  EXPECT_EQ(KeepAlive(std::chrono::minutes(5)).json(), "300");
  EXPECT_EQ(KeepAlive(0s).json(), "0");
  EXPECT_EQ(KeepAlive(-1s).json(), "-1");
  EXPECT_EQ(KeepAlive(1500ms).json(), "1.5");
  EXPECT_EQ(KeepAlive(90s).seconds(), 90.0);
  for (const std::string text : {"5", "m", "5 m", "", " 5m", "1x", "--1m", "1m-", ".s", "five"}) {
    SCOPED_TRACE(text);
    try {
      KeepAlive keep_alive(text);
      ADD_FAILURE() << "accepted";
    } catch (const ValueError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("invalid keep_alive \"" + text +
                                                "\": expected a "
                                                "duration such as \"5m\"",
                                            0),
                0u)
          << e.what();
    }
  }
}

TEST(ChatSettingsTest, ModelOptionsBecomeTheOptionsObject) {
  ModelOptions options;
  EXPECT_TRUE(options.empty());
  EXPECT_EQ(options.json(), "{}");
  options.temperature = 0.5;
  options.num_ctx = 4096;
  options.seed = 42;
  options.num_predict = 16;
  options.top_p = 0.9;
  options.top_k = 40;
  options.stop = {"\n\n", "用户:"};
  options.extra["mirostat"] = 2;
  options.extra["repeat_penalty"] = 1.25;
  options.extra["numa"] = true;
  options.extra["note"] = "x";
  EXPECT_TRUE(std::holds_alternative<std::int64_t>(options.extra["mirostat"]));
  EXPECT_TRUE(std::holds_alternative<std::string>(options.extra["note"]));
  EXPECT_FALSE(options.empty());
  EXPECT_NO_THROW(options.check());
  EXPECT_EQ(options.json(),
            R"({"mirostat":2,"note":"x","num_ctx":4096,"num_predict":16,"numa":true,)"
            R"("repeat_penalty":1.25,"seed":42,"stop":["\n\n","用户:"],"temperature":0.5,)"
            R"("top_k":40,"top_p":0.9})");
}

TEST(ChatSettingsTest, ModelOptionsMergeEntryByEntry) {
  ModelOptions base;
  base.temperature = 0.1;
  base.seed = 1;
  base.stop = {"a"};
  base.extra["mirostat"] = std::int64_t{1};
  base.extra["numa"] = false;
  ModelOptions over;
  over.seed = 7;
  over.num_predict = 3;
  over.extra["numa"] = true;
  ModelOptions merged = base.merged_with(over);
  EXPECT_EQ(merged.temperature, 0.1);
  EXPECT_EQ(merged.seed, 7);
  EXPECT_EQ(merged.num_predict, 3);
  EXPECT_EQ(merged.stop, std::vector<std::string>{"a"});
  EXPECT_EQ(merged.extra.at("mirostat"), OptionValue(std::int64_t{1}));
  EXPECT_EQ(merged.extra.at("numa"), OptionValue(true));
  EXPECT_EQ(ModelOptions{}.merged_with(base), base);
  EXPECT_EQ(base.merged_with(ModelOptions{}), base);
}

TEST(ChatSettingsTest, ModelOptionsThatCannotBeSentAreValueErrors) {
  struct Bad {
    ModelOptions options;
    std::string message;
  };
  std::vector<Bad> cases(4);
  cases[0].options.temperature = std::nan("");
  cases[0].message = "the model option \"temperature\" is not a finite number";
  cases[1].options.extra["repeat_penalty"] = HUGE_VAL;
  cases[1].message = "the model option \"repeat_penalty\" is not a finite number";
  cases[2].options.extra["temperature"] = 0.5;
  cases[2].message =
      "the model option \"temperature\" is given in extra, but it has a field of its own: set that";
  cases[3].options.extra[""] = true;
  cases[3].message = "a model option in extra has an empty name";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    try {
      c.options.check();
      ADD_FAILURE() << "accepted";
    } catch (const ValueError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST(StandinAnswerTest, PiecesNeverSplitACharacterAndJoinToTheAnswer) {
  const std::string answer = testing::StandinServer::answer("m", "sys", "中国上海的新闻");
  EXPECT_EQ(answer, "[stand-in, not a real model] model=m; system=sys; user=中国上海的新闻");
  for (std::size_t chars : {1, 2, 3, 4, 7, 1000}) {
    auto pieces = testing::StandinServer::answer_pieces(answer, chars);
    std::string joined;
    for (const auto& piece : pieces) {
      ASSERT_FALSE(piece.empty());
      EXPECT_NE(static_cast<unsigned char>(piece.front()) & 0xC0, 0x80) << piece;
      joined += piece;
    }
    EXPECT_EQ(joined, answer);
  }
}

}  // namespace
}  // namespace kelmora::llm
