# The Debian package end to end: built with cpack from this build tree,
# unpacked with dpkg-deb, its programs run from the unpacked tree and its man
# pages rendered with man -l.
add_test(NAME packaging.deb
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/deb_test.sh ${PROJECT_BINARY_DIR})
set_tests_properties(packaging.deb PROPERTIES LABELS "e2e" TIMEOUT 600)
