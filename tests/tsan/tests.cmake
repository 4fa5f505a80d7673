# The queue and serial tests again, built with ThreadSanitizer: the link's
# reader thread and the lock-free queue are the only code where two threads
# share memory. Only the sources those tests need are compiled, so the extra
# build stays small. Skipped when the whole build already uses a sanitizer
# (thread: the unit tests are this run; others cannot be combined with it).
if(NOT TRELK_SANITIZE)
  set(TRELK_TSAN_SOURCES
    ${PROJECT_SOURCE_DIR}/src/lfqueue.cpp
    ${PROJECT_SOURCE_DIR}/src/serial.cpp
    ${PROJECT_SOURCE_DIR}/src/hub_lock.cpp
    ${PROJECT_SOURCE_DIR}/src/usb.cpp
    ${PROJECT_SOURCE_DIR}/src/timer.cpp
    ${PROJECT_SOURCE_DIR}/src/functions.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/port_probe.cpp)
  foreach(name lfqueue serial)
    set(target tsan_${name}_test)
    add_executable(${target}
      ${CMAKE_CURRENT_LIST_DIR}/../unit/${name}_test.cpp ${TRELK_TSAN_SOURCES})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src
      ${PROJECT_SOURCE_DIR}/tests/support)
    # Without the main build's fortified functions, whose checks would
    # bypass the sanitizer's interceptors.
    target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer -g
      -U_FORTIFY_SOURCE)
    target_link_options(${target} PRIVATE -fsanitize=thread)
    target_link_libraries(${target} PRIVATE GTest::gtest_main Threads::Threads PkgConfig::UDEV)
    add_test(NAME tsan.${name} COMMAND ${target})
    set_tests_properties(tsan.${name} PROPERTIES
      LABELS "unit;tsan"
      TIMEOUT 600
      ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1 second_deadlock_stack=1")
  endforeach()
endif()
