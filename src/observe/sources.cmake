# Sources of the engine's observation (part of kelmora::kelmora): observers and the shapes of
# trees, the SQLite recorder, the live monitor and Graphviz pictures.
set(KELMORA_OBSERVE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/hub.cpp
  ${CMAKE_CURRENT_LIST_DIR}/monitor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/monitor_page.cpp
  ${CMAKE_CURRENT_LIST_DIR}/observer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recorder.cpp
)
