# kelmora_enable_sanitizers("address;undefined" | "thread" | ""): builds everything that follows
# with those sanitizers; a sanitizer finding aborts the program so ctest reports it.
function(kelmora_enable_sanitizers sanitizers)
  if(NOT sanitizers)
    return()
  endif()
  string(REPLACE ";" "," _list "${sanitizers}")
  add_compile_options(-fsanitize=${_list} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_list})
endfunction()
