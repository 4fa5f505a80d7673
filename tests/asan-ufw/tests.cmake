# The package loader and the download client under AddressSanitizer with
# leak checking and UndefinedBehaviorSanitizer: every allocation-failure path
# of the loader must release what it read, and no received byte may land
# outside the caller's buffer. Built from the sources directly so the rest of
# the project keeps its ordinary flags.
if(NOT TRELK_SANITIZE)
  # glibc's fortified functions would bypass the sanitizer's own checks of
  # the same calls, so the hardening flag of the main build is dropped here.
  set(_trelk_asan_flags -fsanitize=address,undefined -fno-omit-frame-pointer
      -fno-sanitize-recover=undefined -U_FORTIFY_SOURCE)
  set(_trelk_asan_src
    ${PROJECT_SOURCE_DIR}/src/ufw.cpp
    ${PROJECT_SOURCE_DIR}/src/http.cpp
    ${PROJECT_SOURCE_DIR}/src/functions.cpp
    ${PROJECT_SOURCE_DIR}/src/timer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../support/loopback_http.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../support/process.cpp)
  foreach(_name ufw http)
    set(_target asan_${_name}_test)
    add_executable(${_target} ${CMAKE_CURRENT_LIST_DIR}/../unit/${_name}_test.cpp
                   ${_trelk_asan_src})
    target_include_directories(${_target} PRIVATE ${PROJECT_SOURCE_DIR}/src
                               ${CMAKE_CURRENT_LIST_DIR}/../support)
    target_compile_definitions(${_target} PRIVATE
      TRELK_FIRMWARE_HOST="${TRELK_FIRMWARE_HOST}"
      TRELK_BIN="$<TARGET_FILE:trelk>"
      TRELK_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
      TRELK_BINARY_DIR="${PROJECT_BINARY_DIR}")
    target_compile_options(${_target} PRIVATE ${_trelk_asan_flags})
    target_link_options(${_target} PRIVATE ${_trelk_asan_flags})
    target_link_libraries(${_target} PRIVATE GTest::gtest_main Threads::Threads)
    add_test(NAME unit.asan.${_name} COMMAND ${_target})
    set_tests_properties(unit.asan.${_name} PROPERTIES LABELS "unit" TIMEOUT 300
      ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0;UBSAN_OPTIONS=print_stacktrace=1")
  endforeach()
endif()
