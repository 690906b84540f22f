# What building for Windows needs beyond the sources: the compiler's runtime libraries the
# program's folder carries, the licence texts that go with them, and, in a cross build, Wine
# to run the tests under.

enable_language(RC)

# mingw-w64's C++ runtime is three DLLs beside the program. (An MSVC build would need the
# Visual C++ runtime instead; none has been made here.)
set(TIRREL_RUNTIME_DLLS "")
if(MINGW)
  foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    # Debian keeps libwinpthread with the target's libraries, where the compiler does not look.
    if(NOT IS_ABSOLUTE "${path}" AND CMAKE_LIBRARY_ARCHITECTURE)
      set(path /usr/${CMAKE_LIBRARY_ARCHITECTURE}/lib/${dll})
    endif()
    if(NOT EXISTS "${path}")
      find_file(path_${dll} ${dll} PATHS /usr/x86_64-w64-mingw32/lib /usr/x86_64-w64-mingw32/bin
                NO_CACHE NO_CMAKE_FIND_ROOT_PATH)
      set(path ${path_${dll}})
    endif()
    if(NOT EXISTS "${path}")
      message(FATAL_ERROR "The compiler's runtime library ${dll} was not found; the program cannot run without it")
    endif()
    file(REAL_PATH ${path} path)
    list(APPEND TIRREL_RUNTIME_DLLS ${path})
  endforeach()
endif()

# Their licences, as Debian's mingw-w64 packages state them: GCC's runtime (libstdc++,
# libgcc) is GPL-3 with the GCC Runtime Library Exception; winpthreads is under the expat and
# BSD licences in mingw-w64's file. Another compiler's are given here.
set(default_licences "")
foreach(file /usr/share/doc/gcc-mingw-w64-x86-64-posix-runtime/copyright
             /usr/share/doc/mingw-w64-common/copyright)
  if(EXISTS ${file})
    list(APPEND default_licences ${file})
  endif()
endforeach()
set(TIRREL_RUNTIME_LICENSES "${default_licences}" CACHE STRING
    "Licence files of the compiler's runtime libraries, carried beside them")

# A cross build's tests run under Wine (tests/windows/wine.sh) in Wine prefixes of the build's
# own, under wine/, and find there where the DLLs the build did not make are.
if(CMAKE_CROSSCOMPILING)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR bash ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine.sh ${CMAKE_BINARY_DIR})
  endif()
  set(dll_dirs ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS})
  foreach(dll ${TIRREL_RUNTIME_DLLS})
    get_filename_component(dir ${dll} DIRECTORY)
    list(APPEND dll_dirs ${dir})
  endforeach()
  list(REMOVE_DUPLICATES dll_dirs)
  list(JOIN dll_dirs " " dll_dirs)
  file(WRITE ${CMAKE_BINARY_DIR}/wine/paths.sh
       "# Written by CMake for tests/windows/wine.sh.\n"
       "wine_dll_dirs=(${dll_dirs})\n"
       "wine_qt_plugins=${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS}\n")
endif()
