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
