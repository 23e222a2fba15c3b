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
