# cmake -DPROGRAM=path -DOUTPUTS="man=file|bash=file|..." -P generate_docs.cmake
# Each file is written whole or not at all, so a failed run is retried.
string(REPLACE "|" ";" outputs "${OUTPUTS}")
foreach(output IN LISTS outputs)
  string(FIND "${output}" "=" split)
  string(SUBSTRING "${output}" 0 ${split} kind)
  math(EXPR split "${split} + 1")
  string(SUBSTRING "${output}" ${split} -1 file)
  get_filename_component(dir "${file}" DIRECTORY)
  file(MAKE_DIRECTORY "${dir}")
  execute_process(COMMAND "${PROGRAM}" --generate=${kind} OUTPUT_FILE "${file}.new" RESULT_VARIABLE status
                  ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    file(REMOVE "${file}.new")
    message(FATAL_ERROR "${PROGRAM} --generate=${kind} failed (${status}): ${errors}")
  endif()
  file(RENAME "${file}.new" "${file}")
endforeach()
