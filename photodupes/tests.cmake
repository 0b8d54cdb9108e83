# photodupes tests: unit tests of the catalog and the grouping, and end to
# end runs of the built program on libraries made at test time.
add_project_test(photodupes_unit_test
  SOURCES grouping_test.cc catalog_test.cc report_test.cc candidates_test.cc
  LIBS photodupes_lib testsupport_images imaging)

add_library(photodupes_e2e_support STATIC e2e_support.cc)
target_link_libraries(photodupes_e2e_support PUBLIC photodupes_lib testsupport testsupport_images imaging)
target_compile_definitions(photodupes_e2e_support PUBLIC
  PHOTODUPES_BIN="$<TARGET_FILE:photodupes>" ALBUMSWEEP_BIN="$<TARGET_FILE:albumsweep>"
  TWINSPOT_BIN="$<TARGET_FILE:twinspot>" CORPUS_DIR="${CORPUS_DIR}")
add_project_test(photodupes_e2e_test SOURCES e2e_test.cc report_browser_test.cc LIBS photodupes_e2e_support)
add_dependencies(photodupes_e2e_test photodupes albumsweep twinspot)
