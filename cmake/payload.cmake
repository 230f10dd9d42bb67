# The payload manifest (resources/payload.tsv), read at configure time into
# what the build needs: the installer's payload table (generated/
# payload_table.h and .cpp, the same in every build) and, as CMake lists, the
# files by source and storage (resources/payload.py cmake). Files are
# rewritten only when their content changes, so a configure rebuilds nothing
# by itself.
set(PAYLOAD_MANIFEST ${CMAKE_SOURCE_DIR}/resources/payload.tsv)
set(PAYLOAD_SCRIPT ${CMAKE_SOURCE_DIR}/resources/payload.py)
set(GENERATED ${CMAKE_BINARY_DIR}/generated)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PAYLOAD_MANIFEST} ${PAYLOAD_SCRIPT})

# payload_generate(ARGUMENTS... OUTPUTS...): runs payload.py into a scratch
# folder, then copies each output into GENERATED when it changed.
function(payload_generate command)
  set(scratch ${CMAKE_BINARY_DIR}/generated-scratch)
  file(MAKE_DIRECTORY ${scratch} ${GENERATED})
  set(paths)
  foreach(name IN LISTS ARGN)
    list(APPEND paths ${scratch}/${name})
  endforeach()
  execute_process(COMMAND ${Python3_EXECUTABLE} ${PAYLOAD_SCRIPT} ${command} ${paths}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "resources/payload.py ${command} failed")
  endif()
  foreach(name IN LISTS ARGN)
    configure_file(${scratch}/${name} ${GENERATED}/${name} COPYONLY)
  endforeach()
endfunction()

payload_generate(table payload_table.h payload_table.cpp)
payload_generate(cmake payload_lists.cmake)
include(${GENERATED}/payload_lists.cmake)
set(PAYLOAD_TABLE_SOURCE ${GENERATED}/payload_table.cpp)
