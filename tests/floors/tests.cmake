# The floors the module targets keep: a source of one module that includes a header of a module
# above it, or the socket API outside csp, must not compile, and one that includes a header it
# may reach must. Each case compiles a one-line source with the include paths of the module's
# own target; a refusal passes only if it names the header as not found.
#   view (target whose include paths the source gets)   header   expected
set(cases
    "qorkel_base|cow/cow_List.h|refused"
    "qorkel_base|xml/xml_Text.h|refused"
    "qorkel_cow_headers|csp/csp_TcpSocket.h|refused"
    "qorkel_xml|jcl/jcl_Connection.h|refused"
    "qorkel_csp|jcl/jcl_Connection.h|refused"
    "qorkel_csp|ipm/ipm_MessageTransmit.h|refused"
    "qorkel_csp|platform/platform_Sockets.h|compiles"
    "qorkel_jcl|ipm/ipm_MessageTransmit.h|refused"
    "qorkel_jcl|platform/platform_Sockets.h|refused"
    "qorkel_jcl|csp/csp_TcpSocket.h|compiles"
    "qorkel_ipm|platform/platform_Sockets.h|refused"
    "qorkel_ipm|jcl/jcl_Connection.h|compiles")
# The monitor and the demo job see what a host sees.
if(QORKEL_BUILD_TOOLS)
    list(APPEND cases "ipm_monitor|platform/platform_Sockets.h|refused"
         "ipm_monitor|ipm/ipm_MessageTransmit.h|compiles" "ipm_job|platform/platform_Sockets.h|refused")
endif()

foreach(case ${cases})
    string(REPLACE "|" ";" fields "${case}")
    list(GET fields 0 view)
    list(GET fields 1 header)
    list(GET fields 2 expected)
    # A header that no longer exists would be refused for the wrong reason.
    if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${header})
        message(FATAL_ERROR "tests/floors: ${header} does not exist")
    endif()
    string(REGEX REPLACE "[/.]" "_" stem "${header}")
    set(name floor_${view}_${stem})
    set(source ${CMAKE_CURRENT_BINARY_DIR}/floors/${name}.cpp)
    file(WRITE ${source}.new "#include \"${header}\"\n")
    configure_file(${source}.new ${source} COPYONLY)
    add_library(${name} OBJECT EXCLUDE_FROM_ALL ${source})
    target_include_directories(${name} PRIVATE $<TARGET_PROPERTY:${view},INCLUDE_DIRECTORIES>)
    target_compile_definitions(${name} PRIVATE $<TARGET_PROPERTY:${view},COMPILE_DEFINITIONS>)
    target_compile_features(${name} PRIVATE cxx_std_17)
    add_test(NAME floors.${view}.${header}
             COMMAND ${CMAKE_COMMAND} --build ${PROJECT_BINARY_DIR} --target ${name})
    # Builds in the one build tree, one at a time.
    set_tests_properties(floors.${view}.${header} PROPERTIES RESOURCE_LOCK build_tree)
    if(expected STREQUAL "refused")
        string(REPLACE "." "\\." pattern "${header}")
        set_tests_properties(floors.${view}.${header} PROPERTIES PASS_REGULAR_EXPRESSION
            "${pattern}'?:? (No such file or directory|file not found)")
    endif()
endforeach()
