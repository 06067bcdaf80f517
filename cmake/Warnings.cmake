# The warnings every target of this project is built with; the tree stays free of them.
set(TESSARAVOLT_C_WARNINGS
    -Wall -Wextra -Wshadow -Wformat=2 -Wundef -Wpointer-arith -Wcast-align
    -Wmissing-declarations -Wstrict-prototypes -Wmissing-prototypes)
set(TESSARAVOLT_CXX_WARNINGS
    -Wall -Wextra -Wshadow -Wformat=2 -Wundef -Wpointer-arith -Wcast-align
    -Wmissing-declarations -Wnon-virtual-dtor -Woverloaded-virtual)

function(tessaravolt_warnings target)
  target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:C>:${TESSARAVOLT_C_WARNINGS}>
      $<$<COMPILE_LANGUAGE:CXX>:${TESSARAVOLT_CXX_WARNINGS}>)
endfunction()
