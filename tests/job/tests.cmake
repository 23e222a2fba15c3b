# The demo job as built, reporting to the monitor as built.
find_program(QORKEL_BASH bash)
if(QORKEL_BASH AND NOT WIN32)
    add_test(NAME job_demo
        COMMAND ${QORKEL_BASH} ${CMAKE_CURRENT_LIST_DIR}/job_demo_test.sh
                $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job>)
    set_tests_properties(job_demo PROPERTIES TIMEOUT 300)
endif()
