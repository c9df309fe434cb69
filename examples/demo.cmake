# The demonstration program kelmora_demo (two trees asking a model for the news), and the stand-in
# model server that scripts/demo.sh runs it against when no Ollama server answers.
add_executable(kelmora_demo ${CMAKE_CURRENT_LIST_DIR}/demo/main.cpp)
target_include_directories(kelmora_demo PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kelmora_demo PRIVATE kelmora kelmora_llm)
kelmora_set_warnings(kelmora_demo)
