# Sources of the thread engine (kelmora::kelmora). The path of one command: thread_engine.cpp
# (the caller side and the worker) and mailbox.cpp (the round trip between them).
set(KELMORA_THREAD_ENGINE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/trigger/engine_state.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trigger/host_protocol.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trigger/mailbox.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trigger/observation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trigger/reaper.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trigger/thread_engine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trigger/trees.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trigger/waits.cpp
)
