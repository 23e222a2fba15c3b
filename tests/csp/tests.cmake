# Lookups against a name server that never answers, in namespaces of their own (root only).
find_program(QORKEL_BASH bash)
if(QORKEL_BASH AND NOT WIN32 AND TARGET test_csp)
    add_test(NAME csp_silent_name_server
        COMMAND ${QORKEL_BASH} ${CMAKE_CURRENT_LIST_DIR}/silent_name_server.sh
                $<TARGET_FILE:test_csp> "BoundedLookup.*")
    set_tests_properties(csp_silent_name_server PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()
