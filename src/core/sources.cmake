# Sources of the behaviour-tree core and the shared pieces (logging, values).
set(KELMORA_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/any.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../log.cpp
)
