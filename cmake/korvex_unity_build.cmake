# Batched compilation (CMake's unity build) for the targets whose files share
# heavy header-only libraries: the argument parser and the HTTP server are
# compiled into every file that uses them, so a cold build of the client spent
# most of its time compiling the same inline code a dozen times over. Batches
# compile it once each. Off for a file-at-a-time build when editing one file.
# Not for Windows: <windows.h> macros would leak from one file to the next.
option(KORVEX_UNITY_BUILD "Compile the library, korvexd and the client in batches" ON)

function(korvex_unity_build target)
  if(KORVEX_UNITY_BUILD AND NOT WIN32)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
    # GCC takes a batched file for a header, and warns where a file's own
    # anonymous-namespace type is held by a lambda of a global variable.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(${target} PRIVATE -Wno-subobject-linkage)
    endif()
  endif()
endfunction()
