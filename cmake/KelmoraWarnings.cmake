# kelmora_set_warnings(target): the project's warning set; errors when KELMORA_WERROR is on.
function(kelmora_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                           $<$<BOOL:${KELMORA_WERROR}>:-Werror>)
  # GCC 12's flow analysis reports std::optional<std::string> as "maybe uninitialized" once the
  # sanitizers' instrumentation is in (a known false positive); keep it a warning there.
  if(KELMORA_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-error=maybe-uninitialized)
  endif()
endfunction()
