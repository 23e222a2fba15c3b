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
if(WIN32 AND CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR AND QORKEL_BUILD_TOOLS
   AND EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " QORKEL_EMULATOR_COMMAND)
    # The tools find the DLL through Wine's search path, as the drive Z: that Wine maps to /.
    string(REPLACE "/" "\\" dll_directory "Z:${PROJECT_BINARY_DIR}")
    foreach(tool ipm_monitor ipm_job)
        file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/emulated/${tool}
            CONTENT "#!/bin/sh\nWINEPATH='${dll_directory}' exec ${QORKEL_EMULATOR_COMMAND} \"$<TARGET_FILE:${tool}>\" \"$@\"\n"
            FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                WORLD_READ WORLD_EXECUTE)
    endforeach()
    set(emulated ${CMAKE_CURRENT_BINARY_DIR}/emulated)
    add_test(NAME windows_tools_demo
        COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/tools_demo_test.sh
            ${emulated}/ipm_monitor ${emulated}/ipm_job)
    set_tests_properties(windows_tools_demo PROPERTIES TIMEOUT 240)
    if(TEST xmpp_server_start)
        add_test(NAME windows_xmpp_tools_demo
            COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/tools_jabber_test.sh
                ${emulated}/ipm_monitor ${emulated}/ipm_job)
        set_tests_properties(windows_xmpp_tools_demo PROPERTIES
            FIXTURES_REQUIRED xmpp_server RESOURCE_LOCK xmpp_port_5222 TIMEOUT 300)
    endif()
endif()
