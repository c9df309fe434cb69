#include <kelmora/llm/ollama.hpp>

#include "chat_transfer.hpp"

namespace kelmora::llm {

namespace {

Ollama::Options with_id(std::string id) {
  Ollama::Options options;
  options.id = std::move(id);
  return options;
}

}  // namespace

Ollama::Ollama(std::string id) : Ollama(with_id(std::move(id))) {}

Ollama::Ollama(Options options) : options_(std::move(options)) {
  if (!options_.server) options_.server = server_from_environment();
}

std::shared_ptr<ResponseStream> Ollama::chat(std::vector<ChatMessage> messages, bool stream) const {
  details::ChatRequest request{
      .server = options_.server->url(),
      .model = options_.id,
      .messages = std::move(messages),
      .stream = stream,
      .read_timeout = options_.read_timeout,
      .connect_timeout = options_.connect_timeout,
      .max_line_bytes = options_.max_line_bytes,
  };
  return std::make_shared<ResponseStream>(
      std::make_unique<details::ChatTransfer>(std::move(request)));
}

}  // namespace kelmora::llm
