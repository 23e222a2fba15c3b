# One target per module, on floors: base and the platform's services at the bottom, cow and
# xml on base, the socket API only under csp, then csp, jcl and ipm; the monitor and the demo
# job above them all, through the shared library. A module's headers are reachable only
# through an include root of its own, made in the build tree, and a module gets the roots of
# the modules it links, PRIVATE: a source that includes a header of a module it does not link
# (one above it, or the socket API anywhere but in csp) does not compile.
#
# Every module is compiled once, as an object library, and linked twice: into the shared
# library for hosts and into a static library through which the tests reach the internals
# that the shared library hides.

set(QORKEL_MODULE_ROOTS ${PROJECT_BINARY_DIR}/modules)

# The include root of a module's target: <roots>/<target>/<folder> stands for the source
# folder, or, given headers, for those headers of it alone.
function(qorkel_module_root target folder)
    set(root ${QORKEL_MODULE_ROOTS}/${target})
    if(ARGN)
        file(MAKE_DIRECTORY ${root}/${folder})
        foreach(header ${ARGN})
            file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder}/${header} ${root}/${folder}/${header}
                 SYMBOLIC COPY_ON_ERROR)
        endforeach()
    else()
        get_filename_component(parent ${root}/${folder} DIRECTORY)
        file(MAKE_DIRECTORY ${parent})
        file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC COPY_ON_ERROR)
    endif()
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
        target_include_directories(${target} INTERFACE $<BUILD_INTERFACE:${root}>)
    else()
        target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${root}>)
    endif()
endfunction()

# An object library of the module's sources, built as the library's own code.
function(qorkel_module target)
    add_library(${target} OBJECT ${ARGN})
    set_target_properties(${target} PROPERTIES
        POSITION_INDEPENDENT_CODE ON
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    target_compile_definitions(${target} PRIVATE QORKEL_BUILDING)
    qorkel_apply_options(${target})
endfunction()

if(WIN32)
    set(os windows)
else()
    set(os posix)
endif()

# base: the host's base services, Expat included (its header includes <expat.h>).
file(GLOB sources CONFIGURE_DEPENDS base/*.cpp)
qorkel_module(qorkel_base ${sources})
qorkel_module_root(qorkel_base base)
target_compile_definitions(qorkel_base PRIVATE ${QORKEL_EXPAT_DEFINITIONS})
target_link_libraries(qorkel_base PUBLIC EXPAT::EXPAT PRIVATE Threads::Threads)

# platform: the one thread and the message file's writes, where POSIX and Windows differ.
file(GLOB sources CONFIGURE_DEPENDS platform/${os}/*Thread.cpp platform/${os}/*Files.cpp)
qorkel_module(qorkel_platform ${sources})
qorkel_module_root(qorkel_platform platform platform_Thread.h platform_Files.h)

# The socket API (Windows Sockets, or the POSIX stand-in): for csp alone.
file(GLOB sources CONFIGURE_DEPENDS platform/${os}/*.cpp)
list(FILTER sources EXCLUDE REGEX "(Thread|Files)\\.cpp$")
qorkel_module(qorkel_platform_sockets ${sources})
qorkel_module_root(qorkel_platform_sockets platform platform_Sockets.h platform_PosixSockets.h
    platform_PosixSupport.h platform_WindowsSockets.h)
target_link_libraries(qorkel_platform_sockets PRIVATE qorkel_base)
if(WIN32)
    target_link_libraries(qorkel_platform_sockets INTERFACE ws2_32)
endif()

# cow: the list template, headers only. Its headers are compiled once on their own, with the
# roots it links and no more, so that they keep to their floor too.
add_library(qorkel_cow INTERFACE)
qorkel_module_root(qorkel_cow cow)
target_link_libraries(qorkel_cow INTERFACE qorkel_base)
file(GLOB headers CONFIGURE_DEPENDS cow/*.h)
set(check ${PROJECT_BINARY_DIR}/generated/qorkel_cow_headers.cpp)
set(text "")
foreach(header ${headers})
    get_filename_component(name ${header} NAME)
    string(APPEND text "#include \"cow/${name}\"\n")
endforeach()
file(WRITE ${check}.new "${text}")
configure_file(${check}.new ${check} COPYONLY)
qorkel_module(qorkel_cow_headers ${check})
target_link_libraries(qorkel_cow_headers PRIVATE qorkel_cow)

# xml: XML text below the client and the reporting.
file(GLOB sources CONFIGURE_DEPENDS xml/*.cpp)
qorkel_module(qorkel_xml ${sources})
qorkel_module_root(qorkel_xml xml)
target_link_libraries(qorkel_xml PRIVATE qorkel_base)

# csp: addresses, sockets, the network exception; the only user of the socket API.
file(GLOB sources CONFIGURE_DEPENDS csp/*.cpp csp/impl/*.cpp)
qorkel_module(qorkel_csp ${sources})
qorkel_module_root(qorkel_csp csp)
target_link_libraries(qorkel_csp PRIVATE qorkel_base qorkel_cow qorkel_platform_sockets)

# jcl: the XMPP client. TLS and the log-in's cryptography come from the platform: SChannel
# and BCrypt on Windows, OpenSSL elsewhere.
file(GLOB sources CONFIGURE_DEPENDS jcl/*.cpp jcl/${os}/*.cpp)
qorkel_module(qorkel_jcl ${sources})
qorkel_module_root(qorkel_jcl jcl)
target_link_libraries(qorkel_jcl PRIVATE qorkel_base qorkel_cow qorkel_xml qorkel_csp)
if(WIN32)
    set(QORKEL_CRYPTO_LIBRARIES secur32 crypt32 bcrypt)
else()
    find_package(OpenSSL 3.0 REQUIRED)
    set(QORKEL_CRYPTO_LIBRARIES OpenSSL::SSL OpenSSL::Crypto)
endif()
target_link_libraries(qorkel_jcl PRIVATE ${QORKEL_CRYPTO_LIBRARIES})

# ipm: reporting and the transports.
file(GLOB sources CONFIGURE_DEPENDS ipm/*.cpp)
qorkel_module(qorkel_ipm ${sources})
qorkel_module_root(qorkel_ipm ipm)
target_link_libraries(qorkel_ipm PRIVATE qorkel_base qorkel_cow qorkel_xml qorkel_platform
    qorkel_csp qorkel_jcl)

# The umbrella header, which includes every exported header.
add_library(qorkel_umbrella INTERFACE)
qorkel_module_root(qorkel_umbrella . QORKelCommunications.h)

set(QORKEL_MODULES qorkel_base qorkel_platform qorkel_platform_sockets qorkel_xml qorkel_csp
    qorkel_jcl qorkel_ipm)
# What a host sees: every module's headers but the socket API's.
set(QORKEL_HOST_INCLUDE_ROOTS)
foreach(module qorkel_umbrella qorkel_base qorkel_platform qorkel_cow qorkel_xml qorkel_csp
               qorkel_jcl qorkel_ipm)
    list(APPEND QORKEL_HOST_INCLUDE_ROOTS ${QORKEL_MODULE_ROOTS}/${module})
endforeach()
