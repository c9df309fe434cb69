#include <kelmora/llm/response_stream.hpp>
#include <utility>

namespace kelmora::llm {

void ResponseStream::Sink::push(std::string content) { push(ResponseItem{std::move(content), {}}); }

void ResponseStream::Sink::push(ResponseItem item) {
  if (item.content.empty() && item.thinking.empty()) return;
  {
    std::lock_guard lock(stream_.mutex_);
    stream_.pieces_.push_back(std::move(item));
  }
  stream_.ready_.notify_all();
  stream_.notify_arrival();
}

void ResponseStream::Sink::set_summary(ChatSummary summary) {
  std::lock_guard lock(stream_.mutex_);
  stream_.summary_ = std::move(summary);
}

bool ResponseStream::Sink::cancelled() const noexcept {
  std::lock_guard lock(stream_.mutex_);
  return stream_.cancelled_;
}

ResponseStream::ResponseStream(std::unique_ptr<Producer> producer)
    : producer_(std::move(producer)) {
  thread_ = std::thread([this] { run_producer(); });
}

ResponseStream::ResponseStream(std::vector<std::string> pieces) : finished_(true) {
  for (auto& piece : pieces) {
    if (!piece.empty()) pieces_.push_back(ResponseItem{std::move(piece), {}});
  }
}

ResponseStream::~ResponseStream() {
  {
    // Waits for a running callback; afterwards notify_arrival() finds none.
    std::lock_guard lock(callback_mutex_);
    on_arrival_ = nullptr;
  }
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  }
  if (producer_) producer_->cancel();
  if (thread_.joinable()) thread_.join();
}

void ResponseStream::run_producer() noexcept {
  std::exception_ptr error;
  try {
    Sink sink(*this);
    producer_->run(sink);
  } catch (...) {
    error = std::current_exception();
  }
  {
    std::lock_guard lock(mutex_);
    error_ = error;
    finished_ = true;
  }
  ready_.notify_all();
  notify_arrival();
}

void ResponseStream::notify_arrival() {
  std::lock_guard lock(callback_mutex_);
  if (on_arrival_) on_arrival_();
}

void ResponseStream::set_on_arrival(std::function<void()> on_arrival) {
  std::lock_guard callback_lock(callback_mutex_);
  on_arrival_ = std::move(on_arrival);
  bool waiting = false;
  {
    std::lock_guard lock(mutex_);
    waiting = !pieces_.empty() || finished_;
  }
  if (waiting && on_arrival_) on_arrival_();
}

std::optional<ResponseItem> ResponseStream::next() {
  std::unique_lock lock(mutex_);
  ready_.wait(lock, [this] { return !pieces_.empty() || finished_; });
  if (!pieces_.empty()) {
    ResponseItem item = std::move(pieces_.front());
    pieces_.pop_front();
    return item;
  }
  if (error_) std::rethrow_exception(error_);
  return std::nullopt;
}

ResponseStream::Poll ResponseStream::try_next() {
  std::lock_guard lock(mutex_);
  Poll poll;
  if (!pieces_.empty()) {
    poll.state = Poll::State::kItem;
    poll.item = std::move(pieces_.front());
    pieces_.pop_front();
    return poll;
  }
  if (!finished_) return poll;
  if (error_) std::rethrow_exception(error_);
  poll.state = Poll::State::kEnd;
  return poll;
}

std::optional<ChatSummary> ResponseStream::summary() const {
  std::lock_guard lock(mutex_);
  if (!finished_ || error_) return std::nullopt;
  return summary_;
}

ResponseStream::Iterator::Iterator(ResponseStream* stream) : stream_(stream) {
  item_ = stream_->next();
}

ResponseStream::Iterator& ResponseStream::Iterator::operator++() {
  item_ = stream_->next();
  return *this;
}

}  // namespace kelmora::llm
