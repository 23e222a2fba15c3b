# End-to-end tests against private XMPP servers (Prosody) on free ports of 127.0.0.1 with the
# virtual host "localhost"; the tests read the port from the fixture's state directory. Two
# servers: the legacy profile (plain streams, in-band registration, the old log-in) and the
# shipped profile (Debian's configuration file as shipped: TLS required, SASL, accounts made
# by an administrator). Each is a fixture: started before the tests that need it and stopped
# after them; the lock keeps a test that stops and restarts it from overlapping another that
# uses it.
find_program(QORKEL_BASH bash)
file(GLOB xmpp_e2e_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../e2e/*.cpp)
if(QORKEL_BASH AND xmpp_e2e_sources)
    add_executable(test_xmpp_e2e ${xmpp_e2e_sources})
    target_link_libraries(test_xmpp_e2e PRIVATE qorkel_static GTest::gtest GTest::gtest_main)
    target_include_directories(test_xmpp_e2e PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
    qorkel_apply_options(test_xmpp_e2e)

    set(xmpp_server_script ${PROJECT_SOURCE_DIR}/scripts/xmpp-test-server)
    set(xmpp_server_state ${PROJECT_BINARY_DIR}/xmpp-test-server)
    add_test(NAME xmpp_server_start
        COMMAND ${QORKEL_BASH} ${xmpp_server_script} start ${xmpp_server_state})
    add_test(NAME xmpp_server_stop
        COMMAND ${QORKEL_BASH} ${xmpp_server_script} stop ${xmpp_server_state})
    set_tests_properties(xmpp_server_start PROPERTIES
        FIXTURES_SETUP xmpp_server RESOURCE_LOCK xmpp_test_server)
    set_tests_properties(xmpp_server_stop PROPERTIES
        FIXTURES_CLEANUP xmpp_server RESOURCE_LOCK xmpp_test_server)

    set(xmpp_shipped_state ${PROJECT_BINARY_DIR}/xmpp-shipped-server)
    add_test(NAME xmpp_shipped_server_start
        COMMAND ${QORKEL_BASH} ${xmpp_server_script} start ${xmpp_shipped_state} shipped)
    add_test(NAME xmpp_shipped_server_stop
        COMMAND ${QORKEL_BASH} ${xmpp_server_script} stop ${xmpp_shipped_state})
    set_tests_properties(xmpp_shipped_server_start PROPERTIES
        FIXTURES_SETUP xmpp_shipped_server RESOURCE_LOCK xmpp_shipped_server)
    set_tests_properties(xmpp_shipped_server_stop PROPERTIES
        FIXTURES_CLEANUP xmpp_shipped_server RESOURCE_LOCK xmpp_shipped_server)

    # Tests that stop and restart the server find it through these.
    set(QORKEL_XMPP_TEST_ENVIRONMENT
        "QORKEL_XMPP_SERVER_SCRIPT=${xmpp_server_script}"
        "QORKEL_XMPP_SERVER_STATE=${xmpp_server_state}")
    set(QORKEL_XMPP_SHIPPED_ENVIRONMENT
        "QORKEL_XMPP_SERVER_SCRIPT=${xmpp_server_script}"
        "QORKEL_XMPP_SERVER_STATE=${xmpp_shipped_state}")
    add_test(NAME xmpp_e2e COMMAND test_xmpp_e2e --gtest_filter=-Shipped*)
    set_tests_properties(xmpp_e2e PROPERTIES
        FIXTURES_REQUIRED xmpp_server RESOURCE_LOCK xmpp_test_server
        ENVIRONMENT "${QORKEL_XMPP_TEST_ENVIRONMENT}" TIMEOUT 300)
    add_test(NAME xmpp_shipped_e2e COMMAND test_xmpp_e2e --gtest_filter=Shipped*)
    set_tests_properties(xmpp_shipped_e2e PROPERTIES
        FIXTURES_REQUIRED xmpp_shipped_server RESOURCE_LOCK xmpp_shipped_server
        ENVIRONMENT "${QORKEL_XMPP_SHIPPED_ENVIRONMENT}" TIMEOUT 300)
endif()

# The demo job against the monitor over the same server, both as built.
if(QORKEL_BASH AND NOT WIN32 AND TARGET test_xmpp_e2e AND QORKEL_BUILD_TOOLS)
    add_test(NAME xmpp_job_demo
        COMMAND ${QORKEL_BASH} ${CMAKE_CURRENT_LIST_DIR}/../job/job_jabber_test.sh
                $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job>)
    set_tests_properties(xmpp_job_demo PROPERTIES
        FIXTURES_REQUIRED xmpp_server RESOURCE_LOCK xmpp_test_server TIMEOUT 180
        ENVIRONMENT "${QORKEL_XMPP_TEST_ENVIRONMENT}")
    add_test(NAME xmpp_shipped_job_demo
        COMMAND ${QORKEL_BASH} ${CMAKE_CURRENT_LIST_DIR}/../job/job_jabber_test.sh
                $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job>)
    set_tests_properties(xmpp_shipped_job_demo PROPERTIES
        FIXTURES_REQUIRED xmpp_shipped_server RESOURCE_LOCK xmpp_shipped_server TIMEOUT 240
        ENVIRONMENT "${QORKEL_XMPP_SHIPPED_ENVIRONMENT}")
endif()
