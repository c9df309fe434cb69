#pragma once
// The check behind fuzz/fuzz_script.cpp, also replayed by tests/test_scripting.cpp over the seed
// corpus (fuzz/corpus/fuzz_script) and the inputs fuzzing found
// (tests/data/fuzz_regressions/fuzz_script).

#include <string_view>

namespace kelmora::fuzz {

// Parses the input as a script. Parsing either gives a Script or throws ScriptParseError with a
// position inside the text; a parsed script is evaluated (as a value and as a condition) against
// an in-memory environment holding entries of every type, and must return a value or throw
// ScriptError; the C++ type of every entry that held a value stays what it was. A violation
// throws kelmora::fuzz::FuzzFinding (fuzz_checks.hpp).
// Not thread-safe: shares nothing, but is meant for one fuzzing thread.
void check_script(std::string_view input);

}  // namespace kelmora::fuzz
