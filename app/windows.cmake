# The installer's shell (Windows only): start-up, the main dialog and its install sequence as a library
# the tests link, and OrvaneSetup.exe over it.
if(NOT ORVANE_SERVICE_ADDRESS MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "ORVANE_SERVICE_ADDRESS must be a dotted IPv4 address, got '${ORVANE_SERVICE_ADDRESS}'")
endif()

add_library(orvane_app STATIC ${CMAKE_CURRENT_LIST_DIR}/init_process.cpp ${CMAKE_CURRENT_LIST_DIR}/ui_texts.cpp
                              ${CMAKE_CURRENT_LIST_DIR}/orvane_dlg.cpp ${CMAKE_CURRENT_LIST_DIR}/orvane_dlg_face.cpp
                              ${CMAKE_CURRENT_LIST_DIR}/process_entry.cpp
                              ${CMAKE_CURRENT_LIST_DIR}/single_instance.cpp)
target_compile_definitions(orvane_app PRIVATE ORVANE_SERVICE_ADDRESS="${ORVANE_SERVICE_ADDRESS}")
target_link_libraries(orvane_app PUBLIC orvane_core orvane_service orvane_install orvane_ui ws2_32)

add_executable(OrvaneSetup WIN32 ${CMAKE_CURRENT_LIST_DIR}/winmain.cpp)
target_link_libraries(OrvaneSetup PRIVATE orvane_app orvane_res)
# The shipped executable carries no symbol table (about 1 MB less to download).
if(CMAKE_BUILD_TYPE STREQUAL "Release" OR CMAKE_BUILD_TYPE STREQUAL "MinSizeRel")
    target_link_options(OrvaneSetup PRIVATE -s)
endif()
