# Tests of the behaviour-tree core and the sequential engine (label "core", and "concurrency"
# for the stop-token tests that use a second thread; one label each: see kelmora_add_test).
kelmora_add_test(test_core_nodes SOURCES test_controls.cpp test_decorators.cpp
  LABELS core TIMEOUT 60)
kelmora_add_test(test_core_ports SOURCES test_ports.cpp test_subtree.cpp LABELS core TIMEOUT 60)
kelmora_add_test(test_core_xml SOURCES test_xml_parser.cpp LABELS core TIMEOUT 120)
kelmora_add_test(test_sequential_engine SOURCES test_sequential_engine.cpp LABELS core TIMEOUT 60)
kelmora_add_test(test_core_stop SOURCES test_stop_token.cpp LABELS concurrency TIMEOUT 60)
kelmora_add_test(test_core_reentrancy SOURCES test_reentrancy.cpp LABELS core TIMEOUT 60)
kelmora_add_test(test_scripting
  SOURCES test_scripting.cpp support/allocation_counter.cpp
          ${PROJECT_SOURCE_DIR}/fuzz/check_script.cpp
  LABELS core TIMEOUT 60)
target_compile_definitions(test_scripting PRIVATE
  KELMORA_FUZZ_CORPUS="${PROJECT_SOURCE_DIR}/fuzz/corpus")
kelmora_add_test(test_core_scripts
  SOURCES test_tree_scripts.cpp test_tree_registry.cpp test_blackboard_nodes.cpp
  LABELS core TIMEOUT 60)
kelmora_add_test(test_core_authoring SOURCES test_node_authoring.cpp LABELS core TIMEOUT 60)
kelmora_add_test(test_core_any SOURCES test_any.cpp LABELS core TIMEOUT 60)
kelmora_add_test(test_core_any_threads SOURCES test_any_threads.cpp LABELS concurrency TIMEOUT 120)
kelmora_add_test(test_long_actions SOURCES test_long_actions.cpp LABELS concurrency TIMEOUT 60)
kelmora_add_test(test_node_classes SOURCES test_node_classes.cpp LABELS core TIMEOUT 60)
kelmora_add_test(test_navigation_nodes SOURCES test_navigation_nodes.cpp LABELS core TIMEOUT 60)
kelmora_add_test(test_standard_controls SOURCES test_standard_controls.cpp LABELS core TIMEOUT 60)
