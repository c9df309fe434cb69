# kelmora_set_warnings(target): the project's warning set; errors when KELMORA_WERROR is on.
function(kelmora_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                           $<$<BOOL:${KELMORA_WERROR}>:-Werror>)
endfunction()
