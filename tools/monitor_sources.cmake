# The monitor's sources apart from its main and its board, shared by the program and by
# the tests and fuzzers that reach into it.
set(QORKEL_MONITOR_SOURCES
    mon_ChatReports.cpp mon_Command.cpp mon_CommandQueue.cpp mon_JabberListener.cpp mon_Job.cpp
    mon_JobConnection.cpp mon_JsonLog.cpp mon_MessageFile.cpp mon_Monitor.cpp mon_Options.cpp
    mon_Platform.cpp mon_Poller.cpp mon_ReportPrinter.cpp mon_ReportStream.cpp mon_Roster.cpp
    mon_Server.cpp mon_Text.cpp)
list(TRANSFORM QORKEL_MONITOR_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)

# JSON output: the header-only library, which is the same for every target; a cross build
# takes only its header, since its package points at the build machine's include directory.
if(CMAKE_CROSSCOMPILING)
    find_path(QORKEL_NLOHMANN_JSON_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
              NO_DEFAULT_PATH)
    if(NOT QORKEL_NLOHMANN_JSON_DIR)
        message(FATAL_ERROR "nlohmann/json.hpp not found (Debian: nlohmann-json3-dev)")
    endif()
    set(QORKEL_NLOHMANN_JSON_INCLUDE ${CMAKE_BINARY_DIR}/nlohmann-json-include)
    file(MAKE_DIRECTORY ${QORKEL_NLOHMANN_JSON_INCLUDE})
    file(CREATE_LINK ${QORKEL_NLOHMANN_JSON_DIR}/nlohmann ${QORKEL_NLOHMANN_JSON_INCLUDE}/nlohmann
         SYMBOLIC)
    if(NOT TARGET qorkel_nlohmann_json)
        add_library(qorkel_nlohmann_json INTERFACE)
        target_include_directories(qorkel_nlohmann_json SYSTEM INTERFACE
                                   ${QORKEL_NLOHMANN_JSON_INCLUDE})
    endif()
    set(QORKEL_JSON_LIBRARY qorkel_nlohmann_json)
else()
    find_package(nlohmann_json 3.2 REQUIRED)
    set(QORKEL_JSON_LIBRARY nlohmann_json::nlohmann_json)
endif()

# The board needs curses with wide characters; without it (Windows) the plain log serves.
if(NOT WIN32)
    set(CURSES_NEED_NCURSES TRUE)
    set(CURSES_NEED_WIDE TRUE)
    find_package(Curses)
endif()
