# Fixtures for files and FTP.
#  adv_test_files: a file's Unix mode (FileSetup.h). Under Wine, where a
#    Windows program cannot change it, the tests' Linux side (linux_side.py)
#    does it for them.
#  adv_test_ftp: FtpServer.h starts ftp_server.py (pyftpdlib under Debian's
#    /usr/bin/python3) on 127.0.0.1; under Wine, linux_side.py starts it.
include_guard(GLOBAL)

add_library(adv_test_files STATIC ${CMAKE_CURRENT_LIST_DIR}/FileSetup.h ${CMAKE_CURRENT_LIST_DIR}/Files.h)
add_library(adv_test_ftp STATIC
  ${CMAKE_CURRENT_LIST_DIR}/FtpServer.h
  ${CMAKE_CURRENT_LIST_DIR}/FtpServer.cpp)
if(WIN32)
  target_sources(adv_test_files PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/FileSetup_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LinuxSide_win.h
    ${CMAKE_CURRENT_LIST_DIR}/LinuxSide_win.cpp)
  target_link_libraries(adv_test_files PUBLIC ws2_32)
  target_sources(adv_test_ftp PRIVATE ${CMAKE_CURRENT_LIST_DIR}/FtpServer_win.cpp)
else()
  target_sources(adv_test_files PRIVATE ${CMAKE_CURRENT_LIST_DIR}/FileSetup_linux.cpp)
  target_sources(adv_test_ftp PRIVATE ${CMAKE_CURRENT_LIST_DIR}/FtpServer_linux.cpp)
  target_compile_definitions(adv_test_ftp PRIVATE
    ADV_FTP_SERVER_SCRIPT="${CMAKE_CURRENT_LIST_DIR}/ftp_server.py")
endif()
foreach(fixture adv_test_files adv_test_ftp)
  target_include_directories(${fixture} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${fixture} PRIVATE QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII)
  target_link_libraries(${fixture} PUBLIC Qt6::Core PRIVATE adv_warnings)
endforeach()
target_link_libraries(adv_test_ftp PUBLIC adv_platform adv_test_files)
