# Checks that only make sense for a Windows build made on this machine.
if(WIN32 AND CMAKE_CROSSCOMPILING)
    string(REGEX REPLACE "objdump$" "c++filt" QORKEL_CXXFILT "${CMAKE_OBJDUMP}")
    add_test(NAME windows_dll_tables
        COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows/check-dll-tables
            ${CMAKE_OBJDUMP} ${QORKEL_CXXFILT} $<TARGET_FILE:QORKelCommunications>)
endif()
