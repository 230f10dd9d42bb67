# Delay-loaded imports. A library outside Windows' known DLLs, imported the
# ordinary way, is looked for beside the program before the system folder,
# and loaded before the program's first instruction: a file of that name left
# in a download folder would run with the installer's rights. Such libraries
# are delay-loaded instead, on the first call into each, after the program's
# first act has kept the search to the system folder (installer/
# library_search.cpp); installer/delay_load.cpp has every such load come from
# there.
#
# cmake/delay/NAME.def lists what the program calls in the library, with the
# argument bytes of each function (the 32-bit stdcall decoration); dlltool
# makes the delay-load import library from it. Each function is also named
# with -u: ld drops the code of an import stub that is reached only through
# its __imp_ pointer, as the SDK headers' dllimport calls are, while the
# delay-load pointer starts out aimed at that very code. Without it the first
# call jumps to address 0.
find_program(QUIL_DLLTOOL ${QUIL_MINGW_TRIPLE}-dlltool REQUIRED)

# quil_delay_load(TARGET NAME...): TARGET delay-loads each library NAME.
function(quil_delay_load target)
  set(folder ${CMAKE_BINARY_DIR}/delay)
  file(MAKE_DIRECTORY ${folder})
  foreach(name IN LISTS ARGN)
    set(source ${CMAKE_SOURCE_DIR}/cmake/delay/${name}.def)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    file(STRINGS ${source} functions REGEX "^[A-Za-z_][A-Za-z0-9_]*@[0-9]+$")
    set(def ${folder}/${name}.def)
    set(lib ${folder}/lib${name}_delay.a)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
      # No decoration on x86-64: the names as the library exports them.
      file(READ ${source} text)
      string(REGEX REPLACE "@[0-9]+" "" text "${text}")
      file(WRITE ${def} "${text}")
      list(TRANSFORM functions REPLACE "@[0-9]+$" "")
    else()
      configure_file(${source} ${def} COPYONLY)
      list(TRANSFORM functions PREPEND "_")
    endif()
    add_custom_command(OUTPUT ${lib}
      COMMAND ${QUIL_DLLTOOL} -k -d ${def} -y ${lib}
      DEPENDS ${def}
      WORKING_DIRECTORY ${folder}
      COMMENT "Making the delay-load import library of ${name}")
    add_custom_target(${target}_delay_${name} DEPENDS ${lib})
    add_dependencies(${target} ${target}_delay_${name})
    target_link_libraries(${target} PRIVATE ${lib})
    foreach(function IN LISTS functions)
      target_link_options(${target} PRIVATE "LINKER:-u,${function}")
    endforeach()
  endforeach()
endfunction()
