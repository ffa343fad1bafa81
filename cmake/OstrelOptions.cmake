# Compiler flags and helpers shared by every target of the project.

# Warnings for our own code. Third-party sources compiled by us use their own flags.
set(OSTREL_WARNINGS -Wall -Wextra -Werror -Wformat -Wformat-security -Wno-missing-field-initializers)
# g++ 12 reports false "may be used uninitialized" inside the standard library when the
# sanitizers instrument it; the plain build keeps the warning.
# g++ 12 also reports false overlaps (-Wrestrict) inside std::string's operator+ at -O3
# (GCC bug 105329).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND OSTREL_WARNINGS -Wno-restrict)
endif()
if(OSTREL_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND OSTREL_WARNINGS -Wno-maybe-uninitialized)
endif()

function(ostrel_apply_sanitizers)
  if(OSTREL_SANITIZE STREQUAL "address")
    set(flags -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  elseif(OSTREL_SANITIZE STREQUAL "thread")
    set(flags -fsanitize=thread -fno-omit-frame-pointer)
  elseif(OSTREL_SANITIZE STREQUAL "")
    return()
  else()
    message(FATAL_ERROR "OSTREL_SANITIZE must be empty, 'address' or 'thread'")
  endif()
  add_compile_options(${flags})
  add_link_options(${flags})
endfunction()

# ostrel_library(<name> [DIR <dir>] [LIBS <libs...>] [PUBLIC_INCLUDE <dirs...>])
# A static library from every .cpp/.c file of the current folder (not its sub-folders).
function(ostrel_library name)
  cmake_parse_arguments(A "" "" "LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  set_property(GLOBAL APPEND PROPERTY OSTREL_LIBRARIES ${name})
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_compile_options(${name} PRIVATE ${OSTREL_WARNINGS})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
    target_link_libraries(${name} PUBLIC ${A_LIBS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
    target_link_libraries(${name} INTERFACE ${A_LIBS})
  endif()
endfunction()
