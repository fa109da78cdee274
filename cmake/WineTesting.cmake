# Tests run under Wine, in a prefix of their own inside the build tree.
set(OPC_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(OPC_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run)
file(WRITE ${OPC_WINE_RUN}
     "#!/bin/sh\nOPC_WINEPREFIX='${OPC_WINEPREFIX}' exec '${CMAKE_SOURCE_DIR}/scripts/wine-run.sh' \"$@\"\n")
file(CHMOD ${OPC_WINE_RUN} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${OPC_WINE_RUN})

# The Windows path of a file in the build tree (Wine maps the root to Z:).
function(opc_windows_path out path)
    string(REPLACE "/" "\\" converted "Z:${path}")
    set(${out} "${converted}" PARENT_SCOPE)
endfunction()

# Every test runs between these two: the first registers what the tests need in the prefix,
# the last ends every Wine process so nothing outlives the run.
add_test(NAME wine_stop COMMAND env OPC_WINEPREFIX=${OPC_WINEPREFIX} ${CMAKE_SOURCE_DIR}/scripts/wine-stop.sh)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)

# Registers a proxy/stub DLL (target) in the test prefix as part of the `wine` fixture.
function(opc_register_proxy target)
    opc_windows_path(dll ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${target}.dll)
    add_test(NAME register_${target} COMMAND ${OPC_WINE_RUN} regsvr32.exe /s "${dll}")
    set_tests_properties(register_${target} PROPERTIES FIXTURES_SETUP wine)
endfunction()

# Registers a local server (target, with /RegServer) in the test prefix.
function(opc_register_server target)
    add_test(NAME register_${target} COMMAND ${target} /RegServer)
    set_tests_properties(register_${target} PROPERTIES FIXTURES_SETUP wine)
endfunction()

# A GoogleTest executable whose cases each run as a CTest test under Wine.
function(opc_add_gtest target)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
    add_executable(${target} ${ARG_SOURCES} ${CMAKE_SOURCE_DIR}/tests/support/test_main.cpp)
    target_link_libraries(${target} PRIVATE GTest::gtest ${ARG_LIBS} opc_warnings)
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
    target_link_options(${target} PRIVATE -municode)
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 120 ${ARG_PROPERTIES})
endfunction()
