# Sources of the behaviour-tree core (kelmora::core): values, errors, logging, blackboard, nodes,
# the factory and XML reader, and the sequential engine.
set(KELMORA_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/any.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/blackboard.cpp
  ${CMAKE_CURRENT_LIST_DIR}/errors.cpp
  ${CMAKE_CURRENT_LIST_DIR}/factory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/port_reference.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ports.cpp
  ${CMAKE_CURRENT_LIST_DIR}/standard_nodes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tree.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tree_builder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tree_node.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tree_source.cpp
  ${CMAKE_CURRENT_LIST_DIR}/type_name.cpp
  ${CMAKE_CURRENT_LIST_DIR}/xml_loader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../nodes/action_node.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../nodes/control_node.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../nodes/controls.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../nodes/decorators.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../nodes/leaves.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../engine/sequential_engine.cpp
)
