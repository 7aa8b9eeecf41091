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

# One import library may serve several DLLs (libruntimeobject.a: the WinRT
# API sets); its members are named lib<dll>s<n>.o. A delay-import library is
# made per DLL, and they are put together under the import library's name.
function(adv_make_delay_library import_library delayed)
  execute_process(COMMAND ${CMAKE_DLLTOOL} --identify ${import_library}
                  OUTPUT_VARIABLE dll_names OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "[\r\n]+" ";" dll_names "${dll_names}")
  execute_process(COMMAND ${CMAKE_NM} -A -g --defined-only ${import_library}
                  OUTPUT_VARIABLE symbols ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
  # "archive:libuser32s00042.o:0000000000000000 T MessageBoxW": a function
  # has its thunk (T) beside its pointer (I __imp_); data has only the pointer.
  string(REGEX MATCHALL ":lib[^:\n]*s[0-9]+\\.o:[0-9a-f]+ T [^\n]*" thunks "${symbols}")
  get_filename_component(stem ${delayed} NAME_WE)
  get_filename_component(folder ${delayed} DIRECTORY)
  set(parts "")
  foreach(dll_name IN LISTS dll_names)
    get_filename_component(wanted "${dll_name}" NAME_WE)
    string(TOLOWER "${wanted}" wanted)
    set(exports "")
    foreach(line IN LISTS thunks)
      string(REGEX REPLACE "^:lib(.*)s[0-9]+\\.o:[0-9a-f]+ T (.*)$" "\\1;\\2" member "${line}")
      list(GET member 0 base)
      list(GET member 1 name)
      string(TOLOWER "${base}" base)
      if(base STREQUAL wanted)
        string(APPEND exports "${name}\n")
      endif()
    endforeach()
    if(exports STREQUAL "")
      continue()
    endif()
    set(part ${folder}/${stem}-${wanted}.a)
    file(WRITE ${folder}/${stem}-${wanted}.def "LIBRARY ${dll_name}\nEXPORTS\n${exports}")
    execute_process(COMMAND ${CMAKE_DLLTOOL} --input-def ${folder}/${stem}-${wanted}.def --dllname ${dll_name}
                            --output-delaylib ${part} --temp-prefix ${stem}-${wanted}
                    WORKING_DIRECTORY ${folder} COMMAND_ERROR_IS_FATAL ANY)
    list(APPEND parts ${part})
  endforeach()
  list(LENGTH parts count)
  if(count EQUAL 0)
    message(FATAL_ERROR "${import_library}: no functions to delay-load")
  elseif(count EQUAL 1)
    file(RENAME ${parts} ${delayed})
  else()
    set(script "CREATE ${delayed}\n")
    foreach(part IN LISTS parts)
      string(APPEND script "ADDLIB ${part}\n")
    endforeach()
    string(APPEND script "SAVE\nEND\n")
    file(REMOVE ${delayed})
    file(WRITE ${folder}/${stem}.mri "${script}")
    execute_process(COMMAND ${CMAKE_AR} -M INPUT_FILE ${folder}/${stem}.mri COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE ${parts})
  endif()
  # Beside the imports, an import library may hold code of MinGW-w64's own
  # (ws2_32's getaddrinfo fallbacks and gai_strerror, which OpenSSL calls):
  # it comes along.
  execute_process(COMMAND ${CMAKE_AR} t ${import_library} OUTPUT_VARIABLE members COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "lib(32|64)_lib[^\n]*_a-[^\n]*\\.o" helpers "${members}")
  if(helpers)
    file(MAKE_DIRECTORY ${folder}/${stem}-helpers)
    execute_process(COMMAND ${CMAKE_AR} x ${import_library} ${helpers}
                    WORKING_DIRECTORY ${folder}/${stem}-helpers COMMAND_ERROR_IS_FATAL ANY)
    list(TRANSFORM helpers PREPEND ${folder}/${stem}-helpers/)
    execute_process(COMMAND ${CMAKE_AR} rs ${delayed} ${helpers} COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${folder}/${stem}-helpers)
  endif()
endfunction()

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
    if(NOT EXISTS ${delayed} OR ${import_library} IS_NEWER_THAN ${delayed}
       OR ${CMAKE_CURRENT_FUNCTION_LIST_FILE} IS_NEWER_THAN ${delayed})
      adv_make_delay_library(${import_library} ${delayed})
    endif()
    unset(import_library)
    # A library made anew makes the program link anew.
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${delayed})
  endforeach()
  target_link_directories(${target} BEFORE PRIVATE ${folder})
endfunction()
