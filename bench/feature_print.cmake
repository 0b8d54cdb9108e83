# The image feature print on 12-megapixel photos: prints per second, the
# share of each print spent decoding, in the global and in the local part,
# and the time of one distance; with --job, whole verification jobs against
# their decoding alone, and their peak memory.
#   build/bench/feature_print_bench [--benchmark_min_time=2]
#   build/bench/feature_print_bench --job 100,1000
add_executable(feature_print_bench ${CMAKE_CURRENT_LIST_DIR}/feature_print_bench.cc)
target_link_libraries(feature_print_bench PRIVATE feature_print testsupport testsupport_images PkgConfig::VIPS
  benchmark::benchmark)
target_compile_definitions(feature_print_bench PRIVATE CORPUS_DIR="${CORPUS_DIR}" ALBUMSWEEP_BIN="$<TARGET_FILE:albumsweep>")
add_dependencies(feature_print_bench albumsweep)

# Detection: edited copies of real photos against different photos, as one
# table (feature print, its global part alone, difference hash).
#   bash bench/feature_print_detection.sh [BUILD_DIR]
add_executable(feature_print_detection ${CMAKE_CURRENT_LIST_DIR}/feature_print_detection.cc)
target_link_libraries(feature_print_detection PRIVATE feature_print testsupport testsupport_images PkgConfig::VIPS)
