# Every warning flag of the project lives here. Warnings are errors: a warning
# that is worth ignoring is worth a comment and a local pragma instead.
add_library(zephlin_warnings INTERFACE)
target_compile_options(zephlin_warnings INTERFACE
  -Wall -Wextra -Werror -Wpedantic
  -Wshadow=local -Wnon-virtual-dtor -Wcast-qual -Wformat=2
  -Wimplicit-fallthrough -Wnull-dereference -Wundef)
# GCC 12 at -O3 (the Release type) reports overlapping copies inside std::string's own
# operator+ (GCC bug 105651), in code that has none; later versions fixed the check.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(zephlin_warnings INTERFACE -Wno-restrict)
endif()
