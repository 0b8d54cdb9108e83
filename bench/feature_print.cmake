# The image feature print on 12-megapixel photos: prints per second, and the
# share of each print spent decoding the thumbnail it is computed from.
#   build/bench/feature_print_bench [--benchmark_min_time=2]
add_executable(feature_print_bench ${CMAKE_CURRENT_LIST_DIR}/feature_print_bench.cc)
target_link_libraries(feature_print_bench PRIVATE platform_feature_print PkgConfig::VIPS benchmark::benchmark)
target_compile_definitions(feature_print_bench PRIVATE CORPUS_DIR="${CORPUS_DIR}")
