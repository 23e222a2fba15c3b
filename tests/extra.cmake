# Checks that only make sense for a Windows build made on this machine.
if(WIN32 AND CMAKE_CROSSCOMPILING)
    string(REGEX REPLACE "objdump$" "c++filt" QORKEL_CXXFILT "${CMAKE_OBJDUMP}")
    add_test(NAME windows_dll_tables
        COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows/check-dll-tables
            ${CMAKE_OBJDUMP} ${QORKEL_CXXFILT} $<TARGET_FILE:QORKelCommunications>)

    # The install test's host job, linked against the DLL's import library as a Windows host
    # is, and placed beside the DLL so that the loader finds it.
    add_executable(windows_dll_host install/main.cpp install/report_from_c.c)
    target_link_libraries(windows_dll_host PRIVATE QORKelCommunications)
    # The umbrella header declares the parser service with Expat's types.
    target_include_directories(windows_dll_host PRIVATE ${EXPAT_INCLUDE_DIRS})
    set_target_properties(windows_dll_host PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY $<TARGET_FILE_DIR:QORKelCommunications>)
    qorkel_apply_options(windows_dll_host)
    file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/dll_host)
    add_test(NAME windows_dll_host
        COMMAND windows_dll_host -job dllhost -message on -indir ${CMAKE_CURRENT_BINARY_DIR}/dll_host)
endif()

# The demo job against the monitor, direct and over the XMPP server, as the Linux build runs
# them: the same scripts, given wrappers that start the Windows programs through the emulator.
if(WIN32 AND CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR AND QORKEL_BUILD_TOOLS)
    # The examples, a host that forgets to stop reporting and one that unloads the library
    # under its delivery thread, built against the DLL as a Windows host's build would be.
    add_executable(c_example ${PROJECT_SOURCE_DIR}/examples/example.c)
    add_executable(cpp_example ${PROJECT_SOURCE_DIR}/examples/example.cpp)
    add_executable(forgetful_host ${CMAKE_CURRENT_SOURCE_DIR}/examples/forgetful_host.c)
    foreach(host c_example cpp_example forgetful_host)
        target_link_libraries(${host} PRIVATE QORKelCommunications)
        # The umbrella header declares the parser service with Expat's types.
        target_include_directories(${host} PRIVATE ${EXPAT_INCLUDE_DIRS})
        qorkel_apply_options(${host})
    endforeach()
    # Loads the DLL itself, so it links nothing of the library.
    add_executable(unloading_host ${CMAKE_CURRENT_SOURCE_DIR}/windows/unloading_host.c)
    qorkel_apply_options(unloading_host)

    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " QORKEL_EMULATOR_COMMAND)
    # The programs find the DLL through Wine's search path, as the drive Z: that Wine maps to /.
    string(REPLACE "/" "\\" dll_directory "Z:${PROJECT_BINARY_DIR}")
    foreach(tool ipm_monitor ipm_job c_example cpp_example forgetful_host unloading_host)
        file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/emulated/${tool}
            CONTENT "#!/bin/sh\nWINEPATH='${dll_directory}' exec ${QORKEL_EMULATOR_COMMAND} \"$<TARGET_FILE:${tool}>\" \"$@\"\n"
            FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                WORLD_READ WORLD_EXECUTE)
    endforeach()
    set(emulated ${CMAKE_CURRENT_BINARY_DIR}/emulated)
    add_test(NAME windows_job_demo
        COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/job/job_demo_test.sh
            ${emulated}/ipm_monitor ${emulated}/ipm_job)
    set_tests_properties(windows_job_demo PROPERTIES TIMEOUT 240)
    add_test(NAME windows_examples_c
        COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/examples/run_example.sh
            ${emulated}/ipm_monitor ${emulated}/c_example)
    add_test(NAME windows_examples_cpp
        COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/examples/run_example.sh
            ${emulated}/ipm_monitor ${emulated}/cpp_example)
    # A DLL cannot wait for its thread at exit: the message file is complete, delivery is not.
    add_test(NAME windows_forgotten_stop
        COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/examples/forgetful_host.sh
            ${emulated}/ipm_monitor ${emulated}/forgetful_host records)
    file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/unloading_host)
    add_test(NAME windows_unloading_host
        COMMAND ${emulated}/unloading_host -job unloaded -message on
            -indir ${CMAKE_CURRENT_BINARY_DIR}/unloading_host -listener_name 127.0.0.1
            -direct_port 1)
    set_tests_properties(windows_examples_c windows_examples_cpp windows_forgotten_stop
        windows_unloading_host PROPERTIES TIMEOUT 300)
    if(TEST xmpp_server_start)
        add_test(NAME windows_xmpp_job_demo
            COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/job/job_jabber_test.sh
                ${emulated}/ipm_monitor ${emulated}/ipm_job)
        set_tests_properties(windows_xmpp_job_demo PROPERTIES
            FIXTURES_REQUIRED xmpp_server RESOURCE_LOCK xmpp_test_server TIMEOUT 300
            ENVIRONMENT "${QORKEL_XMPP_TEST_ENVIRONMENT}")
    endif()
    # The server as Debian ships it: TLS through SChannel, SCRAM through BCrypt.
    if(TEST xmpp_shipped_server_start)
        add_test(NAME windows_xmpp_shipped_job_demo
            COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/job/job_jabber_test.sh
                ${emulated}/ipm_monitor ${emulated}/ipm_job)
        set_tests_properties(windows_xmpp_shipped_job_demo PROPERTIES
            FIXTURES_REQUIRED xmpp_shipped_server RESOURCE_LOCK xmpp_shipped_server TIMEOUT 600
            ENVIRONMENT "${QORKEL_XMPP_SHIPPED_ENVIRONMENT}")
    endif()
endif()
