#pragma once
// ResponseStream: the pieces of one answer, handed to a consumer as they arrive.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kelmora::llm {

// One piece of an answer: the next part of its text (`content`) and, from a model that thinks,
// the next part of its thinking (`thinking`), which is not part of the answer. Either may be
// empty, never both. A consumer that wants the answer joins the `content`s and ignores items
// that carry only thinking.
struct ResponseItem {
  std::string content;
  std::string thinking;

  bool operator==(const ResponseItem&) const = default;
};

// How a chat ended, from the server's final line. Counters the server did not send are 0.
struct ChatSummary {
  // Why the model stopped: "stop" (the answer is finished), "length" (cut short by num_predict or
  // the context window), "load" or "unload" (the model was loaded or unloaded, no text), or
  // whatever else the server says; "" when it said nothing.
  std::string done_reason;
  std::chrono::nanoseconds total_duration{0};
  std::chrono::nanoseconds load_duration{0};
  std::int64_t prompt_eval_count = 0;  // tokens of the prompt
  std::chrono::nanoseconds prompt_eval_duration{0};
  std::int64_t eval_count = 0;  // tokens generated
  std::chrono::nanoseconds eval_duration{0};
  // The base URL of the server that answered.
  std::string server;

  // Whether the answer was cut short ("length"): it is complete as far as the server goes, but
  // not the whole answer the model would have given.
  bool truncated() const noexcept { return done_reason == "length"; }

  bool operator==(const ChatSummary&) const = default;
};

// The answer to one run of an agent, as an iterable sequence of ResponseItem. A producer (the
// transfer from the model server) runs on a thread the stream owns and hands over pieces as they
// arrive; the consumer takes them with next(), try_next() or by iterating, on any thread, at any
// time after the stream was made. Items without content and thinking are skipped.
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
    // Hands one piece of answer text to the consumer (an empty piece is dropped). Thread-safe.
    void push(std::string content);
    // Hands one item to the consumer (dropped when both its parts are empty). Thread-safe.
    void push(ResponseItem item);
    // Records how the chat ended; summary() shows it once run() has returned without throwing.
    // Thread-safe.
    void set_summary(ChatSummary summary);
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
  // Cancels the producer if it still runs and joins its thread; the arrival callback is not
  // called any more once this has begun. Never throws. Thread-safe: the last reference may be
  // dropped on any thread but the producer's own (and not from inside the arrival callback).
  ~ResponseStream();
  ResponseStream(const ResponseStream&) = delete;
  ResponseStream& operator=(const ResponseStream&) = delete;

  // The next piece, waiting for it if needed; std::nullopt once the answer is complete. Throws the
  // producer's error (a ModelServerError for a chat) once the pieces before it are taken.
  // Thread-safe: with several consumers each piece goes to one of them.
  std::optional<ResponseItem> next();

  // What try_next() found.
  struct Poll {
    enum class State {
      kItem,     // `item` is the next piece
      kPending,  // nothing has arrived yet, and the answer goes on
      kEnd,      // the answer is complete and every piece has been taken
    };
    State state = State::kPending;
    ResponseItem item;  // kItem only
  };
  // Like next() without waiting: the next piece if one has arrived, else whether more may come.
  // Throws the producer's error, as next() does, once the pieces before it are taken.
  // Thread-safe.
  Poll try_next();

  // How the answer ended, once the producer has finished without an error: after the last piece
  // arrived (they need not have been taken yet). std::nullopt while the answer goes on, after a
  // failure, and for a stream made from pieces. Thread-safe.
  std::optional<ChatSummary> summary() const;

  // Sets the function called whenever something arrives: after each piece, at the end and on an
  // error, on the producer's thread. If something is already waiting (a piece not taken, or the
  // end), it is also called once at once, on the caller's thread, so no arrival is missed. An
  // empty function removes it. Once this returns, the previous function is not running and is
  // never called again.
  //
  // The function must be quick (it holds up the transfer) and must not throw. It may call
  // try_next() and summary(); it must not call next() (which could wait for the very thread it
  // runs on), set_on_arrival(), nor drop the last reference to the stream: each would deadlock.
  // A typical use: wake a thread that will take the pieces. Thread-safe.
  void set_on_arrival(std::function<void()> on_arrival);

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
  void notify_arrival();

  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<ResponseItem> pieces_;
  bool finished_ = false;
  bool cancelled_ = false;
  std::exception_ptr error_;
  std::optional<ChatSummary> summary_;  // set by the producer; shown once finished without error

  // Held while the arrival callback runs and while it is replaced; never taken under mutex_.
  std::mutex callback_mutex_;
  std::function<void()> on_arrival_;

  std::unique_ptr<Producer> producer_;
  std::thread thread_;  // last: starts after everything above is made, joined in the destructor
};

}  // namespace kelmora::llm
