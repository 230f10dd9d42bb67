# The programs the journeys and the benchmarks run beside Quil.exe, each
# built for the same Windows so that it runs under the same Wine. Included by
# the Windows build when QUIL_TEST_HELPERS is on.
add_subdirectory(tests/e2e/probe)
add_subdirectory(tests/e2e/faulty_lz32)
add_subdirectory(tests/e2e/dialog_timing)
add_subdirectory(tests/e2e/hold_file)
add_subdirectory(tests/e2e/reg_dump)
add_subdirectory(tests/e2e/planted)
# The libraries journey's control program carries Quil.exe's manifest.
add_subdirectory(tests/e2e/library_control)

# The benchmark's timing of Quil.exe's check of its own resources, against
# the same build's record of them.
add_executable(self_check_timing tests/e2e/self_check_timing/self_check_timing.cpp
               installer/self_check.cpp ${DIGESTS})
set_target_properties(self_check_timing PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                      ${CMAKE_BINARY_DIR}/tests/e2e/self_check_timing)
target_link_options(self_check_timing PRIVATE -static -static-libgcc -static-libstdc++ -s)

# The platform facts program, run under Wine by the journeys' harness.
add_executable(platform_facts tests/conformance/platform_facts.cpp)
target_link_options(platform_facts PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(platform_facts PRIVATE version advapi32 gdi32 user32)
