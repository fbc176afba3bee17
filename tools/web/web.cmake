# `oxl web` (included by tools/CMakeLists.txt): an HTTP server in the tool (Debian's cpp-httplib)
# with a single page whose files are embedded in the binary, so the page works without network
# access and without installed files.

pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET GLOBAL cpp-httplib)  # bench_web too

set(OXL_WEB_ASSETS
    ${CMAKE_CURRENT_LIST_DIR}/page/index.html
    ${CMAKE_CURRENT_LIST_DIR}/page/app.js
    ${CMAKE_CURRENT_LIST_DIR}/page/app.css
    ${CMAKE_CURRENT_LIST_DIR}/vendor/uplot/uPlot.iife.min.js
    ${CMAKE_CURRENT_LIST_DIR}/vendor/uplot/uPlot.min.css
    ${CMAKE_CURRENT_LIST_DIR}/vendor/uplot/LICENSE)
set(OXL_WEB_ASSETS_CPP ${CMAKE_CURRENT_BINARY_DIR}/web_assets.cpp)
add_custom_command(OUTPUT ${OXL_WEB_ASSETS_CPP}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${OXL_WEB_ASSETS_CPP} "-DFILES=${OXL_WEB_ASSETS}"
            -P ${CMAKE_CURRENT_LIST_DIR}/embed_assets.cmake
    DEPENDS ${OXL_WEB_ASSETS} ${CMAKE_CURRENT_LIST_DIR}/embed_assets.cmake
    COMMENT "Embedding the web page in oxl"
    VERBATIM)

target_sources(oxl PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/web_command.cpp
    ${CMAKE_CURRENT_LIST_DIR}/web_server.cpp
    ${CMAKE_CURRENT_LIST_DIR}/request_guard.cpp
    ${OXL_WEB_ASSETS_CPP})
target_include_directories(oxl PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(oxl PRIVATE OXL_TOOL_WEB=1)
target_link_libraries(oxl PRIVATE PkgConfig::CPP_HTTPLIB)
