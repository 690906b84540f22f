# Sanitizer builds. Both stop at the first report, so a test fails on it rather than
# printing it and passing.
if(TIRREL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(TIRREL_FUZZ)
  # libFuzzer ships with clang only; gcc would fail later on the first -fsanitize=fuzzer.
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TIRREL_FUZZ needs clang: configure a fresh build directory with CXX=clang++")
  endif()
  # Every library gets the fuzzer's coverage counters; only the targets in fuzz/ link
  # libFuzzer's main, with -fsanitize=fuzzer.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# tirrel_sanitize_tests(): every test of the calling directory stops at the first report and
# checks for leaks at exit, with the suppressions of other libraries' leaks.
function(tirrel_sanitize_tests)
  if(NOT TIRREL_SANITIZE)
    return()
  endif()
  set(asan "detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1")
  get_property(tests DIRECTORY PROPERTY TESTS)
  foreach(test ${tests})
    # libjack has no frame pointers: the fast way of taking an allocation's stack stops
    # inside it, before the frame that tells RtMidi's leak from one of ours. The slow way
    # is kept to the JACK tests, since it makes the synthesizer's tests several times slower.
    get_test_property(${test} LABELS labels)
    set(unwind "")
    if("jack" IN_LIST labels)
      set(unwind ":fast_unwind_on_malloc=0")
    endif()
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
      "ASAN_OPTIONS=${asan}${unwind}"
      "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0"
      "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1")
  endforeach()
endfunction()
