# Every warning flag of the project lives here. Warnings are errors: a warning
# that is worth ignoring is worth a comment and a local pragma instead.
add_library(zephlin_warnings INTERFACE)
target_compile_options(zephlin_warnings INTERFACE
  -Wall -Wextra -Werror -Wpedantic
  -Wshadow=local -Wnon-virtual-dtor -Wcast-qual -Wformat=2
  -Wimplicit-fallthrough -Wnull-dereference -Wundef)
