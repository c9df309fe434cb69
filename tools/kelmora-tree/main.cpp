// kelmora-tree: checks tree files, draws their trees and runs them with stub leaves.
//
//   kelmora-tree check [--nodes FILE]... FILE...   every error as "file:line: message"; exit 1
//   kelmora-tree dot [--nodes FILE]... FILE [--tree ID]
//   kelmora-tree run [--nodes FILE]... FILE --ticks N [--tree ID] [--monitor] [--interval MS]

#include <pthread.h>
#include <signal.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <kelmora/core/dot.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/tree_source.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/log.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tree_files.hpp"

namespace fs = std::filesystem;
using namespace kelmora;
using namespace kelmora::tree_tool;

namespace {

constexpr const char* kUsage =
    "usage: kelmora-tree check [--nodes FILE]... FILE...\n"
    "       kelmora-tree dot [--nodes FILE]... FILE [--tree ID]\n"
    "       kelmora-tree run [--nodes FILE]... FILE --ticks N [--tree ID] [--monitor] "
    "[--interval MS]\n";

struct Options {
  std::string command;
  std::vector<std::string> files;
  std::vector<std::string> node_files;
  std::optional<std::string> tree;
  long ticks = -1;
  bool monitor = false;
  long interval_ms = -1;
};

[[noreturn]] void usage(const std::string& problem) {
  std::cerr << "kelmora-tree: " << problem << "\n" << kUsage;
  std::exit(2);
}

Options parse(int argc, char** argv) {
  if (argc < 2) usage("no command given");
  Options o;
  o.command = argv[1];
  if (o.command == "-h" || o.command == "--help") {
    std::cout << kUsage;
    std::exit(0);
  }
  if (o.command != "check" && o.command != "dot" && o.command != "run") {
    usage("unknown command '" + o.command + "'");
  }
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(a + " needs a value");
      return argv[++i];
    };
    auto number = [&](const std::string& text) {
      try {
        std::size_t used = 0;
        const long n = std::stol(text, &used);
        if (used != text.size() || n < 0) throw std::invalid_argument(text);
        return n;
      } catch (const std::exception&) {
        usage(a + " needs a whole number >= 0, not '" + text + "'");
      }
    };
    if (a == "--nodes") {
      o.node_files.push_back(value());
    } else if (a == "--tree") {
      o.tree = value();
    } else if (a == "--ticks") {
      o.ticks = number(value());
    } else if (a == "--interval") {
      o.interval_ms = number(value());
    } else if (a == "--monitor") {
      o.monitor = true;
    } else if (a.rfind("--", 0) == 0) {
      usage("unknown option " + a);
    } else {
      o.files.push_back(a);
    }
  }
  if (o.files.empty()) usage("no tree file given");
  if (o.command != "check" && o.files.size() != 1) usage(o.command + " takes one tree file");
  if (o.command == "run" && o.ticks < 0) usage("run needs --ticks N");
  return o;
}

// Reads a file as the engine does; on failure adds the problem and returns std::nullopt.
std::optional<core::TreeSource> read(const std::string& path, Problems& problems) {
  try {
    return core::TreeSource::from_file(path);
  } catch (const std::exception& e) {
    problems.push_back(e.what());
    return std::nullopt;
  }
}

// The node models of the --nodes files.
std::vector<NodeModel> extra_models(const Options& o, Problems& problems) {
  std::vector<NodeModel> models;
  for (const auto& path : o.node_files) {
    if (auto source = read(path, problems)) {
      FileFacts facts = read_facts(path, source->text(), problems);
      models.insert(models.end(), facts.models.begin(), facts.models.end());
    }
  }
  return models;
}

// Runs `build` with the working directory set to the file's folder, so that relative includes of
// text built in memory resolve as they would for the file. Restores the directory afterwards.
template <class Build>
void in_folder_of(const std::string& path, Build build) {
  const fs::path before = fs::current_path();
  fs::current_path(fs::absolute(path).parent_path());
  try {
    build();
  } catch (...) {
    fs::current_path(before);
    throw;
  }
  fs::current_path(before);
}

// Builds the file's main tree, then every BehaviorTree of it as the main tree; every distinct
// error is a problem.
void check_file(const std::string& path, const std::vector<NodeModel>& extra, Problems& problems) {
  auto source = read(path, problems);
  if (!source) return;
  const std::size_t before = problems.size();
  FileFacts facts = read_facts(path, source->text(), problems);
  core::BehaviorTreeFactory factory;
  register_models(factory, extra, problems);
  register_models(factory, facts.models, problems);
  std::set<std::string> seen;
  auto note = [&](const std::string& message) {
    if (seen.insert(message).second) problems.push_back(message);
  };
  try {
    factory.create_tree(*source);
  } catch (const std::exception& e) {
    note(e.what());
  }
  for (const auto& id : facts.tree_ids) {
    auto text = choose_tree(source->text(), id);
    if (!text) break;
    try {
      in_folder_of(path, [&] { factory.create_tree_from_text(*text); });
    } catch (const std::exception& e) {
      note(replace_all(e.what(), "<xml text>", path));
    }
  }
  if (problems.size() == before) {
    std::cout << path << ": ok (" << facts.tree_ids.size() << " tree"
              << (facts.tree_ids.size() == 1 ? "" : "s") << ")\n";
  }
}

int check(const Options& o) {
  Problems problems;
  const std::vector<NodeModel> extra = extra_models(o, problems);
  for (const auto& file : o.files) check_file(file, extra, problems);
  for (const auto& p : problems) std::cerr << p << "\n";
  return problems.empty() ? 0 : 1;
}

// Node types the file uses that neither the standard nodes nor the models know: stub actions
// that succeed, with every attribute used on them as a port.
std::vector<std::pair<std::string, core::PortsList>> stubs(const FileFacts& facts,
                                                           const std::vector<NodeModel>& models) {
  core::BehaviorTreeFactory standard;
  std::vector<std::pair<std::string, core::PortsList>> out;
  for (const auto& [type, attributes] : facts.used_types) {
    if (standard.has_node_type(type)) continue;
    if (std::any_of(models.begin(), models.end(), [&](const NodeModel& m) { return m.id == type; }))
      continue;
    core::PortsList ports;
    for (const auto& name : attributes) ports.push_back(core::make_port(name, "object", "input"));
    out.emplace_back(type, std::move(ports));
  }
  return out;
}

// The text to build: the file's, with the chosen tree as the main tree.
std::string text_to_build(const Options& o, const core::TreeSource& source) {
  if (!o.tree) return source.text();
  auto text = choose_tree(source.text(), *o.tree);
  if (!text) throw std::runtime_error(o.files[0] + ": no <root> element");
  return *text;
}

// The one file `dot` and `run` work on: its source, what it declares, and the node models from
// it and from --nodes; std::nullopt (the reason printed) when it cannot be read.
struct OneFile {
  core::TreeSource source;
  FileFacts facts;
  std::vector<NodeModel> models;
};

std::optional<OneFile> load_one_file(const Options& o) {
  Problems problems;
  auto source = read(o.files[0], problems);
  if (!source) {
    std::cerr << problems.front() << "\n";
    return std::nullopt;
  }
  std::vector<NodeModel> models = extra_models(o, problems);
  FileFacts facts = read_facts(o.files[0], source->text(), problems);
  models.insert(models.end(), facts.models.begin(), facts.models.end());
  return OneFile{std::move(*source), std::move(facts), std::move(models)};
}

int dot(const Options& o) {
  auto file = load_one_file(o);
  if (!file) return 1;
  const core::TreeSource* source = &file->source;
  const FileFacts& facts = file->facts;
  const std::vector<NodeModel>& models = file->models;
  core::BehaviorTreeFactory factory;
  Problems problems;
  register_models(factory, models, problems);
  for (auto& [type, ports] : stubs(facts, models)) {
    factory.register_action_behavior(
        type, [](core::TreeNode&) { return core::NodeStatus::SUCCESS; }, ports);
  }
  try {
    std::optional<core::Tree> tree;
    if (o.tree) {
      in_folder_of(o.files[0],
                   [&] { tree.emplace(factory.create_tree_from_text(text_to_build(o, *source))); });
    } else {
      tree.emplace(factory.create_tree(*source));
    }
    std::cout << core::to_dot(*tree, o.tree ? *o.tree : std::string());
    return 0;
  } catch (const std::exception& e) {
    std::cerr << replace_all(e.what(), "<xml text>", o.files[0]) << "\n";
    return 1;
  }
}

int run(const Options& o) {
  auto file = load_one_file(o);
  if (!file) return 1;
  const core::TreeSource* source = &file->source;
  const FileFacts& facts = file->facts;
  const std::vector<NodeModel>& models = file->models;
  if (o.monitor) {
    // Ctrl-C ends the monitor through sigwait: blocked before any thread starts, so that every
    // thread inherits the mask.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
  }
  // The engine's log lines would mix with the transitions: only errors are shown.
  log::logger()->set_level(spdlog::level::err);
  ThreadEngine engine;
  for (const auto& m : models) {
    if (m.kind != "Action" && m.kind != "Condition") continue;
    engine.register_action_behavior(
        m.id, [](core::TreeNode&) { return core::NodeStatus::SUCCESS; }, m.ports);
  }
  for (auto& [type, ports] : stubs(facts, models)) {
    engine.register_action_behavior(
        type, [](core::TreeNode&) { return core::NodeStatus::SUCCESS; }, ports);
  }
  const auto start = std::chrono::steady_clock::now();
  engine.add_transition_observer([start](const observe::TransitionRecord& r) {
    const double ms = std::chrono::duration<double, std::milli>(r.time - start).count();
    std::printf("%10.3f ms  %s  #%u %s  %s -> %s\n", ms, r.tree_id.c_str(), r.node_id,
                r.path.c_str(), std::string(core::to_string(r.previous)).c_str(),
                std::string(core::to_string(r.status)).c_str());
  });
  try {
    std::string id;
    in_folder_of(o.files[0],
                 [&] { id = engine.create_tree_from_text(text_to_build(o, *source), "main"); });
    engine.get_tree_status(id);  // the build, or its error
    if (o.monitor) {
      std::printf("monitor: %s\n", engine.serve_monitor().c_str());
    }
    std::fflush(stdout);
    const long interval = o.interval_ms >= 0 ? o.interval_ms : (o.monitor ? 500 : 0);
    for (long i = 1; i <= o.ticks; ++i) {
      const core::NodeStatus status = engine.tick_once(id);
      std::printf("tick %ld: %s\n", i, std::string(core::to_string(status)).c_str());
      std::fflush(stdout);
      if (interval > 0) std::this_thread::sleep_for(std::chrono::milliseconds(interval));
    }
    if (o.monitor) {
      std::printf("monitor still serving at %s; press Ctrl-C to end\n",
                  engine.serve_monitor().c_str());
      std::fflush(stdout);
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, SIGINT);
      sigaddset(&set, SIGTERM);
      int signal = 0;
      sigwait(&set, &signal);
    }
    return 0;
  } catch (const std::exception& e) {
    std::string message = e.what();
    std::cerr << replace_all(message, "<xml text>", o.files[0]) << "\n";
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  try {
    if (o.command == "check") return check(o);
    if (o.command == "dot") return dot(o);
    return run(o);
  } catch (const std::exception& e) {
    std::cerr << "kelmora-tree: " << e.what() << "\n";
    return 1;
  }
}
