# libFuzzer targets with AddressSanitizer and UndefinedBehaviorSanitizer, one per input the
# program reads from outside: server replies, listings, PASV replies, the settings file, CRC
# stores and the command line. Included by tests/fuzz/CMakeLists.txt; configure with clang:
#   cmake -S tests/fuzz -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
# Each target fuzz_<name> has its seed corpus in tests/fuzz/corpus/<name>/.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "The fuzz targets need clang (libFuzzer); configure with -DCMAKE_CXX_COMPILER=clang++")
endif()

get_filename_component(ZEPHLIN_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

# Coverage instrumentation and both sanitizers on every layer, not only on the targets, so the
# fuzzer sees and checks the code it drives. Any finding aborts (no recovery).
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)

include(${ZEPHLIN_ROOT}/cmake/Warnings.cmake)
# clang has no -Wshadow=local (GCC: a local shadowing a local); -Wshadow-uncaptured-local is
# its closest equivalent. Every other warning stays as in the normal build.
get_target_property(zephlin_warning_flags zephlin_warnings INTERFACE_COMPILE_OPTIONS)
list(TRANSFORM zephlin_warning_flags REPLACE "^-Wshadow=local$" "-Wshadow-uncaptured-local")
set_target_properties(zephlin_warnings PROPERTIES INTERFACE_COMPILE_OPTIONS "${zephlin_warning_flags}")

# The layers as the program builds them (the ui library and the program are configured but
# only what the targets link is built).
include(${ZEPHLIN_ROOT}/cmake/VersionBlock.cmake)
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Network)
find_package(ZLIB REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBELF REQUIRED IMPORTED_TARGET libelf)
find_package(Threads REQUIRED)
add_subdirectory(${ZEPHLIN_ROOT}/src ${CMAKE_BINARY_DIR}/src)

# zephlin_fuzz_target(<name> <source> LIBS <libraries...> [VIEW <layer>] [SOURCES <more sources...>])
# A target includes what its libraries' layers may include; VIEW widens that to a higher
# layer whose sources it compiles itself.
set(ZEPHLIN_FUZZ_TARGETS "")
function(zephlin_fuzz_target name source)
  cmake_parse_arguments(FUZZ "" "VIEW" "LIBS;SOURCES" ${ARGN})
  add_executable(fuzz_${name} ${ZEPHLIN_ROOT}/tests/fuzz/${source} ${FUZZ_SOURCES})
  if(FUZZ_VIEW)
    zephlin_layer_view(fuzz_${name} PRIVATE ${FUZZ_VIEW})
  endif()
  target_link_libraries(fuzz_${name} PRIVATE ${FUZZ_LIBS} zephlin_warnings)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  set(ZEPHLIN_FUZZ_TARGETS ${ZEPHLIN_FUZZ_TARGETS} fuzz_${name} PARENT_SCOPE)
endfunction()

zephlin_fuzz_target(reply_reader ReplyReaderFuzz.cpp LIBS zephlin_ftp)
zephlin_fuzz_target(listing ListingFuzz.cpp LIBS zephlin_ftp)
zephlin_fuzz_target(pasv PasvFuzz.cpp LIBS zephlin_ftp)
zephlin_fuzz_target(profile ProfileFuzz.cpp LIBS zephlin_sessions)
zephlin_fuzz_target(sftp_reply SftpReplyFuzz.cpp LIBS zephlin_remote_sftp)
zephlin_fuzz_target(crc_store CrcStoreFuzz.cpp LIBS zephlin_engine)
# The command-line reader is one pure file of the ui layer; built alone, without Qt Widgets.
zephlin_fuzz_target(command_line CommandLineFuzz.cpp LIBS zephlin_sessions VIEW ui
                    SOURCES ${ZEPHLIN_ROOT}/src/ui/CommandLine.cpp)

# `cmake --build build-fuzz --target fuzz` builds every target and nothing else.
add_custom_target(fuzz DEPENDS ${ZEPHLIN_FUZZ_TARGETS})
