// Server addresses, NDJSON line splitting and chat-line classification.

#include <gtest/gtest.h>

#include <cstdlib>
#include <kelmora/core/errors.hpp>
#include <kelmora/llm/ndjson.hpp>
#include <kelmora/llm/server_address.hpp>
#include <optional>
#include <string>
#include <vector>

#include "standin/standin_server.hpp"

namespace kelmora::llm {
namespace {

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
};

TEST(ChatLineTest, ClassifiesEachKindOfLine) {
  using K = ChatLine::Kind;
  const std::vector<LineCase> cases = {
      {"", K::kBlank, "", ""},
      {"  \t", K::kBlank, "", ""},
      {R"({"message":{"role":"assistant","content":"Sh"},"done":false})", K::kContent, "Sh", ""},
      {R"({"message":{"content":""},"done":false})", K::kContent, "", ""},
      {R"({"message":{"role":"assistant"}})", K::kContent, "", ""},
      {R"({"message":{"content":"x","thinking":"hmm"}})", K::kContent, "x", ""},
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
