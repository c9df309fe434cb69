# Sources of the sequential engine and the thread engine.
set(KELMORA_ENGINE_SOURCES
)
