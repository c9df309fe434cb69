#include <kelmora/llm/response_stream.hpp>
#include <utility>

namespace kelmora::llm {

void ResponseStream::Sink::push(std::string piece) {
  if (piece.empty()) return;
  {
    std::lock_guard lock(stream_.mutex_);
    stream_.pieces_.push_back(std::move(piece));
  }
  stream_.ready_.notify_all();
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
    if (!piece.empty()) pieces_.push_back(std::move(piece));
  }
}

ResponseStream::~ResponseStream() {
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
}

std::optional<ResponseItem> ResponseStream::next() {
  std::unique_lock lock(mutex_);
  ready_.wait(lock, [this] { return !pieces_.empty() || finished_; });
  if (!pieces_.empty()) {
    ResponseItem item{std::move(pieces_.front())};
    pieces_.pop_front();
    return item;
  }
  if (error_) std::rethrow_exception(error_);
  return std::nullopt;
}

ResponseStream::Iterator::Iterator(ResponseStream* stream) : stream_(stream) {
  item_ = stream_->next();
}

ResponseStream::Iterator& ResponseStream::Iterator::operator++() {
  item_ = stream_->next();
  return *this;
}

}  // namespace kelmora::llm
