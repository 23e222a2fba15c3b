# Debian backports Expat's reparse deferral without raising the version number,
# so the only reliable test is whether the function links. The answer is not kept between
# configures: an upgraded Expat must not be built against a stale answer.
include(CheckSymbolExists)
unset(QORKEL_HAVE_REPARSE_DEFERRAL CACHE)
set(CMAKE_REQUIRED_INCLUDES ${EXPAT_INCLUDE_DIRS})
set(CMAKE_REQUIRED_LIBRARIES ${EXPAT_LIBRARIES})
check_symbol_exists(XML_SetReparseDeferralEnabled "expat.h" QORKEL_HAVE_REPARSE_DEFERRAL)
unset(CMAKE_REQUIRED_INCLUDES)
unset(CMAKE_REQUIRED_LIBRARIES)
set(QORKEL_EXPAT_DEFINITIONS "")
if(QORKEL_HAVE_REPARSE_DEFERRAL)
    list(APPEND QORKEL_EXPAT_DEFINITIONS QORKEL_HAVE_REPARSE_DEFERRAL=1)
endif()
