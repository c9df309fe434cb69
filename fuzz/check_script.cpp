#include "check_script.hpp"

#include <any>
#include <cstdint>
#include <kelmora/core/scripting.hpp>
#include <optional>
#include <string>
#include <typeindex>
#include <utility>
#include <vector>

#include "fuzz_checks.hpp"

namespace kelmora::fuzz {
namespace {

namespace sc = core::scripting;

const sc::EnumRegistry& enums() {
  static const sc::EnumRegistry registry = [] {
    sc::EnumRegistry r;
    r.register_enum("RED", 1);
    r.register_enum("GREEN", 2);
    r.register_enum("IDLE", 0);
    return r;
  }();
  return registry;
}

// Entries of every kind scripts meet: the names the dictionary uses.
void fill(sc::MemoryEnvironment& env) {
  env.set("i", std::int64_t{5});
  env.set("n", 7);
  env.set("u8", static_cast<unsigned char>(200));
  env.set("r", 2.5);
  env.set("f", 1.5F);
  env.set("s", std::string("42"));
  env.set("t", std::string("RED"));
  env.set("b", true);
  env.set("v", std::vector<int>{1, 2});
  env.set("big", ~0ULL);
  env.declare("d", sc::EntryType::integer);
  env.declare("e", sc::EntryType::none);
}

std::vector<std::pair<std::string, std::type_index>> typed_entries(
    const sc::MemoryEnvironment& env) {
  std::vector<std::pair<std::string, std::type_index>> out;
  for (const char* name : {"i", "n", "u8", "r", "f", "s", "t", "b", "v", "big"}) {
    out.emplace_back(name, env.get(name)->type());
  }
  return out;
}

void check_error(const sc::ScriptError& e, const std::string& code) {
  if (e.script() != code) throw FuzzFinding("ScriptError names another script");
  if (e.position() > code.size()) throw FuzzFinding("ScriptError position beyond the script");
  if (e.code() != Errc::script_eval) throw FuzzFinding("ScriptError with the wrong code");
  if (e.reason().empty()) throw FuzzFinding("ScriptError without a reason");
}

}  // namespace

void check_script(std::string_view input) {
  const std::string code(input);
  std::optional<sc::Script> script;
  try {
    script = sc::Script::parse(code);
  } catch (const sc::ScriptParseError& e) {
    if (e.script() != code) throw FuzzFinding("ScriptParseError names another script");
    if (e.position() > code.size()) throw FuzzFinding("parse error position beyond the script");
    if (e.code() != Errc::script_parse) throw FuzzFinding("ScriptParseError with the wrong code");
    return;
  }
  if (script->code() != code) throw FuzzFinding("the parsed script lost its text");

  sc::MemoryEnvironment root;
  sc::MemoryEnvironment env(root);
  fill(root);
  fill(env);
  root.set_enums(&enums());
  env.set_enums(&enums());
  const auto before = typed_entries(env);
  for (int round = 0; round < 2; ++round) {
    try {
      if (round == 0) {
        (void)script->evaluate(env);
      } else {
        (void)script->evaluate_condition(env);
      }
    } catch (const sc::ScriptError& e) {
      check_error(e, code);
    }
  }
  if (typed_entries(env) != before) throw FuzzFinding("a script changed an entry's C++ type");
  if (env.type_of("d") != sc::EntryType::integer) throw FuzzFinding("a typed entry lost its type");
}

}  // namespace kelmora::fuzz
