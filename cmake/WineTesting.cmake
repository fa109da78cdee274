# Tests run under Wine, in a prefix of their own inside the build tree.
set(OPC_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(OPC_XVFB_STATE ${CMAKE_BINARY_DIR}/xvfb)
set(OPC_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run)
file(WRITE ${OPC_WINE_RUN}
     "#!/bin/sh\nOPC_WINEPREFIX='${OPC_WINEPREFIX}' OPC_DISPLAY_FILE='${OPC_XVFB_STATE}.display' OPC_DESKTOP_KEEPER='${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/desktop_keeper.exe' exec '${CMAKE_SOURCE_DIR}/scripts/wine-run.sh' \"$@\"\n")
file(CHMOD ${OPC_WINE_RUN} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${OPC_WINE_RUN})

# The Windows path of a file in the build tree (Wine maps the root to Z:).
function(opc_windows_path out path)
    string(REPLACE "/" "\\" converted "Z:${path}")
    set(${out} "${converted}" PARENT_SCOPE)
endfunction()

# Every test runs inside two fixtures: a private X server (`display`), then the registrations
# in the prefix (`wine`); the last test ends every Wine process and the X server, so nothing
# outlives the run.
add_test(NAME xvfb_start COMMAND ${CMAKE_SOURCE_DIR}/scripts/xvfb-start.sh ${OPC_XVFB_STATE})
set_tests_properties(xvfb_start PROPERTIES FIXTURES_SETUP display TIMEOUT 60)
add_test(NAME wine_stop COMMAND env OPC_WINEPREFIX=${OPC_WINEPREFIX} OPC_XVFB_STATE=${OPC_XVFB_STATE}
                                ${CMAKE_SOURCE_DIR}/scripts/wine-stop.sh)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP "wine;display")

# Registers proxy/stub DLLs and local servers (targets) in the test prefix, serially, as
# the one set-up step of the `wine` fixture. PROXY_FILES are proxy/stub DLLs by path (the
# other bitness's build), each registered in its own bitness's view.
function(opc_register_components)
    cmake_parse_arguments(ARG "" "" "PROXIES;PROXY_FILES;SERVERS" ${ARGN})
    set(args)
    foreach(target ${ARG_PROXIES})
        list(APPEND args --proxy $<TARGET_FILE:${target}>)
    endforeach()
    foreach(file ${ARG_PROXY_FILES})
        list(APPEND args --proxy ${file})
    endforeach()
    foreach(target ${ARG_SERVERS})
        list(APPEND args --server $<TARGET_FILE:${target}>)
    endforeach()
    add_test(NAME wine_register
             COMMAND env OPC_WINEPREFIX=${OPC_WINEPREFIX} OPC_DISPLAY_FILE=${OPC_XVFB_STATE}.display
                     OPC_DESKTOP_KEEPER=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/desktop_keeper.exe
                     ${CMAKE_SOURCE_DIR}/scripts/wine-register.sh ${args})
    set_tests_properties(wine_register PROPERTIES FIXTURES_SETUP wine FIXTURES_REQUIRED display
                         TIMEOUT 300)
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
