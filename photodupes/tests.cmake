# photodupes tests: unit tests of the catalog and the grouping, and end to
# end runs of the built program on libraries made at test time.
add_project_test(photodupes_unit_test
  SOURCES grouping_test.cc catalog_test.cc report_test.cc candidates_test.cc current_groups_test.cc act_test.cc
    child_process_test.cc
  LIBS photodupes_lib testsupport_images testsupport imaging)

add_project_test(photodupes_review_test SOURCES review_server_test.cc LIBS photodupes_review)

add_library(photodupes_e2e_support STATIC e2e_support.cc)
compile_as_test_code(photodupes_e2e_support)
target_link_libraries(photodupes_e2e_support PUBLIC photodupes_lib testsupport testsupport_images imaging)
target_compile_definitions(photodupes_e2e_support PUBLIC
  PHOTODUPES_BIN="$<TARGET_FILE:photodupes>" ALBUMSWEEP_BIN="$<TARGET_FILE:albumsweep>"
  TWINSPOT_BIN="$<TARGET_FILE:twinspot>" CORPUS_DIR="${CORPUS_DIR}")
# The Trash's end-to-end test stops a run half-way on hangfs (not in fuzzing builds).
set(photodupes_trash_e2e)
set(photodupes_trash_e2e_libs)
if(TARGET testsupport_hang)
  set(photodupes_trash_e2e trash_e2e_test.cc)
  set(photodupes_trash_e2e_libs testsupport_hang)
endif()
add_project_test(photodupes_e2e_test SOURCES e2e_test.cc report_browser_test.cc review_browser_test.cc
  ${photodupes_trash_e2e} LIBS photodupes_e2e_support ${photodupes_trash_e2e_libs})
# puppeteer-core, installed by scripts/install-deps.sh into the build tree.
target_compile_definitions(photodupes_e2e_test PRIVATE
  PUPPETEER_MODULES="${CMAKE_BINARY_DIR}/node/node_modules"
  REVIEW_BROWSER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/review_browser.js")
add_dependencies(photodupes_e2e_test photodupes albumsweep twinspot)

# End to end on storage that stops answering (hangfs, a FUSE mount): skipped
# where FUSE is not available.
if(TARGET testsupport_hang)
  add_project_test(photodupes_hang_e2e_test WAITS SOURCES hang_e2e_test.cc
    LIBS photodupes_e2e_support testsupport_hang)
  add_dependencies(photodupes_hang_e2e_test photodupes albumsweep)
endif()
