# Windows: DLLs that a program loads at its first call into them instead of
# at start-up ("delay-loaded"). AggiornaDV.exe links all of Qt's GUI, yet
# --sweep and --update never touch Direct3D, DirectWrite, the common dialogs
# or the shell, and loading them costs more than the whole sweep (under Wine
# many times more).
#
# GNU ld has no /DELAYLOAD. Instead, for each DLL a delay-import library of
# the usual name (libuser32.a) is made with dlltool from the names the
# toolchain's own import library lists, into a folder of the build that is
# searched before the toolchain's; "-luser32", wherever Qt or our code asks
# for it, then finds it. MinGW-w64's runtime brings __delayLoadHelper2.
# Exported data cannot be delay-loaded: names that are data in the import
# library are kept out, and a program that used one would fail to link.
include_guard(GLOBAL)

function(adv_delay_load target)
  if(NOT WIN32)
    return()
  endif()
  if(NOT CMAKE_DLLTOOL OR NOT CMAKE_NM)
    message(FATAL_ERROR "delay-loading needs dlltool and nm of the toolchain")
  endif()
  set(folder ${CMAKE_BINARY_DIR}/delay-load)
  file(MAKE_DIRECTORY ${folder})
  foreach(dll IN LISTS ARGN)
    find_file(import_library lib${dll}.a PATHS ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES} NO_DEFAULT_PATH NO_CACHE)
    if(NOT import_library)
      message(FATAL_ERROR "no import library lib${dll}.a in ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES}")
    endif()
    set(delayed ${folder}/lib${dll}.a)
    if(NOT EXISTS ${delayed} OR ${import_library} IS_NEWER_THAN ${delayed})
      execute_process(COMMAND ${CMAKE_DLLTOOL} --identify ${import_library}
                      OUTPUT_VARIABLE dll_name OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
      string(REGEX REPLACE "[\r\n].*" "" dll_name "${dll_name}")
      execute_process(COMMAND ${CMAKE_NM} -g --defined-only ${import_library}
                      OUTPUT_VARIABLE symbols ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
      # A function has its thunk ("T name") beside its pointer ("I __imp_name").
      string(REGEX MATCHALL "[^\n]* T [^\n]*" thunks "${symbols}")
      string(REGEX MATCHALL "[^\n]* I __imp_[^\n]*" pointers "${symbols}")
      set(functions "")
      foreach(line IN LISTS thunks)
        string(REGEX REPLACE ".* T " "" name "${line}")
        list(APPEND functions ${name})
      endforeach()
      set(exports "")
      foreach(line IN LISTS pointers)
        string(REGEX REPLACE ".* I __imp_" "" name "${line}")
        if(name IN_LIST functions)
          string(APPEND exports "${name}\n")
        endif()
      endforeach()
      file(WRITE ${folder}/${dll}.def "LIBRARY ${dll_name}\nEXPORTS\n${exports}")
      execute_process(COMMAND ${CMAKE_DLLTOOL} --input-def ${folder}/${dll}.def --dllname ${dll_name}
                              --output-delaylib ${delayed}
                      COMMAND_ERROR_IS_FATAL ANY)
    endif()
    unset(import_library)
  endforeach()
  target_link_directories(${target} BEFORE PRIVATE ${folder})
endfunction()
