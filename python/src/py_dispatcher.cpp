// kelmora._native.Dispatcher: a fixed pool of native threads that run blocking calls for
// kelmora.aio and hand each outcome back, so that an asyncio program can wait for trees without
// an executor thread per call.
//
// submit(call, done) queues a job; one of the pool's threads takes it, calls `call()` (the
// engine's operations release the GIL while they wait for a tree) and then `done(ok, value)`:
// ok is True with the call's result, or False with the exception it raised (its traceback kept).
// `done` is meant to hand the outcome to an event loop (loop.call_soon_threadsafe); an exception
// it raises is reported as unraisable. Jobs start in submission order; as many run at once as the
// pool has threads.
//
// GIL discipline: a pool thread holds the GIL only while it calls into Python; it waits for jobs,
// and close() waits for the threads, with the GIL released. Once Python cannot be used any more
// (the exit gate is closed, the interpreter finalizes), jobs are dropped unrun (their references
// leaked rather than touched).

#include "py_dispatcher.hpp"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <kelmora/core/errors.hpp>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "py_values.hpp"

namespace kelmora::python {
namespace {

// What the pool's threads share with the Dispatcher. Each thread holds it too, so that a thread
// that drops the last reference to the Dispatcher inside a job (and is then detached rather than
// joined) goes on with state that still exists.
struct PoolState {
  struct Job {
    PyValueRef call;
    PyValueRef done;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Job> jobs;  // guarded by mutex
  bool closing = false;  // guarded by mutex
};

// Calls the job and hands its outcome to `done`. Call with the GIL held.
void execute(const PoolState::Job& job) {
  py::object ok = py::bool_(true);
  py::object value;
  try {
    value = job.call->object()();
  } catch (py::error_already_set& e) {
    ok = py::bool_(false);
    if (e.trace() && !e.trace().is_none()) {
      PyException_SetTraceback(e.value().ptr(), e.trace().ptr());
    }
    value = e.value();
  } catch (const std::exception& e) {
    ok = py::bool_(false);
    value =
        py::reinterpret_steal<py::object>(PyObject_CallFunction(PyExc_RuntimeError, "s", e.what()));
  }
  try {
    job.done->object()(ok, value);
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("kelmora.aio: handing a command's outcome to its event loop");
  }
}

// A pool thread: takes jobs until the pool is closed and its queue empty.
void run_pool_thread(const std::shared_ptr<PoolState>& state) {
  for (;;) {
    PoolState::Job job;
    {
      std::unique_lock lock(state->mutex);
      state->changed.wait(lock, [&] { return state->closing || !state->jobs.empty(); });
      if (state->jobs.empty()) return;
      job = std::move(state->jobs.front());
      state->jobs.pop_front();
    }
    // Once Python cannot be used any more (exit), the job is dropped unrun; PyValue leaks its
    // references rather than touch Python.
    const AcquiredGil gil;
    if (!gil) continue;
    execute(job);
    job = PoolState::Job{};  // dropped with the GIL held
  }
}

class Dispatcher {
 public:
  // Starts `threads` pool threads (at least one). Not thread-safe: call with the GIL held.
  explicit Dispatcher(std::size_t threads) : state_(std::make_shared<PoolState>()) {
    if (threads == 0) throw kelmora::ValueError("a Dispatcher needs at least one thread");
    threads_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) {
      threads_.emplace_back([state = state_] { run_pool_thread(state); });
    }
  }
  // Closes the pool: the jobs queued are still run, then the threads end and are joined. While
  // the interpreter finalizes the threads are detached instead (they end without touching Python:
  // a thread waiting for a tree there could never take the GIL back to return).
  ~Dispatcher() {
    if (_Py_IsFinalizing() != 0) {
      detach_all();
    } else if (PyGILState_Check() != 0) {
      ReleasedGil release;
      close();
    } else {
      close();
    }
  }
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // Queues a job. RuntimeError once the pool is closed. Thread-safe: call with the GIL held.
  void submit(py::object call, py::object done) {
    PoolState::Job job{hold(std::move(call)), hold(std::move(done))};
    {
      std::lock_guard lock(state_->mutex);
      if (state_->closing) throw kelmora::RuntimeError("this Dispatcher has been closed");
      state_->jobs.push_back(std::move(job));
    }
    state_->changed.notify_one();
  }

  // Refuses new jobs, lets the threads finish the queued ones and joins them (a pool thread
  // closing its own pool is detached instead). Call without the GIL (the jobs need it).
  // Thread-safe; a second call waits for nothing.
  void close() {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(state_->mutex);
      state_->closing = true;
      threads.swap(threads_);
    }
    state_->changed.notify_all();
    for (auto& thread : threads) {
      if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
      } else {
        thread.join();
      }
    }
  }

  // Refuses new jobs and lets the threads go without waiting for them. Thread-safe.
  void detach_all() noexcept {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(state_->mutex);
      state_->closing = true;
      threads.swap(threads_);
    }
    state_->changed.notify_all();
    for (auto& thread : threads) thread.detach();
  }

  // Jobs queued and not yet started. Thread-safe.
  std::size_t pending() const {
    std::lock_guard lock(state_->mutex);
    return state_->jobs.size();
  }

  // Whether close() has been called. Thread-safe.
  bool closed() const {
    std::lock_guard lock(state_->mutex);
    return state_->closing;
  }

 private:
  std::shared_ptr<PoolState> state_;
  std::vector<std::thread> threads_;  // guarded by state_->mutex
};

}  // namespace

void bind_dispatcher(py::module_& m) {
  py::class_<Dispatcher>(m, "Dispatcher",
                         "A fixed pool of native threads running blocking calls and handing each "
                         "outcome to a callback; the engine under kelmora.aio.")
      .def(py::init<std::size_t>(), py::arg("threads"),
           "Starts `threads` pool threads (at least one).")
      .def("submit", &Dispatcher::submit, py::arg("call"), py::arg("done"),
           "Queues call(); a pool thread runs it and then calls done(True, result) or "
           "done(False, exception). RuntimeError once closed.")
      .def("close", &Dispatcher::close, py::call_guard<ReleasedGil>(),
           "Refuses new jobs, runs the queued ones and joins the threads.")
      .def_property_readonly("pending", &Dispatcher::pending, "Jobs queued and not yet started.")
      .def_property_readonly("closed", &Dispatcher::closed, "Whether close() has been called.");
}

}  // namespace kelmora::python
