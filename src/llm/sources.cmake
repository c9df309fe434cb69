# Sources of the model-server client, the agent and the agent nodes.
set(KELMORA_LLM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/agent.cpp
  ${CMAKE_CURRENT_LIST_DIR}/agent_nodes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/chat_settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/chat_transfer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ndjson.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ollama.cpp
  ${CMAKE_CURRENT_LIST_DIR}/response_stream.cpp
  ${CMAKE_CURRENT_LIST_DIR}/server_address.cpp
  ${CMAKE_CURRENT_LIST_DIR}/server_pool.cpp
)
