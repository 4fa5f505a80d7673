# The Debian package end to end: built with cpack from this build tree,
# checked by lintian, unpacked with dpkg-deb, its programs run from the
# unpacked tree and its man pages rendered with man -l.
add_test(NAME packaging.deb
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/deb_test.sh ${PROJECT_BINARY_DIR})
set_tests_properties(packaging.deb PROPERTIES LABELS "e2e" TIMEOUT 600)

# The README's demo command, on this build tree: it must update the simulated
# hub and find both boards' memories equal to the sample package.
if(TARGET trelk-hubsim)
  add_test(NAME demo.sample_update
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/demo.sh)
  set_tests_properties(demo.sample_update PROPERTIES
    ENVIRONMENT "BUILD_DIR=${PROJECT_BINARY_DIR}"
    LABELS "e2e;slow" TIMEOUT 300)
endif()
