# albumsweep: scan throughput against sha256sum + vipsthumbnail over the same
# generated library, and peak memory for 500 and 5,000 assets.
#   build/bench/albumsweep_bench [--count 2000] [--memory 500,5000]
add_executable(albumsweep_bench ${CMAKE_CURRENT_LIST_DIR}/albumsweep_bench.cc)
target_link_libraries(albumsweep_bench PRIVATE PkgConfig::VIPS testsupport_images)
target_compile_definitions(albumsweep_bench PRIVATE
  ALBUMSWEEP_BIN="$<TARGET_FILE:albumsweep>" CORPUS_DIR="${CORPUS_DIR}")
add_dependencies(albumsweep_bench albumsweep)
