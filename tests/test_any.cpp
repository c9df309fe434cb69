// Values of any kind in C++ words (text forms, kind names, integers, numbers), type names, and
// hooks that teach the core a host's own values.

#include <gtest/gtest.h>

#include <any>
#include <cstdint>
#include <kelmora/core/any.hpp>
#include <kelmora/core/node_status.hpp>
#include <kelmora/core/type_name.hpp>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kelmora::testing {
namespace {

struct TextCase {
  std::string label;
  std::any value;
  std::string text;
  std::string kind;
};

TEST(AnyTest, CppValuesHaveCppTextsAndKindNames) {
  const std::vector<TextCase> cases = {
      {"none", std::any(), "none", "none"},
      {"string", std::string("hi"), "hi", "std::string"},
      {"string_view", std::string_view("hi"), "hi", "std::string_view"},
      {"c string", static_cast<const char*>("hi"), "hi", "const char*"},
      {"true", true, "true", "bool"},
      {"false", false, "false", "bool"},
      {"int", -3, "-3", "int"},
      {"int64", std::int64_t{1} << 40, "1099511627776", "std::int64_t"},
      {"uint64 beyond int64", std::numeric_limits<std::uint64_t>::max(), "18446744073709551615",
       "std::uint64_t"},
      {"short", short{7}, "7", "short"},
      {"double", 2.5, "2.5", "double"},
      {"float", 0.5f, "0.5", "float"},
      {"status", core::NodeStatus::RUNNING, "RUNNING", "NodeStatus"},
      {"map", core::AnyMap{}, "<kelmora::core::AnyMap>", "kelmora::core::AnyMap"},
      {"list", std::vector<std::any>{}, "<std::vector<std::any>>", "std::vector<std::any>"},
      {"other", std::runtime_error("x"), "<std::runtime_error>", "std::runtime_error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(core::any_to_text(c.value), c.text);
    EXPECT_EQ(core::any_kind_name(c.value), c.kind);
  }
}

TEST(AnyTest, IntegersAndScalarsAreTheirCppValues) {
  struct Case {
    std::string label;
    std::any value;
    std::optional<std::int64_t> integer;
    std::optional<core::Scalar> scalar;
  };
  const std::uint64_t big = std::numeric_limits<std::uint64_t>::max();
  const std::vector<Case> cases = {
      {"int", 5, 5, core::Scalar{std::int64_t{5}}},
      {"unsigned short", static_cast<unsigned short>(9), 9, core::Scalar{std::int64_t{9}}},
      {"long long min", std::numeric_limits<long long>::min(),
       std::numeric_limits<std::int64_t>::min(),
       core::Scalar{std::numeric_limits<std::int64_t>::min()}},
      {"uint64 beyond int64", big, std::nullopt, core::Scalar{static_cast<double>(big)}},
      {"bool is no integer", true, std::nullopt, core::Scalar{true}},
      {"char is no integer", 'a', std::nullopt, std::nullopt},
      {"double", 2.0, std::nullopt, core::Scalar{2.0}},
      {"text is no number", std::string("3"), std::nullopt, std::nullopt},
      {"none", std::any(), std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(core::any_as_integer(c.value), c.integer);
    EXPECT_EQ(core::any_as_scalar(c.value), c.scalar);
  }
}

TEST(TypeNameTest, DemangledAndShortNames) {
  struct Local {};
  EXPECT_EQ(core::demangled_type_name(typeid(std::runtime_error)), "std::runtime_error");
  EXPECT_EQ(core::demangle("not a mangled name"), "not a mangled name");
  const std::vector<std::pair<std::string, std::string>> shortened = {
      {"int", "int"},
      {"app::MoveArm", "MoveArm"},
      {"app::detail::Outer::Inner", "Inner"},
      {"ns::Outer<ns::X, std::vector<int>>", "Outer<ns::X, std::vector<int>>"},
      {"f(ns::A)::Local", "Local"},
      {"(anonymous namespace)::Helper", "Helper"},
  };
  for (const auto& [full, name] : shortened) EXPECT_EQ(core::short_type_name(full), name) << full;
  EXPECT_EQ(core::short_type_name(typeid(Local)), "Local");
  EXPECT_EQ(core::short_type_name(typeid(std::runtime_error)), "runtime_error");
}

// A host's own text and number types, as a scripting host stores its values.
struct HostText {
  std::string text;
};
struct HostFlag {
  bool on;
};

TEST(AnyHooksTest, HooksTeachHostValuesAndTheLatestHookIsAskedFirst) {
  static int string_questions = 0;
  static const bool taught = [] {
    core::AnyHooks first;
    first.as_string = [](const std::any& v) -> std::optional<std::string> {
      ++string_questions;
      if (const auto* t = std::any_cast<HostText>(&v)) return "first:" + t->text;
      return std::nullopt;
    };
    first.kind_name = [](const std::any& v) -> std::optional<std::string> {
      if (v.type() == typeid(HostText)) return "HostText (first)";
      return std::nullopt;
    };
    core::add_any_hooks(std::move(first));
    core::AnyHooks second;
    second.kind_name = [](const std::any& v) -> std::optional<std::string> {
      if (v.type() == typeid(HostText)) return "HostText";
      if (v.type() == typeid(HostFlag)) return "HostFlag";
      return std::nullopt;
    };
    second.as_scalar = [](const std::any& v) -> std::optional<core::Scalar> {
      if (const auto* f = std::any_cast<HostFlag>(&v)) return core::Scalar{f->on};
      return std::nullopt;
    };
    second.to_text = [](const std::any& v) -> std::optional<std::string> {
      if (const auto* f = std::any_cast<HostFlag>(&v)) return f->on ? "yes" : "no";
      return std::nullopt;
    };
    core::add_any_hooks(std::move(second));
    return true;
  }();
  (void)taught;

  EXPECT_EQ(core::any_as_string(HostText{"a"}), "first:a");
  EXPECT_EQ(core::any_kind_name(HostText{"a"}), "HostText") << "the latest hook answers first";
  EXPECT_EQ(core::any_as_scalar(HostFlag{true}), core::Scalar{true});
  EXPECT_EQ(core::any_to_text(HostFlag{false}), "no");
  EXPECT_EQ(core::any_to_text(HostText{"a"}), "first:a") << "text of a host string";

  // C++ text and numbers are answered without asking a hook.
  const int asked = string_questions;
  EXPECT_EQ(core::any_as_string(std::string("plain")), "plain");
  EXPECT_EQ(core::any_as_scalar(3), core::Scalar{std::int64_t{3}});
  EXPECT_EQ(string_questions, asked);
  // Kinds no hook knows fall through to the core's own answer.
  EXPECT_EQ(core::any_kind_name(2.5), "double");
  EXPECT_EQ(core::any_as_string(HostFlag{true}), std::nullopt);
}

}  // namespace
}  // namespace kelmora::testing
