# The monitor: its parts tested in-process (test_monitor, built from the monitor's sources
# against the static library), the program as built with the demo job reporting to it.
include(${PROJECT_SOURCE_DIR}/monitor/monitor_sources.cmake)
target_sources(test_monitor PRIVATE ${QORKEL_MONITOR_SOURCES})
qorkel_monitor_features(test_monitor)

find_program(QORKEL_BASH bash)
if(QORKEL_BASH AND NOT WIN32)
    set(monitor_dir ${CMAKE_CURRENT_LIST_DIR})
    add_test(NAME monitor_restart
        COMMAND ${QORKEL_BASH} ${monitor_dir}/monitor_restart_test.sh
                $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job>)
    add_test(NAME monitor_attack
        COMMAND ${QORKEL_BASH} ${monitor_dir}/monitor_attack_test.sh
                $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job> "${QORKEL_SANITIZE}")
    add_test(NAME monitor_board
        COMMAND ${QORKEL_BASH} ${monitor_dir}/monitor_board_test.sh
                $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job>)
    add_test(NAME monitor_hooks
        COMMAND ${QORKEL_BASH} ${monitor_dir}/monitor_hooks_test.sh
                $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job>)
    set_tests_properties(monitor_restart monitor_attack monitor_board monitor_hooks
                         PROPERTIES TIMEOUT 300)
    if(SQLite3_FOUND)
        add_test(NAME monitor_history
            COMMAND ${QORKEL_BASH} ${monitor_dir}/monitor_history_test.sh
                    $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job>)
        set_tests_properties(monitor_history PROPERTIES TIMEOUT 300)
    endif()
    # The page in a real browser; Debian's Python, which has Selenium (python3-selenium).
    find_program(QORKEL_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
    if(TARGET qorkel_monitor_web AND QORKEL_SYSTEM_PYTHON)
        add_test(NAME monitor_web
            COMMAND ${QORKEL_SYSTEM_PYTHON} ${monitor_dir}/monitor_web_test.py
                    $<TARGET_FILE:ipm_monitor> $<TARGET_FILE:ipm_job>)
        # Skipped (77) only when Chromium itself cannot start on the machine.
        set_tests_properties(monitor_web PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
    endif()
endif()
