# ZEPHLIN_SANITIZE is a comma-separated list handed to -fsanitize
# ("address,undefined" for the main test run, "thread" where threads meet).
set(ZEPHLIN_SANITIZE "" CACHE STRING "Sanitizers to build with (for example address,undefined)")
if(ZEPHLIN_SANITIZE)
  add_compile_options(-fsanitize=${ZEPHLIN_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${ZEPHLIN_SANITIZE})
endif()
