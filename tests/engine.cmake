# Tests of the thread engine: real trees whose actions the tests script (support/engine_test.hpp),
# the mailbox and the host protocol on their own (internal headers, hence src/ on the path).
add_library(kelmora_engine_test_support STATIC support/engine_test.cpp)
target_link_libraries(kelmora_engine_test_support PUBLIC kelmora_test_support)
target_include_directories(kelmora_engine_test_support PUBLIC ${PROJECT_SOURCE_DIR}/src)
kelmora_set_warnings(kelmora_engine_test_support)

kelmora_add_test(test_mailbox
  SOURCES test_mailbox.cpp LIBS kelmora_engine_test_support LABELS concurrency TIMEOUT 120)
kelmora_add_test(test_thread_engine_registration
  SOURCES test_thread_engine_registration.cpp LIBS kelmora_engine_test_support TIMEOUT 60)
kelmora_add_test(test_thread_engine_definitions
  SOURCES test_thread_engine_definitions.cpp LIBS kelmora_engine_test_support
  LABELS concurrency TIMEOUT 60)
kelmora_add_test(test_thread_engine_creation
  SOURCES test_thread_engine_creation.cpp LIBS kelmora_engine_test_support
  LABELS concurrency TIMEOUT 60)
kelmora_add_test(test_thread_engine_commands
  SOURCES test_thread_engine_commands.cpp LIBS kelmora_engine_test_support
  LABELS concurrency TIMEOUT 60)
kelmora_add_test(test_thread_engine_processing
  SOURCES test_thread_engine_processing.cpp LIBS kelmora_engine_test_support TIMEOUT 60)
kelmora_add_test(test_thread_engine_stopping
  SOURCES test_thread_engine_stopping.cpp LIBS kelmora_engine_test_support
  LABELS concurrency TIMEOUT 60)
kelmora_add_test(test_thread_engine_concurrency
  SOURCES test_thread_engine_concurrency.cpp LIBS kelmora_engine_test_support
  LABELS concurrency TIMEOUT 180)
kelmora_add_test(test_thread_engine_integration
  SOURCES test_thread_engine_integration.cpp LIBS kelmora_engine_test_support
  LABELS concurrency TIMEOUT 120)
kelmora_add_test(test_thread_engine_waits
  SOURCES test_thread_engine_waits.cpp LIBS kelmora_engine_test_support
  LABELS concurrency TIMEOUT 120)
kelmora_add_test(test_thread_engine_log_handlers
  SOURCES test_thread_engine_log_handlers.cpp LIBS kelmora_engine_test_support
  LABELS concurrency TIMEOUT 60)
# Not run under ThreadSanitizer, which does not follow a multi-threaded process into fork().
kelmora_add_test(test_thread_engine_fork
  SOURCES test_thread_engine_fork.cpp LIBS kelmora_engine_test_support TIMEOUT 60)
kelmora_add_test(test_thread_engine_long
  SOURCES test_thread_engine_long.cpp LIBS kelmora_engine_test_support
  LABELS concurrency TIMEOUT 60)
