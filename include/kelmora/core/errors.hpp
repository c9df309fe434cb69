#pragma once
// Exception types of kelmora. Each carries its message exactly as given; the thread engine's
// messages are part of its observable behaviour and are matched by callers and tests.

#include <stdexcept>
#include <string>

namespace kelmora {

// A value that is wrong for the operation: an unknown or duplicate tree id.
class ValueError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// An argument, class or result of the wrong kind.
class TypeError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A failure while carrying out an operation: a command that failed in a tree's worker.
class RuntimeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A required member is missing, e.g. an action node class without a static `tick`.
class AttributeError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

namespace core {

// A tree could not be built: malformed XML, unknown node, bad port, bad structure. The message
// names the problem and, where known, the file, line and node.
class TreeBuildError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A port was used wrongly at tick time: unbound, missing entry, wrong direction, wrong kind.
class PortError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A tick function threw; the message starts with the node's name.
class NodeTickError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A stop was requested while a tick loop or a wait was in progress.
class TreeStoppedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace core
}  // namespace kelmora
