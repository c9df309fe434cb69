# Sources of the thread engine (kelmora::kelmora).
set(KELMORA_THREAD_ENGINE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/trigger/any_values.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trigger/channel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trigger/sequential_worker_engine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trigger/spin.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trigger/thread_engine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trigger/waits.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trigger/worker.cpp
)
