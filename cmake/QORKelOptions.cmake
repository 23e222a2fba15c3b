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
