# Warnings and sanitizers shared by every target of the project.
function(qorkel_apply_options target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE -Wall -Wextra)
        if(QORKEL_SANITIZE)
            target_compile_options(${target} PRIVATE -fsanitize=${QORKEL_SANITIZE}
                -fno-omit-frame-pointer -fno-sanitize-recover=all)
            target_link_options(${target} PRIVATE -fsanitize=${QORKEL_SANITIZE})
        endif()
    endif()
endfunction()

# Installs a program into bin/, beside the library's prefix: on POSIX it finds the library in
# the prefix's own library folder, wherever the prefix is, without LD_LIBRARY_PATH.
function(qorkel_install_program target)
    include(GNUInstallDirs)
    if(NOT WIN32)
        file(RELATIVE_PATH bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR}
             /prefix/${CMAKE_INSTALL_LIBDIR})
        set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
    endif()
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
