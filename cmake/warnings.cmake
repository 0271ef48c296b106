# Every warning is a defect: the whole tree builds with these on and clean.
add_compile_options(-Wall -Wextra -Wpedantic -Wformat=2 -Wshadow -Wno-format-nonliteral)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-Wformat-truncation=0)
endif()
option(CALLCTLD_WERROR "Treat warnings as errors" ON)
if(CALLCTLD_WERROR)
  add_compile_options(-Werror)
endif()
