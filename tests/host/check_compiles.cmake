# Compile checks of the C++ wrapper, run by CTest with the project's compiler
# as a C++17 host would build (-Wall -Wextra -Werror, syntax only).
#   MODE=ignored: ignored_result.cpp compiles as it is, and each of its
#     IGNORED variants fails with a diagnostic that names nodiscard.
#   MODE=example: the C++ example of docs/cpp.md compiles.
# Other arguments: COMPILER, INCLUDE_DIR, SOURCE (the .cpp or docs/cpp.md), WORK.
cmake_minimum_required(VERSION 3.25)

set(flags -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I${INCLUDE_DIR})

function(compile source out_result out_output)
  execute_process(COMMAND ${COMPILER} ${flags} ${ARGN} ${source}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(${out_result} ${result} PARENT_SCOPE)
  set(${out_output} "${output}" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "ignored")
  compile(${SOURCE} result output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${SOURCE} with every result used does not compile:\n${output}")
  endif()
  foreach(variant 1 2 3 4 5 6)
    compile(${SOURCE} result output -DIGNORED=${variant})
    if(result EQUAL 0)
      message(FATAL_ERROR "IGNORED=${variant}: a dropped result compiled")
    endif()
    if(NOT output MATCHES "nodiscard")
      message(FATAL_ERROR "IGNORED=${variant} failed for another reason:\n${output}")
    endif()
  endforeach()
elseif(MODE STREQUAL "example")
  file(READ ${SOURCE} page)
  string(FIND "${page}" "# C++: `korvex.hpp`" section)
  if(section LESS 0)
    message(FATAL_ERROR "no C++ section in ${SOURCE}")
  endif()
  string(SUBSTRING "${page}" ${section} -1 page)
  string(FIND "${page}" "```cpp\n" start)
  if(start LESS 0)
    message(FATAL_ERROR "no C++ example in the C++ section of ${SOURCE}")
  endif()
  math(EXPR start "${start} + 7")
  string(SUBSTRING "${page}" ${start} -1 page)
  string(FIND "${page}" "```" end)
  string(SUBSTRING "${page}" 0 ${end} example)
  file(WRITE ${WORK}/docs_example.cpp "${example}")
  compile(${WORK}/docs_example.cpp result output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "the C++ example of ${SOURCE} does not compile:\n${output}")
  endif()
else()
  message(FATAL_ERROR "MODE is ignored or example")
endif()
