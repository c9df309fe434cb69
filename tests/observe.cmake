# Tests of observation: transitions and counters in the core, pictures of trees, observers of the
# thread engine, the SQLite recorder and the live monitor.
kelmora_add_test(test_transitions SOURCES test_transitions.cpp TIMEOUT 60)
kelmora_add_test(test_observers
  SOURCES test_observers.cpp LIBS kelmora_engine_test_support LABELS concurrency TIMEOUT 120)
# The recorder's tests read its databases with SQLite and kill a recording child process.
find_package(SQLite3 REQUIRED)
add_executable(observe_record_child support/observe_record_child.cpp)
target_link_libraries(observe_record_child PRIVATE kelmora)
kelmora_set_warnings(observe_record_child)
kelmora_add_test(test_recorder
  SOURCES test_recorder.cpp LIBS kelmora_engine_test_support SQLite::SQLite3
  LABELS concurrency TIMEOUT 180)
add_dependencies(test_recorder observe_record_child)
target_compile_definitions(test_recorder PRIVATE
  KELMORA_RECORD_CHILD="$<TARGET_FILE:observe_record_child>")
kelmora_add_test(test_monitor
  SOURCES test_monitor.cpp LIBS kelmora_engine_test_support PkgConfig::KELMORA_HTTPLIB
  LABELS concurrency TIMEOUT 180)
if(KELMORA_BUILD_TOOLS)
  kelmora_add_test(test_tree_tool SOURCES test_tree_tool.cpp TIMEOUT 120)
  add_dependencies(test_tree_tool kelmora_tree)
  target_compile_definitions(test_tree_tool PRIVATE
    KELMORA_TREE_TOOL="$<TARGET_FILE:kelmora_tree>")
endif()
