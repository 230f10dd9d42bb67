# The win32 build: the product programs, the payload (generated, copied and
# packed), the resource script and Quil.exe itself.
enable_language(RC)
add_compile_definitions(_WIN32_WINNT=0x0501 WINVER=0x0501)

# The same commit gives the same bytes, whenever and wherever it is built: no
# link time in the PE headers, and no build folder in anything compiled. The
# product programs below inherit both, so the packed payload is stable too.
add_link_options(-Wl,--no-insert-timestamp)
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
                    -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)

set(SZDD_TOOL "" CACHE FILEPATH "the SZDD packer from the host build")
if(NOT EXISTS "${SZDD_TOOL}")
  message(FATAL_ERROR "set SZDD_TOOL to the host build's tools/szdd/szdd")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/signing.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/delay_load.cmake)

# quil_load_config(TARGET): the program's load configuration
# (core/load_config.cpp), which the linker leaves out of the PE header,
# is put there once the program is linked, before it is signed.
function(quil_load_config target)
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/core/load_config.cpp)
  target_link_options(${target} PRIVATE "LINKER:-Map=${map}")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/pe_load_config.py
            $<TARGET_FILE:${target}> ${map}
    VERBATIM)
endfunction()

# The manifests name the processor each program is built for: Windows (and
# Wine) refuse to load the common controls for a program whose manifest names
# another one.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(MANIFEST_ARCH amd64)
else()
  set(MANIFEST_ARCH x86)
endif()

# The programs' libraries (core/, installer/, uninstaller/), for Windows,
# then the programs Quil.exe carries, its uninstaller among them.
add_subdirectory(core)
add_subdirectory(installer)
add_subdirectory(uninstaller)
add_subdirectory(product)

set(PAYLOAD ${CMAKE_BINARY_DIR}/payload)
set(PACKED ${CMAKE_BINARY_DIR}/packed)
set(RESOURCES ${CMAKE_SOURCE_DIR}/resources)
set(ICON ${CMAKE_BINARY_DIR}/quil.ico)

# The payload manifest (cmake/payload.cmake) names every file, its storage
# and its source: made by resources/make_payload.py, copied from this tree,
# or a program of this build.
list(TRANSFORM PAYLOAD_GENERATED PREPEND ${PAYLOAD}/ OUTPUT_VARIABLE GENERATED_PATHS)

add_custom_command(OUTPUT ${GENERATED_PATHS}
  COMMAND ${Python3_EXECUTABLE} ${RESOURCES}/make_payload.py ${PAYLOAD}
  DEPENDS ${RESOURCES}/make_payload.py
  COMMENT "Generating the payload documents")
set(STAGED ${GENERATED_PATHS})
while(PAYLOAD_COPIED)
  list(POP_FRONT PAYLOAD_COPIED source name)
  add_custom_command(OUTPUT ${PAYLOAD}/${name}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/${source} ${PAYLOAD}/${name}
    DEPENDS ${CMAKE_SOURCE_DIR}/${source})
  list(APPEND STAGED ${PAYLOAD}/${name})
endwhile()
# Each program is signed on the way when the build signs.
while(PAYLOAD_PROGRAMS)
  list(POP_FRONT PAYLOAD_PROGRAMS program name)
  quil_stage_program(${program} ${PAYLOAD}/${name})
  list(APPEND STAGED ${PAYLOAD}/${name})
endwhile()
set(PACKED_PATHS)
foreach(name IN LISTS PAYLOAD_PACKED)
  add_custom_command(OUTPUT ${PACKED}/${name}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PACKED}
    COMMAND ${SZDD_TOOL} ${PAYLOAD}/${name} ${PACKED}/${name}
    DEPENDS ${PAYLOAD}/${name} ${SZDD_TOOL})
  list(APPEND PACKED_PATHS ${PACKED}/${name})
endforeach()
add_custom_command(OUTPUT ${ICON}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/make_icon.py ${ICON}
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/make_icon.py)

set(MANIFEST ${CMAKE_BINARY_DIR}/quil.manifest)
configure_file(${RESOURCES}/quil.manifest.in ${MANIFEST} @ONLY)

# The FILE lines of the resource script, from the manifest.
execute_process(COMMAND ${Python3_EXECUTABLE} ${PAYLOAD_SCRIPT} rc ${PAYLOAD} ${PACKED}
                        ${GENERATED}/file_resources.rc RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "resources/payload.py rc failed")
endif()
file(READ ${GENERATED}/file_resources.rc FILE_RESOURCES)
configure_file(${RESOURCES}/quil.rc.in ${CMAKE_BINARY_DIR}/quil.rc @ONLY)
set_source_files_properties(${CMAKE_BINARY_DIR}/quil.rc PROPERTIES
  OBJECT_DEPENDS "${STAGED};${PACKED_PATHS};${ICON};${MANIFEST};${RESOURCES}/resource_ids.h")

# The record of every FILE resource that Quil.exe checks itself against,
# made from the very files the resource script puts in it.
set(DIGESTS ${CMAKE_BINARY_DIR}/resource_digests.cpp)
add_custom_command(OUTPUT ${DIGESTS}
  COMMAND ${Python3_EXECUTABLE} ${RESOURCES}/resource_digests.py ${CMAKE_BINARY_DIR}/quil.rc
          ${DIGESTS}
  DEPENDS ${RESOURCES}/resource_digests.py ${CMAKE_BINARY_DIR}/quil.rc ${STAGED} ${PACKED_PATHS}
  COMMENT "Recording the FILE resources' sizes and CRC-32s")

add_executable(Quil WIN32 installer/main.cpp installer/delay_load.cpp ${DIGESTS}
               ${CMAKE_BINARY_DIR}/quil.rc)
target_include_directories(Quil PRIVATE ${CMAKE_SOURCE_DIR} ${RESOURCES})
# Only Windows' known DLLs in the import table: the C and C++ runtimes go in
# statically, and the libraries outside that list are delay-loaded.
target_link_options(Quil PRIVATE -static -static-libgcc -static-libstdc++ -s)
target_link_libraries(Quil PRIVATE quil_installer shell32 advapi32 gdi32 user32)
quil_delay_load(Quil comctl32 lz32 version wininet)
quil_load_config(Quil)
quil_sign_after_link(Quil)
set_property(TARGET Quil APPEND PROPERTY LINK_DEPENDS ${QUIL_SIGN_INPUTS})
# The fingerprint a maker publishes beside the download (of the signed file,
# when the build signs); two builds of one commit print the same.
add_custom_command(TARGET Quil POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E sha256sum $<TARGET_FILE_NAME:Quil>
  WORKING_DIRECTORY $<TARGET_FILE_DIR:Quil>
  VERBATIM)

# The symbol map that quil-reports names crash addresses with
# (symbols/quil-NNN.map, keyed by the build number that the crash report
# carries, read from the one place that sets it). Quil.exe is linked with -s
# and stays as it is: the same objects, libraries and options are linked
# again without -s, and tools/symbol_map.py holds that link's code to
# Quil.exe's, byte for byte, before it lists its functions.
set(BUILD_NUMBER_SOURCE ${CMAKE_SOURCE_DIR}/installer/crash/crash_filter.cpp)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${BUILD_NUMBER_SOURCE})
file(STRINGS ${BUILD_NUMBER_SOURCE} build_line REGEX "^const unsigned kBuildNumber = [0-9]+;")
if(NOT build_line MATCHES "kBuildNumber = ([0-9]+)")
  message(FATAL_ERROR "${BUILD_NUMBER_SOURCE} sets no kBuildNumber")
endif()
set(QUIL_BUILD_NUMBER ${CMAKE_MATCH_1})
string(LENGTH "${QUIL_BUILD_NUMBER}" digits)
set(padded "00${QUIL_BUILD_NUMBER}")
math(EXPR skip "${digits} - 1")
string(SUBSTRING "${padded}" ${skip} -1 padded)
set(SYMBOL_MAP ${CMAKE_BINARY_DIR}/symbols/quil-${padded}.map)
get_target_property(link_options Quil LINK_OPTIONS)
list(REMOVE_ITEM link_options -s)
list(FILTER link_options EXCLUDE REGEX "-Map=")
get_target_property(link_libraries Quil LINK_LIBRARIES)
add_executable(QuilSymbols WIN32 $<TARGET_OBJECTS:Quil>)
set_target_properties(QuilSymbols PROPERTIES OUTPUT_NAME Quil-unstripped
                      LINK_OPTIONS "${link_options}" LINK_LIBRARIES "${link_libraries}")
add_dependencies(QuilSymbols Quil)
add_custom_command(TARGET QuilSymbols POST_BUILD
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/symbol_map.py --nm ${CMAKE_NM}
          --program $<TARGET_FILE:Quil> --unstripped $<TARGET_FILE:QuilSymbols>
          --build ${QUIL_BUILD_NUMBER} --out ${SYMBOL_MAP}
  VERBATIM)

enable_testing()
# The form check holds the real program to its 32-bit form; the x86-64 build
# only stands in for it where 32-bit Wine cannot run.
if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  add_test(NAME quil_exe_form
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/build/form_check.py $<TARGET_FILE:Quil>
            ${PAYLOAD} ${PACKED} ${CMAKE_BINARY_DIR}/quil.rc)
endif()

# The built program's resources, read from the PE file and held to the
# system's values: dialog templates, icon, manifest, languages, payload bytes.
add_test(NAME quil_exe_resources
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/build/resources_check.py
          $<TARGET_FILE:Quil> ${PAYLOAD} ${CMAKE_SOURCE_DIR})

# What a program run from a download folder must be: known DLLs alone in its
# imports, its load configuration, its version record, the execution level
# its manifest requests (and each carried program's).
add_test(NAME quil_exe_program
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/build/program_check.py
          $<TARGET_FILE:Quil> ${PAYLOAD})

# The programs the journeys and the benchmarks run beside Quil.exe under
# Wine: in the test builds (the presets), not in one that only ships.
option(QUIL_TEST_HELPERS "build the journeys' and benchmarks' helper programs" OFF)
if(QUIL_TEST_HELPERS)
  include(${CMAKE_SOURCE_DIR}/tests/e2e/helpers.cmake)
endif()
