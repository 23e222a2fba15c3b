# The monitor and the demo job: their parts tested in-process (test_tools, built from the
# monitor's sources against the static library), the programs as built against each other.
include(${PROJECT_SOURCE_DIR}/tools/monitor_sources.cmake)
target_sources(test_tools PRIVATE ${QORKEL_MONITOR_SOURCES})
target_include_directories(test_tools PRIVATE ${PROJECT_SOURCE_DIR}/tools)
qorkel_monitor_features(test_tools)
if(WIN32)
    target_link_libraries(test_tools PRIVATE ws2_32)
endif()

find_program(QORKEL_BASH bash)
if(QORKEL_BASH AND NOT WIN32)
    set(tools_dir ${CMAKE_CURRENT_LIST_DIR})
    add_test(NAME tools_demo
        COMMAND ${QORKEL_BASH} ${tools_dir}/tools_demo_test.sh
                $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job>)
    add_test(NAME tools_restart
        COMMAND ${QORKEL_BASH} ${tools_dir}/tools_restart_test.sh
                $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job>)
    add_test(NAME tools_attack
        COMMAND ${QORKEL_BASH} ${tools_dir}/tools_attack_test.sh
                $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job> "${QORKEL_SANITIZE}")
    add_test(NAME tools_board
        COMMAND ${QORKEL_BASH} ${tools_dir}/tools_board_test.sh
                $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job>)
    add_test(NAME tools_hooks
        COMMAND ${QORKEL_BASH} ${tools_dir}/tools_hooks_test.sh
                $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job>)
    set_tests_properties(tools_demo tools_restart tools_attack tools_board tools_hooks
                         PROPERTIES TIMEOUT 300)
    if(SQLite3_FOUND)
        add_test(NAME tools_history
            COMMAND ${QORKEL_BASH} ${tools_dir}/tools_history_test.sh
                    $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job>)
        set_tests_properties(tools_history PROPERTIES TIMEOUT 300)
    endif()
    # The page in a real browser; Debian's Python, which has Selenium (python3-selenium).
    find_program(QORKEL_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
    if(TARGET qorkel_monitor_web AND QORKEL_SYSTEM_PYTHON)
        add_test(NAME tools_web
            COMMAND ${QORKEL_SYSTEM_PYTHON} ${tools_dir}/tools_web_test.py
                    $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job>)
        # Skipped (77) only when Chromium itself cannot start on the machine.
        set_tests_properties(tools_web PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
    endif()
endif()
