# Installs the shared library, its headers (in their module folders), the Fortran module's
# source, a CMake package and a pkg-config file, so that a host can write
#   find_package(QORKelCommunications CONFIG REQUIRED)
#   target_link_libraries(host PRIVATE QORKelCommunications::QORKelCommunications)
# or, in C and Fortran, take its flags from pkg-config.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QORKEL_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/QORKelCommunications)
set(QORKEL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/QORKelCommunications)

# The installed headers include <expat.h>, so a host compiles against Expat too.
target_link_libraries(QORKelCommunications INTERFACE $<INSTALL_INTERFACE:EXPAT::EXPAT>)

install(TARGETS QORKelCommunications EXPORT QORKelCommunicationsTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

# Globbed, so that every module's later headers are installed without a change here. The
# socket API and the socket layer's calls on it stay inside: no installed header needs them.
foreach(folder base cow xml csp csp/impl jcl ipm)
    file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.h)
    list(FILTER headers EXCLUDE REGEX "/csp_(SocketOps|HostLookup)\\.h$")
    if(headers)
        install(FILES ${headers} DESTINATION ${QORKEL_INSTALL_INCLUDEDIR}/${folder})
    endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/platform/platform_Files.h
    ${PROJECT_SOURCE_DIR}/platform/platform_Thread.h
    DESTINATION ${QORKEL_INSTALL_INCLUDEDIR}/platform)
install(FILES ${PROJECT_SOURCE_DIR}/QORKelCommunications.h DESTINATION ${QORKEL_INSTALL_INCLUDEDIR})
# Fortran hosts compile the module's source with their own compiler, whose module files no
# other compiler reads.
install(FILES ${PROJECT_SOURCE_DIR}/ipm/ipm_reporting.f90 DESTINATION ${QORKEL_INSTALL_INCLUDEDIR}/ipm)

install(EXPORT QORKelCommunicationsTargets
    NAMESPACE QORKelCommunications::
    DESTINATION ${QORKEL_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QORKelCommunicationsConfig.cmake.in
    ${PROJECT_BINARY_DIR}/QORKelCommunicationsConfig.cmake
    INSTALL_DESTINATION ${QORKEL_INSTALL_CMAKEDIR}
    PATH_VARS QORKEL_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QORKelCommunicationsConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/QORKelCommunicationsConfig.cmake
    ${PROJECT_BINARY_DIR}/QORKelCommunicationsConfigVersion.cmake
    DESTINATION ${QORKEL_INSTALL_CMAKEDIR})

# The .pc file finds its prefix from its own location, so an install with
# `cmake --install --prefix` anywhere stays usable.
file(RELATIVE_PATH QORKEL_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" QORKEL_PC_TO_PREFIX "${QORKEL_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/QORKelCommunications.pc.in
    ${PROJECT_BINARY_DIR}/QORKelCommunications.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/QORKelCommunications.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
