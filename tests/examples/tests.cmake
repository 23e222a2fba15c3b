# The examples as a user builds them, against the installed package, run against the monitor;
# the README's C example as a newcomer builds it; a host that forgets to stop reporting.
find_program(QORKEL_BASH bash)
if(QORKEL_BASH AND NOT WIN32)
    set(examples_test ${QORKEL_BASH} ${CMAKE_CURRENT_LIST_DIR}/examples_test.sh
        ${PROJECT_BINARY_DIR} $<TARGET_FILE:ipm_monitor> "sanitize=${QORKEL_SANITIZE}")
    add_test(NAME examples
        COMMAND ${examples_test} examples direct c_example cpp_example fortran_example)
    add_test(NAME examples_readme COMMAND ${examples_test} readme)
    add_test(NAME examples_forgotten_stop COMMAND ${examples_test} forgotten-stop)
    add_test(NAME examples_fortran_helpers COMMAND ${examples_test} fortran-helpers)
    set_tests_properties(examples examples_readme examples_forgotten_stop examples_fortran_helpers
        PROPERTIES TIMEOUT 300)
    # Over Jabber as a user sets it up: the server as Debian ships it, TLS with a pinned
    # certificate, accounts made by an administrator.
    if(TEST xmpp_shipped_server_start)
        add_test(NAME examples_jabber COMMAND ${examples_test} examples jabber c_example)
        set_tests_properties(examples_jabber PROPERTIES
            FIXTURES_REQUIRED xmpp_shipped_server RESOURCE_LOCK xmpp_shipped_server TIMEOUT 300
            ENVIRONMENT "${QORKEL_XMPP_SHIPPED_ENVIRONMENT}")
    endif()
endif()
