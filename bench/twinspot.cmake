# twinspot: hash and thumb throughput against vipsthumbnail -s 256 over the
# corpus, generated 24-megapixel JPEGs and the same pictures as DNG raws,
# plus peak memory vs file count.
#   build/bench/twinspot_bench [--photos 8] [--reps 3]
add_executable(twinspot_bench ${CMAKE_CURRENT_LIST_DIR}/twinspot_bench.cc)
target_link_libraries(twinspot_bench PRIVATE testsupport_images testsupport_camera_files)
target_compile_definitions(twinspot_bench PRIVATE
  TWINSPOT_BIN="$<TARGET_FILE:twinspot>" CORPUS_DIR="${CORPUS_DIR}")
add_dependencies(twinspot_bench twinspot)
