# The install story: a host built against the installed package links and reports.
find_program(QORKEL_BASH bash)
if(QORKEL_BASH AND NOT WIN32)
    add_test(NAME ipm_install
        COMMAND ${QORKEL_BASH} ${PROJECT_SOURCE_DIR}/tests/install/run.sh ${PROJECT_BINARY_DIR}
                "${QORKEL_SANITIZE}")
endif()

# The direct transport aimed at a name that a silent name server never resolves.
if(QORKEL_BASH AND NOT WIN32)
    add_test(NAME ipm_silent_name_server
        COMMAND ${QORKEL_BASH} ${PROJECT_SOURCE_DIR}/tests/csp/silent_name_server.sh
                $<TARGET_FILE:test_ipm> "DirectDelivery.AListenerNameThatNoServerResolves*")
    set_tests_properties(ipm_silent_name_server PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()

# A host that forks or leaves by exit() while it reports, built against the shared library as
# a host is. CI runs the script with a repeat count of 100 (see .ci/run).
if(QORKEL_BASH AND NOT WIN32)
    add_executable(ipm_fork_exit_host ${CMAKE_CURRENT_LIST_DIR}/fork_exit_host.c)
    target_link_libraries(ipm_fork_exit_host PRIVATE QORKelCommunications Threads::Threads)
    qorkel_apply_options(ipm_fork_exit_host)
    add_test(NAME ipm_fork_exit
        COMMAND ${QORKEL_BASH} ${CMAKE_CURRENT_LIST_DIR}/fork_exit.sh
                $<TARGET_FILE:ipm_fork_exit_host> 3)
    set_tests_properties(ipm_fork_exit PROPERTIES TIMEOUT 600)
endif()
