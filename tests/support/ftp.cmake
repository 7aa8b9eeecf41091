# FTP server fixture: FtpServer.h/.cpp start ftp_server.py (pyftpdlib under
# Debian's /usr/bin/python3) on 127.0.0.1 for the tests and the benchmark.
include_guard(GLOBAL)

add_library(adv_test_ftp STATIC
  ${CMAKE_CURRENT_LIST_DIR}/FtpServer.h
  ${CMAKE_CURRENT_LIST_DIR}/FtpServer.cpp)
target_include_directories(adv_test_ftp PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions(adv_test_ftp
  PRIVATE QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII
  ADV_FTP_SERVER_SCRIPT="${CMAKE_CURRENT_LIST_DIR}/ftp_server.py")
target_link_libraries(adv_test_ftp PUBLIC adv_platform Qt6::Core PRIVATE adv_warnings)
