# Tests of the agent layer: the model-server client against the stand-in server, the agent nodes,
# and the demonstration program end to end.
kelmora_add_test(test_llm_parsing SOURCES test_llm_parsing.cpp
                 LIBS kelmora_llm kelmora_standin TIMEOUT 60)
kelmora_add_test(test_llm_client SOURCES test_llm_client.cpp
                 LIBS kelmora_llm kelmora_standin LABELS concurrency TIMEOUT 60)
kelmora_add_test(test_llm_protocol SOURCES test_llm_protocol.cpp
                 LIBS kelmora_llm kelmora_standin LABELS concurrency TIMEOUT 120)
kelmora_add_test(test_llm_nodes SOURCES test_llm_nodes.cpp
                 LIBS kelmora_llm kelmora_standin LABELS concurrency TIMEOUT 60)
target_include_directories(test_llm_nodes PRIVATE ${PROJECT_SOURCE_DIR}/examples)

# The demonstration end to end needs the built program.
if(KELMORA_BUILD_EXAMPLES)
  kelmora_add_test(test_llm_demo SOURCES test_llm_demo.cpp
                   LIBS kelmora_llm kelmora_standin LABELS concurrency TIMEOUT 120)
  target_include_directories(test_llm_demo PRIVATE ${PROJECT_SOURCE_DIR}/examples)
  target_compile_definitions(test_llm_demo PRIVATE KELMORA_DEMO_PATH="$<TARGET_FILE:kelmora_demo>")
  add_dependencies(test_llm_demo kelmora_demo)
endif()
kelmora_add_test(test_llm_run_agent SOURCES test_llm_run_agent.cpp
                 LIBS kelmora_llm kelmora_standin LABELS concurrency TIMEOUT 120)
