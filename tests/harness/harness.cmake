# Wine test harness for CTest.
#
# include() this file once (from tests/CMakeLists.txt). It provides:
#   - the fixture tests harness.setup / harness.teardown (fixture "wine"):
#     private prefix under ${CMAKE_BINARY_DIR}/wineprefix, one persistent
#     wineserver, Xvfb, socat pairs COM5<->COM6, COM7<->COM8, LPT1<->peer pty,
#     and the build tree's controls registered with regsvr32;
#   - harness.ports: checks that the port pairs carry bytes both ways;
#   - add_wine_test(NAME <name> EXE <path> [TIMEOUT <s>] [ARGS <arg>...]):
#     one CTest entry running <path> under Wine (run_wine.sh), requiring the
#     fixture and running serially (the ports are shared).
# The variables HARNESS_DIR, HARNESS_ARCH and HARNESS_ENV are left for
# tests/e2e/CMakeLists.txt.

set(HARNESS_DIR "${CMAKE_CURRENT_LIST_DIR}" CACHE INTERNAL "Wine test harness scripts")

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set(HARNESS_ARCH x86_64 CACHE INTERNAL "Windows architecture the tests run")
else()
    set(HARNESS_ARCH i686 CACHE INTERNAL "Windows architecture the tests run")
endif()

set(HARNESS_ENV
    "TEST_ARCH=${HARNESS_ARCH}"
    "HARNESS_BUILD_DIR=${CMAKE_BINARY_DIR}"
    CACHE INTERNAL "Environment of every harness test")

add_test(NAME harness.setup COMMAND bash "${HARNESS_DIR}/setup.sh")
set_tests_properties(harness.setup PROPERTIES
    FIXTURES_SETUP wine
    ENVIRONMENT "${HARNESS_ENV}"
    RUN_SERIAL TRUE
    TIMEOUT 240)

add_test(NAME harness.teardown COMMAND bash "${HARNESS_DIR}/teardown.sh")
set_tests_properties(harness.teardown PROPERTIES
    FIXTURES_CLEANUP wine
    ENVIRONMENT "${HARNESS_ENV}"
    RUN_SERIAL TRUE
    TIMEOUT 120)

function(add_wine_test)
    cmake_parse_arguments(AWT "" "NAME;EXE;TIMEOUT" "ARGS" ${ARGN})
    if(NOT AWT_NAME OR NOT AWT_EXE)
        message(FATAL_ERROR "add_wine_test: NAME and EXE are required")
    endif()
    if(NOT AWT_TIMEOUT)
        set(AWT_TIMEOUT 300)
    endif()
    add_test(NAME ${AWT_NAME}
        COMMAND bash "${HARNESS_DIR}/run_wine.sh" "${AWT_EXE}" ${AWT_ARGS})
    set_tests_properties(${AWT_NAME} PROPERTIES
        FIXTURES_REQUIRED wine
        ENVIRONMENT "${HARNESS_ENV}"
        RUN_SERIAL TRUE
        TIMEOUT ${AWT_TIMEOUT})
endfunction()

# Self-check of the harness: bytes written by a Windows program to COM5/COM7
# (and back) arrive at the paired port; LPT1 accepts a write.
add_executable(harness_port_loop "${HARNESS_DIR}/selftest/port_loop.cpp")
target_link_options(harness_port_loop PRIVATE -static)
add_wine_test(NAME harness.ports EXE $<TARGET_FILE:harness_port_loop> TIMEOUT 60
    ARGS COM5:COM6:5000 COM6:COM5 COM7:COM8 COM8:COM7:20000 LPT1:-:16)
