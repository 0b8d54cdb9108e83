# Progressive JPEGs: what stopping the decode after the DC scans could save
# against a full 1/8-scale decode, whether it would stay bit-identical, and
# how common progressive files are in the corpus.
#   build/bench/progressive_jpeg_bench [--runs 7] [--megapixels 12]
add_executable(progressive_jpeg_bench ${CMAKE_CURRENT_LIST_DIR}/progressive_jpeg_bench.cc)
target_link_libraries(progressive_jpeg_bench PRIVATE imaging testsupport_images PkgConfig::VIPS)
target_compile_definitions(progressive_jpeg_bench PRIVATE CORPUS_DIR="${CORPUS_DIR}")
