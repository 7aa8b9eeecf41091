# Cross build for 64-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-x86-64, binutils-mingw-w64-x86-64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ADV_MINGW_TRIPLET x86_64-w64-mingw32)
# The posix flavour of the compiler: the win32 one of GCC 12 has no std::mutex,
# which GoogleTest needs.
set(CMAKE_C_COMPILER ${ADV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ADV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ADV_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ADV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread linked in: the programs run on a bare
# Windows (or Wine) with no MinGW DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# The static Qt, libcurl and libsodium of scripts/build-windows-deps.sh, and
# Debian's own Qt for the host tools (moc, rcc, uic) that run during the build.
set(ADV_MINGW_PREFIX "" CACHE PATH "Install prefix of the Windows libraries")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ADV_MINGW_PREFIX)
if(ADV_MINGW_PREFIX)
    list(APPEND CMAKE_FIND_ROOT_PATH "${ADV_MINGW_PREFIX}")
    set(QT_HOST_PATH /usr CACHE PATH "")
    set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
endif()
