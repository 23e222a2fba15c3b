# The install story: a host built against the installed package links and reports.
find_program(QORKEL_BASH bash)
if(QORKEL_BASH AND NOT WIN32)
    add_test(NAME ipm_install
        COMMAND ${QORKEL_BASH} ${PROJECT_SOURCE_DIR}/tests/install/run.sh ${PROJECT_BINARY_DIR}
                "${QORKEL_SANITIZE}")
endif()
