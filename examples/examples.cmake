# Small usage examples.
add_executable(kelmora_hello ${CMAKE_CURRENT_LIST_DIR}/hello/main.cpp)
target_link_libraries(kelmora_hello PRIVATE kelmora::kelmora)
kelmora_set_warnings(kelmora_hello)

# The first program doubles as a smoke test of the whole stack.
if(KELMORA_BUILD_TESTS)
  add_test(NAME example_hello COMMAND kelmora_hello)
  set_tests_properties(example_hello PROPERTIES TIMEOUT 60
    PASS_REGULAR_EXPRESSION "tree-Grace: first tick RUNNING, then RUNNING RUNNING RUNNING; greeting \"hello, Grace\", Count ran 4 times")
endif()
