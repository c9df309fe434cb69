# Reliability tests: replayed fuzz findings, the stress program, churn, and model-server faults
# inside trees run by the thread engine.

# The ctest run of the stress program: about a minute under ThreadSanitizer, short elsewhere.
if(KELMORA_SANITIZE MATCHES "thread")
  set(_stress_seconds 60)
else()
  set(_stress_seconds 10)
endif()
set(KELMORA_STRESS_SECONDS ${_stress_seconds} CACHE STRING
    "How long the ctest run of kelmora_stress lasts, in seconds")

# --- fuzz regressions -------------------------------------------------------------------------
set(_fuzz_check_sources ${PROJECT_SOURCE_DIR}/fuzz/check_xml.cpp)
set(_fuzz_check_libs)
if(KELMORA_BUILD_LLM)
  list(APPEND _fuzz_check_sources ${PROJECT_SOURCE_DIR}/fuzz/check_stream.cpp)
  list(APPEND _fuzz_check_libs kelmora_llm)
endif()
kelmora_add_test(test_fuzz_regressions
  SOURCES test_fuzz_regressions.cpp ${_fuzz_check_sources} LIBS ${_fuzz_check_libs} TIMEOUT 120)
target_compile_definitions(test_fuzz_regressions PRIVATE
  KELMORA_FUZZ_CORPUS="${PROJECT_SOURCE_DIR}/fuzz/corpus"
  $<$<BOOL:${KELMORA_BUILD_LLM}>:KELMORA_FUZZ_WITH_LLM=1>)

# --- stress program ---------------------------------------------------------------------------
add_executable(kelmora_stress stress/stress_main.cpp stress/stress_world.cpp)
target_link_libraries(kelmora_stress PRIVATE kelmora)
target_include_directories(kelmora_stress PRIVATE ${PROJECT_SOURCE_DIR}/src)  # the host protocol
kelmora_set_warnings(kelmora_stress)
if(KELMORA_SANITIZE)
  target_compile_definitions(kelmora_stress PRIVATE KELMORA_STRESS_SANITIZED=1)
endif()
add_test(NAME stress_run COMMAND kelmora_stress --seconds ${KELMORA_STRESS_SECONDS})
math(EXPR _stress_timeout "${KELMORA_STRESS_SECONDS} * 3 + 120")
set_tests_properties(stress_run PROPERTIES LABELS "concurrency" TIMEOUT ${_stress_timeout})

# --- churn ------------------------------------------------------------------------------------
# Full counts in every build but ThreadSanitizer's (which does not run label "stress" anyway).
kelmora_add_test(test_churn SOURCES stress/test_churn.cpp LABELS stress TIMEOUT 600)
if(KELMORA_SANITIZE)
  target_compile_definitions(test_churn PRIVATE KELMORA_CHURN_SANITIZED=1)
endif()
if(KELMORA_SANITIZE MATCHES "thread")
  target_compile_definitions(test_churn PRIVATE KELMORA_CHURN_REDUCED=1)
endif()

# --- model-server faults inside trees ---------------------------------------------------------
if(KELMORA_BUILD_LLM)
  kelmora_add_test(test_engine_faults SOURCES test_engine_faults.cpp
                   LIBS kelmora_llm kelmora_standin LABELS concurrency TIMEOUT 180)
endif()
