#include <algorithm>
#include <kelmora/core/errors.hpp>
#include <kelmora/llm/ollama.hpp>

#include "chat_transfer.hpp"
#include "server_pool.hpp"

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
  // Both may be given when they agree, as in the options() of another model.
  if (options_.server && !options_.servers.empty() &&
      *options_.server != options_.servers.front()) {
    throw ValueError("an Ollama model takes either one server or a list of servers, not both");
  }
  if (options_.servers.empty()) {
    options_.servers.push_back(options_.server ? *options_.server : server_from_environment());
  }
  for (auto it = options_.servers.begin(); it != options_.servers.end(); ++it) {
    if (std::find(options_.servers.begin(), it, *it) != it) {
      throw ValueError("the server " + it->url() + " is listed twice");
    }
  }
  options_.server = options_.servers.front();
  options_.model_options.check();
  pool_ =
      std::make_shared<details::ServerPool>(options_.servers, options_.unreachable_ranks_last_for);
}

std::vector<std::size_t> Ollama::chats_in_flight() const { return pool_->in_flight(); }

std::shared_ptr<ResponseStream> Ollama::chat(std::vector<ChatMessage> messages, bool stream) const {
  ChatOptions options;
  options.stream = stream;
  return chat(std::move(messages), options);
}

std::shared_ptr<ResponseStream> Ollama::chat(std::vector<ChatMessage> messages,
                                             const ChatOptions& options) const {
  ModelOptions model_options = options_.model_options.merged_with(options.model_options);
  model_options.check();
  details::ChatRequest request{
      .servers = pool_,
      .model = options_.id,
      .messages = std::move(messages),
      .stream = options.stream,
      .think = options.think ? options.think : options_.think,
      .model_options = std::move(model_options),
      .keep_alive = options.keep_alive ? options.keep_alive : options_.keep_alive,
      .read_timeout = options_.read_timeout,
      .connect_timeout = options_.connect_timeout,
      .max_line_bytes = options_.max_line_bytes,
  };
  // Chosen here, not on the stream's thread, so chats started one after another see each
  // other's load.
  details::ServerLease first(pool_, *pool_->acquire());
  return std::make_shared<ResponseStream>(
      std::make_unique<details::ChatTransfer>(std::move(request), std::move(first)));
}

}  // namespace kelmora::llm
