#pragma once
// ResponseStream: the pieces of one answer, handed to a consumer as they arrive.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kelmora::llm {

// One piece of an answer.
struct ResponseItem {
  std::string content;
};

// The answer to one run of an agent, as an iterable sequence of ResponseItem. A producer (the
// transfer from the model server) runs on a thread the stream owns and hands over pieces as they
// arrive; the consumer takes them with next() or by iterating, on any thread, at any time after
// the stream was made. Items never have empty content: empty pieces are skipped.
//
// A failure of the producer reaches the consumer as the exception thrown by next() after the
// pieces that came before it; it is thrown again by every later next(). Dropping the stream before
// its end cancels the producer and joins its thread.
//
// The producer never waits for the consumer: pieces not yet taken are held in memory.
class ResponseStream {
 public:
  // Where a producer delivers pieces. Thread-safe.
  class Sink {
   public:
    explicit Sink(ResponseStream& stream) : stream_(stream) {}
    // Hands one piece to the consumer (an empty piece is dropped). Thread-safe.
    void push(std::string piece);
    // Whether the stream is being dropped; a producer stops as soon as it sees this. Thread-safe.
    bool cancelled() const noexcept;

   private:
    ResponseStream& stream_;
  };

  // Makes the pieces of an answer. run() executes on the stream's own thread and ends by
  // returning (the answer is complete) or by throwing (the error goes to the consumer).
  class Producer {
   public:
    virtual ~Producer() = default;
    // Not thread-safe: called once, on the stream's thread.
    virtual void run(Sink& sink) = 0;
    // Asks a running run() to return soon; called when the stream is dropped, from whatever
    // thread drops it. Thread-safe; must not throw.
    virtual void cancel() noexcept = 0;
  };

  // Starts `producer` on a new thread. Throws std::system_error when the thread cannot start.
  explicit ResponseStream(std::unique_ptr<Producer> producer);
  // A stream that is already complete and holds `pieces` (empty ones skipped).
  explicit ResponseStream(std::vector<std::string> pieces);
  // Cancels the producer if it still runs and joins its thread. Never throws. Thread-safe: the
  // last reference may be dropped on any thread but the producer's own.
  ~ResponseStream();
  ResponseStream(const ResponseStream&) = delete;
  ResponseStream& operator=(const ResponseStream&) = delete;

  // The next piece, waiting for it if needed; std::nullopt once the answer is complete. Throws the
  // producer's error (a ModelServerError for a chat) once the pieces before it are taken.
  // Thread-safe: with several consumers each piece goes to one of them.
  std::optional<ResponseItem> next();

  // Input iterator over the remaining pieces; advancing calls next() and may throw.
  class Iterator {
   public:
    using iterator_concept = std::input_iterator_tag;
    using iterator_category = std::input_iterator_tag;
    using value_type = ResponseItem;
    using difference_type = std::ptrdiff_t;
    using pointer = const ResponseItem*;
    using reference = const ResponseItem&;

    Iterator() = default;
    const ResponseItem& operator*() const { return *item_; }
    const ResponseItem* operator->() const { return &*item_; }
    Iterator& operator++();
    void operator++(int) { ++*this; }
    bool operator==(const Iterator& other) const noexcept {
      return item_.has_value() == other.item_.has_value() && (!item_ || stream_ == other.stream_);
    }

   private:
    friend class ResponseStream;
    explicit Iterator(ResponseStream* stream);
    ResponseStream* stream_ = nullptr;
    std::optional<ResponseItem> item_;
  };

  // Takes the first remaining piece (may wait and throw like next()). Not thread-safe: one
  // iteration at a time.
  Iterator begin() { return Iterator(this); }
  Iterator end() noexcept { return Iterator(); }

 private:
  void run_producer() noexcept;

  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::string> pieces_;
  bool finished_ = false;
  bool cancelled_ = false;
  std::exception_ptr error_;
  std::unique_ptr<Producer> producer_;
  std::thread thread_;  // last: starts after everything above is made, joined in the destructor
};

}  // namespace kelmora::llm
