# Sources of the model-server client, the agent and the agent nodes.
set(KELMORA_LLM_SOURCES
)
