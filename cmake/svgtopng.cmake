# The drawings in icons/ rendered at build time by packaging/svgtopng.cpp, with Qt's SVG
# renderer, the one the Linux window draws them with at run time: the icon theme's
# fixed-size icon, and the Windows program's artwork and icon, which has no Qt Svg.
#
# A cross build cannot run what it builds, so it is handed the renderer built for the build
# machine (TIRREL_SVGTOPNG: the Linux build's tirrel_svgtopng, which scripts/build-windows.sh
# passes); any other build builds its own, with Qt Svg.
set(TIRREL_SVGTOPNG "" CACHE FILEPATH "tirrel_svgtopng built for the build machine, for cross builds")
if(CMAKE_CROSSCOMPILING)
  if(NOT EXISTS "${TIRREL_SVGTOPNG}")
    message(FATAL_ERROR "A cross build renders its drawings with tirrel_svgtopng built for the build machine: "
                        "build it in a native build (target tirrel_svgtopng) and pass -DTIRREL_SVGTOPNG=<its path>")
  endif()
  set(tirrel_svgtopng_command ${TIRREL_SVGTOPNG})
  set(tirrel_svgtopng_depends ${TIRREL_SVGTOPNG})
else()
  find_package(Qt6 REQUIRED COMPONENTS Gui Svg)
  add_executable(tirrel_svgtopng ${CMAKE_CURRENT_LIST_DIR}/../packaging/svgtopng.cpp)
  target_link_libraries(tirrel_svgtopng PRIVATE Qt6::Gui Qt6::Svg)
  set(tirrel_svgtopng_command $<TARGET_FILE:tirrel_svgtopng>)
  set(tirrel_svgtopng_depends tirrel_svgtopng)
endif()

# tirrel_render_svg(SVG SIZES OUTPUT): a build step rendering the drawing SVG into OUTPUT, a
# square PNG of the one size in SIZES, or an .ico with an image of each.
function(tirrel_render_svg svg sizes output)
  list(JOIN sizes "," size_list)
  get_filename_component(output_dir ${output} DIRECTORY)
  get_filename_component(output_name ${output} NAME)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    # A sanitizer build's leak check would fail the build on what Qt keeps until exit.
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
            ${tirrel_svgtopng_command} ${svg} ${size_list} ${output}
    DEPENDS ${tirrel_svgtopng_depends} ${svg}
    COMMENT "Rendering ${output_name}"
    VERBATIM)
endfunction()
