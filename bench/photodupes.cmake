# photodupes: recall of the difference-hash candidates per kind of edit on
# corpus photos (the measurement behind the default radius), and `groups`
# on 100,000 synthetic records against all pairs.
#   build/bench/photodupes_recall
#   build/bench/photodupes_e2e_recall [--unrelated N] [--keep]
#   build/bench/photodupes_groups_bench [records [radius]]
#   bench/photodupes_report_paint.sh build 5000
add_executable(photodupes_recall ${CMAKE_CURRENT_LIST_DIR}/photodupes_recall.cc)
target_link_libraries(photodupes_recall PRIVATE photodupes_lib imaging feature_print testsupport_images)
target_compile_definitions(photodupes_recall PRIVATE CORPUS_DIR="${CORPUS_DIR}")
add_executable(photodupes_groups_bench ${CMAKE_CURRENT_LIST_DIR}/photodupes_groups_bench.cc)
target_link_libraries(photodupes_groups_bench PRIVATE photodupes_lib)
add_executable(photodupes_e2e_recall ${CMAKE_CURRENT_LIST_DIR}/photodupes_e2e_recall.cc)
target_link_libraries(photodupes_e2e_recall PRIVATE imaging testsupport testsupport_images nlohmann_json::nlohmann_json)
target_compile_definitions(photodupes_e2e_recall PRIVATE CORPUS_DIR="${CORPUS_DIR}"
  PHOTODUPES_BIN="$<TARGET_FILE:photodupes>" ALBUMSWEEP_BIN="$<TARGET_FILE:albumsweep>"
  TWINSPOT_BIN="$<TARGET_FILE:twinspot>")
add_dependencies(photodupes_e2e_recall photodupes albumsweep twinspot)
