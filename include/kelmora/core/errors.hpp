#pragma once
// kelmora's exceptions. Every exception kelmora throws is a kelmora::Error: a code saying what
// kind of failure it is, and the message exactly as given (the thread engine's messages are part
// of its observable behaviour and are matched by callers and tests). The value, type, runtime and
// attribute kinds stay distinct classes, so each can be caught on its own.
//
// A failure that has a cause (a command that failed because a tick function threw, a tick that
// failed because a model server did not answer) carries that cause as a nested exception
// (std::nested_exception): std::rethrow_if_nested(error) reaches it with its own type and data.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace kelmora {

// What kind of failure an Error is. The codes are stable: hosts map them to their own error
// types, and callers may tell "the command failed" from "the worker has ended" by the code.
enum class Errc {
  value_error = 1,  // a value that is wrong for the operation: unknown or duplicate tree id
  type_error,       // an argument, class or result of the wrong kind
  attribute_error,  // a required member is missing (an action class without a static tick)
  runtime_error,    // a failure while carrying out an operation, without a more precise code
  command_failed,   // a command failed in the tree's worker; the failure is nested
  worker_failed,    // the tree's worker failed (for example, its XML could not be built)
  worker_ended,     // the tree's worker has ended: nothing serves the tree any more
  own_thread,       // a tree's operation was called from that tree's own worker
  wait_cycle,       // the wait would close a cycle of trees waiting for each other
  inherited,        // an engine made before fork() was used in the forked child
  engine_closing,   // the engine is being destroyed
  tree_build,       // a tree could not be built from its XML
  port,             // a port was used wrongly at tick time
  node_tick,        // a node's tick failed; the failure is nested
  tree_stopped,     // a stop ended a tick loop or a wait
  no_tree,          // an engine operation needs a tree and none has been built
  tree_file,        // a tree file could not be read
  model_server,     // a chat with a model server failed
  script_parse,     // a script could not be parsed
  script_eval,      // a script failed while it was evaluated
};

// The code's name: "value_error", "command_failed", ... Thread-safe.
std::string_view to_string(Errc code) noexcept;

// The root of kelmora's exceptions.
class Error : public std::runtime_error {
 public:
  Error(Errc code, const std::string& message) : std::runtime_error(message), code_(code) {}
  Errc code() const noexcept { return code_; }

 private:
  Errc code_;
};

// A value that is wrong for the operation: an unknown or duplicate tree id, a registration the
// core refuses.
class ValueError : public Error {
 public:
  explicit ValueError(const std::string& message, Errc code = Errc::value_error)
      : Error(code, message) {}
};

// An argument, class or result of the wrong kind.
class TypeError : public Error {
 public:
  explicit TypeError(const std::string& message, Errc code = Errc::type_error)
      : Error(code, message) {}
};

// A failure while carrying out an operation: a command that failed in a tree's worker
// (Errc::command_failed, with the failure nested), a worker that failed or has ended, a refused
// re-entrant or cyclic wait.
class RuntimeError : public Error {
 public:
  explicit RuntimeError(const std::string& message, Errc code = Errc::runtime_error)
      : Error(code, message) {}
};

// A required member is missing, e.g. an action node class without a static `tick`.
class AttributeError : public Error {
 public:
  explicit AttributeError(const std::string& message, Errc code = Errc::attribute_error)
      : Error(code, message) {}
};

namespace core {

// A tree could not be built: malformed XML, unknown node, bad port, bad structure. The message
// names the problem and, where known, the file, line and node.
class TreeBuildError : public Error {
 public:
  explicit TreeBuildError(const std::string& message) : Error(Errc::tree_build, message) {}
};

class TreeNode;

// A port was used wrongly at tick time: unbound, missing entry, wrong direction, wrong kind.
class PortError : public Error {
 public:
  // `node`: the node whose port it is, when the message already names it (see node()).
  explicit PortError(const std::string& message, const TreeNode* node = nullptr)
      : Error(Errc::port, message), node_(node) {}
  // The node whose port was used, for telling whether the message already names the node being
  // ticked; null when not known. Only compared, never used to reach the node.
  const TreeNode* node() const noexcept { return node_; }

 private:
  const TreeNode* node_;
};

// A node's tick failed. The message begins with the node ("node 'Work' (Work): <what failed>");
// the exception the tick threw is nested.
class NodeTickError : public Error {
 public:
  explicit NodeTickError(const std::string& message) : Error(Errc::node_tick, message) {}
};

// A stop was requested while a tick loop or a wait was in progress.
class TreeStoppedError : public Error {
 public:
  explicit TreeStoppedError(const std::string& message) : Error(Errc::tree_stopped, message) {}
};

// An engine operation that needs a tree was called before a tree was built.
class NoTreeError : public Error {
 public:
  explicit NoTreeError(const std::string& message) : Error(Errc::no_tree, message) {}
};

// A tree file that cannot be opened or read, or whose bytes are not valid UTF-8. The message
// names the path; system_code() is the system error (std::errc::illegal_byte_sequence for bytes
// that are not UTF-8: then offset() is where the first bad byte is, and byte() that byte).
class TreeFileError : public Error {
 public:
  TreeFileError(std::error_code system_code, std::string path, const std::string& message,
                std::size_t offset = 0, unsigned char byte = 0)
      : Error(Errc::tree_file, message),
        system_code_(system_code),
        path_(std::move(path)),
        offset_(offset),
        byte_(byte) {}
  const std::error_code& system_code() const noexcept { return system_code_; }
  // The path as given.
  const std::string& path() const noexcept { return path_; }
  std::size_t offset() const noexcept { return offset_; }
  unsigned char byte() const noexcept { return byte_; }

 private:
  std::error_code system_code_;
  std::string path_;
  std::size_t offset_;
  unsigned char byte_;
};

}  // namespace core
}  // namespace kelmora
