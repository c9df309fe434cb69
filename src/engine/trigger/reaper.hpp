#pragma once
// The reaper: the owner of worker threads that their engine cannot join.
//
// A tree's worker is joined by whoever stops the tree. One case cannot: an engine destroyed from
// inside a tick of its own tree (or of a tree that waits for the destroying thread) cannot wait
// for that worker, since the worker only ends after the tick that runs the destruction. Such a
// worker is told to leave after its command in progress and handed to the reaper, which joins
// it once it ends, so no thread is ever detached.
//
// The reaper is one joining thread per process, started when a thread is handed over and ending
// when it has joined every thread handed to it; the next hand-over joins the ended one before
// starting another, and so does process exit. It joins in hand-over order, so a worker whose
// last command never ends holds back the joining of those handed over after it (they are joined
// once it ends, or end with the process). In a child made by fork(), the threads of the parent
// are forgotten, never joined.

#include <thread>

namespace kelmora::engine::trigger::details {

// Takes `thread` (its routine must be on its way to ending) and joins it once it ends. Does
// nothing for a thread that is not joinable. Thread-safe; never throws.
void reap(std::thread thread) noexcept;

}  // namespace kelmora::engine::trigger::details
