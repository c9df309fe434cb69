// kelmora_demo: two behaviour trees, each with its own worker thread, ask a language model for the
// news through the agent nodes and print the answers as they stream in.
//
// It makes one ThreadEngine, registers CreateAgentOllama and GetStreamResponse by class, creates
// trees "tree0" and "tree1" from the example tree, and then, one tree after the other, writes the
// tree's user input to its blackboard, ticks it once (which makes the agent and starts its run),
// reads the response stream back from the blackboard and prints its pieces, then one line end.
// Finally it stops all trees.
//
// Standard output holds only the answers; log lines go to standard error. The model server is the
// one OLLAMA_HOST names (default http://127.0.0.1:11434). Nothing is caught on the way: the first
// failure ends the program with status 1 and its message on standard error.

#include <any>
#include <exception>
#include <iostream>
#include <kelmora/core/any.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/llm/agent_nodes.hpp>
#include <kelmora/llm/response_stream.hpp>
#include <memory>
#include <string>

#include "demo/example_tree.hpp"

namespace {

using kelmora::ThreadEngine;
using kelmora::llm::CreateAgentOllama;
using kelmora::llm::GetStreamResponse;
using kelmora::llm::ResponseStream;

// Gives the tree its user input, ticks it once and prints the answer its agent streams back.
void ask(ThreadEngine& engine, const std::string& tree_id, const std::string& user_input) {
  engine.set_blackboard_data(tree_id, "user_input", user_input);
  [[maybe_unused]] auto status = engine.tick_once(tree_id);
  std::any response_stream = engine.get_blackboard_data(tree_id, "response_stream");

  const auto* stream = std::any_cast<std::shared_ptr<ResponseStream>>(&response_stream);
  if (stream == nullptr || !*stream) {
    throw kelmora::TypeError("the blackboard entry response_stream of " + tree_id + " holds " +
                             kelmora::core::any_kind_name(response_stream) +
                             ", not a response stream");
  }
  for (const auto& response : **stream) {
    std::cout << response.content << std::flush;
  }
  std::cout << "\n" << std::flush;
}

void run_demo() {
  ThreadEngine engine;
  engine.register_action_class<CreateAgentOllama>("CreateAgentOllama");
  engine.register_action_class<GetStreamResponse>("GetStreamResponse");

  const std::string xml_text(kelmora::demo::kExampleTreeXml);
  const std::string tree_id0 = engine.create_tree_from_text(xml_text, "tree0");
  const std::string tree_id1 = engine.create_tree_from_text(xml_text, "tree1");

  ask(engine, tree_id0, "中国上海的新闻");
  ask(engine, tree_id1, "中国北京的新闻");

  engine.stop_all_trees();
}

}  // namespace

int main() {
  try {
    run_demo();
  } catch (const std::exception& e) {
    std::cout << std::flush;
    std::cerr << "kelmora_demo: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
