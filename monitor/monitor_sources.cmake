# The monitor's sources apart from its main and its board, shared by the program and by
# the tests and fuzzers that reach into it.
set(QORKEL_MONITOR_SOURCES
    mon_ChatReports.cpp mon_Clock.cpp mon_Command.cpp mon_CommandQueue.cpp mon_Departures.cpp
    mon_Hooks.cpp
    mon_JabberListener.cpp mon_Job.cpp mon_JobConnection.cpp mon_JsonLog.cpp mon_MessageFile.cpp
    mon_Monitor.cpp mon_Options.cpp mon_Platform.cpp mon_Progress.cpp
    mon_ReportPrinter.cpp mon_ReportStream.cpp mon_Roster.cpp mon_Series.cpp mon_Server.cpp
    mon_Text.cpp)
list(TRANSFORM QORKEL_MONITOR_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
set(QORKEL_MONITOR_DIR ${CMAKE_CURRENT_LIST_DIR})
# The monitor's headers, for the targets built from its sources.
if(NOT TARGET qorkel_monitor_headers)
    add_library(qorkel_monitor_headers INTERFACE)
    qorkel_module_root(qorkel_monitor_headers monitor)
endif()

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

# History (SQLite) and the web page (cpp-httplib, with Chart.js built in) where the build
# finds them; a monitor built without them says so when asked for them.
find_package(SQLite3)
if(NOT WIN32)
    find_package(PkgConfig)
    if(PKG_CONFIG_FOUND)
        pkg_check_modules(QORKEL_HTTPLIB IMPORTED_TARGET cpp-httplib)
    endif()
    find_file(QORKEL_CHART_JS chart.min.js PATHS /usr/share/javascript/chart.js NO_DEFAULT_PATH
              NO_CMAKE_FIND_ROOT_PATH)
endif()
if(QORKEL_HTTPLIB_FOUND AND QORKEL_CHART_JS AND NOT TARGET qorkel_monitor_web)
    set(web ${QORKEL_MONITOR_DIR}/web)
    set(assets ${CMAKE_BINARY_DIR}/generated/mon_WebAssets.cpp)
    add_custom_command(OUTPUT ${assets}
        COMMAND ${CMAKE_COMMAND} -DOUTPUT=${assets} -DHEADER=monitor/mon_WebAssets.h
                -DCLASS=mon_WebAssets "-DFUNCTIONS=Page\;Script\;Style\;ChartLibrary"
                "-DFILES=${web}/index.html\;${web}/app.js\;${web}/app.css\;${QORKEL_CHART_JS}"
                -P ${PROJECT_SOURCE_DIR}/cmake/QORKelEmbed.cmake
        DEPENDS ${web}/index.html ${web}/app.js ${web}/app.css ${QORKEL_CHART_JS}
                ${PROJECT_SOURCE_DIR}/cmake/QORKelEmbed.cmake
        COMMENT "Embedding the monitor's web page")
    add_library(qorkel_monitor_web STATIC ${assets} ${QORKEL_MONITOR_DIR}/mon_WebServer.cpp)
    # The library's headers as a host sees them; the program that takes the page links the
    # library itself.
    target_include_directories(qorkel_monitor_web PUBLIC ${QORKEL_HOST_INCLUDE_ROOTS}
        $<TARGET_PROPERTY:EXPAT::EXPAT,INTERFACE_INCLUDE_DIRECTORIES>)
    target_link_libraries(qorkel_monitor_web PUBLIC PkgConfig::QORKEL_HTTPLIB ${QORKEL_JSON_LIBRARY}
                          qorkel_monitor_headers)
    target_compile_definitions(qorkel_monitor_web PUBLIC QORKEL_MONITOR_WEB)
    qorkel_apply_options(qorkel_monitor_web)
endif()

# What every target built from the monitor's sources takes besides them.
function(qorkel_monitor_features target)
    target_link_libraries(${target} PRIVATE ${QORKEL_JSON_LIBRARY} qorkel_monitor_headers)
    if(SQLite3_FOUND)
        target_sources(${target} PRIVATE ${QORKEL_MONITOR_DIR}/mon_History.cpp
                       ${QORKEL_MONITOR_DIR}/mon_HistoryReplay.cpp)
        target_link_libraries(${target} PRIVATE SQLite::SQLite3)
        target_compile_definitions(${target} PRIVATE QORKEL_MONITOR_HISTORY)
    endif()
    if(TARGET qorkel_monitor_web)
        target_link_libraries(${target} PRIVATE qorkel_monitor_web)
    endif()
endfunction()
