# What building for Windows needs beyond the sources: the compiler's runtime libraries the
# program's folder carries, FluidSynth and a General MIDI soundfont for the built-in
# synthesizer, the licence texts that go with them, and, in a cross build, Wine to run the
# tests under.

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

# FluidSynth through its own CMake package, which gives the target FluidSynth::libfluidsynth
# (headers, import library and the DLL). FLUIDSYNTH_FOUND and FLUIDSYNTH_VERSION are named as
# pkg-config names them on Linux. scripts/build-windows.sh builds one into a prefix of its own
# and names it in TIRREL_FLUIDSYNTH_PREFIX; a cross toolchain would look for it only under its
# own root, and must not take a Linux FluidSynth of the building machine instead.
set(TIRREL_FLUIDSYNTH_PREFIX "" CACHE PATH "FluidSynth built for this target: a prefix with lib/cmake/fluidsynth")
if(TIRREL_FLUIDSYNTH_PREFIX)
  find_package(FluidSynth CONFIG QUIET PATHS ${TIRREL_FLUIDSYNTH_PREFIX} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
else()
  find_package(FluidSynth CONFIG QUIET)
endif()
set(FLUIDSYNTH_FOUND ${FluidSynth_FOUND})
set(FLUIDSYNTH_VERSION ${FluidSynth_VERSION})
set(TIRREL_FLUIDSYNTH_DLL "")
if(FLUIDSYNTH_FOUND)
  get_target_property(configs FluidSynth::libfluidsynth IMPORTED_CONFIGURATIONS)
  list(GET configs 0 config)
  get_target_property(TIRREL_FLUIDSYNTH_DLL FluidSynth::libfluidsynth IMPORTED_LOCATION_${config})
  # Its licence texts, where the package's prefix keeps them (build-windows.sh puts them there).
  get_filename_component(prefix "${FluidSynth_DIR}/../../.." ABSOLUTE)
  file(GLOB default_licences ${prefix}/share/licenses/fluidsynth/*)
  set(TIRREL_FLUIDSYNTH_LICENSES "${default_licences}" CACHE STRING
      "Licence files of FluidSynth and of the code compiled into it, carried beside its DLL")
  message(STATUS "FluidSynth ${FLUIDSYNTH_VERSION} for the built-in synthesizer: ${TIRREL_FLUIDSYNTH_DLL}")
else()
  message(WARNING "FluidSynth was not found (set TIRREL_FLUIDSYNTH_PREFIX): the folder will have no synthesizer")
endif()

# The soundfont the synthesizer plays, beside the program, where it looks first. TimGM6mb
# (6 MB, GPL-2.0) is Debian's timgm6mb-soundfont, with the package's copyright note and the
# licence it names.
set(default_soundfont /usr/share/sounds/sf2/TimGM6mb.sf2)
set(default_licences "")
if(EXISTS ${default_soundfont})
  set(default_licences /usr/share/doc/timgm6mb-soundfont/copyright /usr/share/common-licenses/GPL-2)
else()
  set(default_soundfont "")
endif()
set(TIRREL_SOUNDFONT "${default_soundfont}" CACHE FILEPATH "The General MIDI soundfont the folder carries")
set(TIRREL_SOUNDFONT_LICENSES "${default_licences}" CACHE STRING "Licence files of that soundfont")
if(FLUIDSYNTH_FOUND AND NOT TIRREL_SOUNDFONT)
  message(WARNING "No General MIDI soundfont (set TIRREL_SOUNDFONT): the synthesizer will have nothing to play")
endif()

# A cross build's tests run under Wine (tests/windows/wine.sh) in Wine prefixes of the build's
# own, under wine/, and find there where the DLLs the build did not make are.
if(CMAKE_CROSSCOMPILING)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR bash ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine.sh ${CMAKE_BINARY_DIR})
  endif()
  set(dll_dirs ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS})
  foreach(dll ${TIRREL_RUNTIME_DLLS} ${TIRREL_FLUIDSYNTH_DLL})
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
