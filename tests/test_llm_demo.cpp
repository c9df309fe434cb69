// The demonstration program, run as a separate process against the stand-in model server, and
// its example tree text.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <kelmora/llm/agent.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "demo/example_tree.hpp"
#include "standin/standin_server.hpp"

extern char** environ;

namespace kelmora::llm {
namespace {

using kelmora::testing::StandinFailure;
using kelmora::testing::StandinOptions;
using kelmora::testing::StandinServer;

struct ExpectedLine {
  std::string indent;
  std::string text;
  std::size_t trailing_spaces;
};

TEST(ExampleTreeTest, TextIsTheKnown779CharactersIn18Lines) {
  const std::string tabbed = std::string(28, ' ') + "\t";
  const std::vector<ExpectedLine> expected = {
      {"", "", 0},
      {std::string(4, ' '), "<root BTCPP_format=\"4\">", 0},
      {std::string(8, ' '), "<BehaviorTree ID=\"MainTree\">", 0},
      {std::string(12, ' '), "<Sequence name=\"root_sequence\">", 0},
      {std::string(16, ' '),
       "<CreateAgentOllama model_id=\"qwen3:30b\" agent=\"{agent}\" description=\"You are an "
       "enthusiastic news reporter with a flair for storytelling!\"/>",
       0},
      {std::string(20, ' '), "<KeepRunningUntilFailure>", 2},
      {std::string(24, ' '), "<Sequence>", 0},
      {std::string(28, ' '), "<GetStreamResponse", 1},
      {tabbed, "agent=\"{agent}\"", 1},
      {tabbed, "instructions=\"{instructions}\"", 1},
      {tabbed, "user_input=\"{user_input}\"", 1},
      {tabbed, "response_stream=\"{response_stream}\"/>", 5},
      {std::string(24, ' '), "</Sequence>", 0},
      {std::string(20, ' '), "</KeepRunningUntilFailure>", 0},
      {std::string(12, ' '), "</Sequence>", 0},
      {std::string(8, ' '), "</BehaviorTree>", 0},
      {std::string(4, ' '), "</root>", 0},
      {std::string(4, ' '), "", 0},
  };
  const std::string text(demo::kExampleTreeXml);
  EXPECT_EQ(text.size(), 779u);
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  lines.push_back(text.substr(start));
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE("line " + std::to_string(i));
    EXPECT_EQ(lines[i], expected[i].indent + expected[i].text +
                            std::string(expected[i].trailing_spaces, ' '));
  }
}

struct DemoRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

// Runs the built demo with OLLAMA_HOST set to `ollama_host`, its output captured in files.
DemoRun run_demo(const std::string& ollama_host) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("kelmora_demo_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string out_path = (dir / "out").string();
  const std::string err_path = (dir / "err").string();

  std::vector<std::string> env_texts = {"OLLAMA_HOST=" + ollama_host};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("OLLAMA_HOST=", 0) != 0) env_texts.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (auto& text : env_texts) envp.push_back(text.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::string program = KELMORA_DEMO_PATH;
  char* argv[] = {program.data(), nullptr};
  pid_t pid = 0;
  DemoRun run;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << program;
    return run;
  }
  int wait_status = 0;
  ::waitpid(pid, &wait_status, 0);
  run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  run.out = slurp(out_path);
  run.err = slurp(err_path);
  std::filesystem::remove_all(dir);
  return run;
}

// The texts of the info lines on standard error ("[time] [info] text"), in order.
std::vector<std::string> info_lines(const std::string& err) {
  std::vector<std::string> texts;
  std::istringstream in(err);
  const std::string marker = "] [info] ";
  for (std::string line; std::getline(in, line);) {
    if (auto at = line.find(marker); at != std::string::npos) {
      texts.push_back(line.substr(at + marker.size()));
    }
  }
  return texts;
}

std::string system_message() {
  return "You are an enthusiastic news reporter with a flair for storytelling! " +
         std::string(kMarkdownInstruction);
}

TEST(DemoProgramTest, PrintsBothStreamedAnswersAndNothingElse) {
  StandinServer server;
  DemoRun run = run_demo(server.address());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, StandinServer::answer("qwen3:30b", system_message(), "中国上海的新闻") + "\n" +
                         StandinServer::answer("qwen3:30b", system_message(), "中国北京的新闻") +
                         "\n");
  const std::vector<std::string> steps = {"初始化线程引擎",
                                          "注册动作节点: CreateAgentOllama",
                                          "注册动作节点: GetStreamResponse",
                                          "创建行为树: tree0",
                                          "创建行为树: tree1",
                                          "停止行为树: tree0",
                                          "停止行为树: tree1",
                                          "停止所有行为树"};
  auto lines = info_lines(run.err);
  ASSERT_GE(lines.size(), steps.size()) << run.err;
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + steps.size()), steps);
  // After the steps, only the engine's own destruction may log: it stops all (no) trees again.
  for (std::size_t i = steps.size(); i < lines.size(); ++i) EXPECT_EQ(lines[i], "停止所有行为树");
  EXPECT_EQ(run.err.find("[error]"), std::string::npos) << run.err;
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].user, "中国上海的新闻");
  EXPECT_EQ(requests[1].user, "中国北京的新闻");
  for (const auto& request : requests) {
    EXPECT_EQ(request.model, "qwen3:30b");
    EXPECT_EQ(request.system, system_message());
    EXPECT_TRUE(request.stream);
  }
}

TEST(DemoProgramTest, UnreachableServerEndsItWithStatusOneAndTheErrorOnStandardError) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);  // bound, never listening: refuses connections
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string host = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

  DemoRun run = run_demo(host);
  ::close(fd);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("kelmora_demo: Ollama server http://" + host +
                         " (model \"qwen3:30b\"): cannot connect ("),
            std::string::npos)
      << run.err;
}

TEST(DemoProgramTest, ServerErrorStatusEndsItWithTheServersText) {
  StandinOptions options;
  options.failure = StandinFailure::kNotFound;
  StandinServer server(options);
  DemoRun run = run_demo(server.address());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("kelmora_demo: Ollama server http://" + server.address() +
                         " (model \"qwen3:30b\"): HTTP status 404: model \"qwen3:30b\" not found, "
                         "try pulling it first\n"),
            std::string::npos)
      << run.err;
}

TEST(DemoProgramTest, AnswerCutShortEndsItAfterThePiecesThatCame) {
  StandinOptions options;
  options.failure = StandinFailure::kNoDone;
  StandinServer server(options);
  DemoRun run = run_demo(server.address());
  EXPECT_EQ(run.status, 1);
  auto pieces = StandinServer::answer_pieces(
      StandinServer::answer("qwen3:30b", system_message(), "中国上海的新闻"), options.piece_chars);
  EXPECT_EQ(run.out, pieces[0] + pieces[1]);
  EXPECT_NE(run.err.find("the answer ended without its final \"done\" line"), std::string::npos)
      << run.err;
}

TEST(DemoProgramTest, MalformedOllamaHostFailsTheFirstTick) {
  DemoRun run = run_demo("ftp://nowhere");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("kelmora_demo: 行为树 tree0 执行命令 tick_once 失败: "), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("invalid Ollama server address \"ftp://nowhere\""), std::string::npos);
}

}  // namespace
}  // namespace kelmora::llm
