# Small usage examples.
add_executable(kelmora_hello ${CMAKE_CURRENT_LIST_DIR}/hello/main.cpp)
target_link_libraries(kelmora_hello PRIVATE kelmora::kelmora)
kelmora_set_warnings(kelmora_hello)
