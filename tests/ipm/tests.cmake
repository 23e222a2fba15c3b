# The install story: a host built against the installed package links and reports.
find_program(QORKEL_BASH bash)
if(QORKEL_BASH AND NOT WIN32)
    add_test(NAME ipm_install
        COMMAND ${QORKEL_BASH} ${PROJECT_SOURCE_DIR}/tests/install/run.sh ${PROJECT_BINARY_DIR}
                "${QORKEL_SANITIZE}")
endif()

# The monitor's report reading and printing are tested in-process; the demo job against the
# monitor runs as the built programs talk to each other, on loopback.
if(NOT (QORKEL_BUILD_TOOLS AND EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt))
    # Without the tools there is no monitor to test.
    set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/ipm/ipm_MonitorViewTest.cpp
        PROPERTIES HEADER_FILE_ONLY ON)
else()
    target_sources(test_ipm PRIVATE ${PROJECT_SOURCE_DIR}/tools/mon_Command.cpp
                                    ${PROJECT_SOURCE_DIR}/tools/mon_ReportStream.cpp
                                    ${PROJECT_SOURCE_DIR}/tools/mon_ReportPrinter.cpp)
    target_include_directories(test_ipm PRIVATE ${PROJECT_SOURCE_DIR}/tools)
    if(QORKEL_BASH AND NOT WIN32)
        add_test(NAME ipm_tools_demo
            COMMAND ${QORKEL_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/ipm/tools_demo_test.sh
                    $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job>)
        set_tests_properties(ipm_tools_demo PROPERTIES TIMEOUT 120)
    endif()
endif()

# The direct transport aimed at a name that a silent name server never resolves.
if(QORKEL_BASH AND NOT WIN32)
    add_test(NAME ipm_silent_name_server
        COMMAND ${QORKEL_BASH} ${PROJECT_SOURCE_DIR}/tests/csp/silent_name_server.sh
                $<TARGET_FILE:test_ipm> "DirectDelivery.AListenerNameThatNoServerResolves*")
    set_tests_properties(ipm_silent_name_server PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()
