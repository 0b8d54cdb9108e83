# Scan speed: twinspot on phone HEIFs vs a single-threaded libheif decode, a
# first HEIF scan, bytes read by a re-scan, and a 100,000-photo library.
#   build/bench/scanspeed_bench [--only heif|heic|rescan|large] [--runs 5]
pkg_check_modules(HEIF REQUIRED IMPORTED_TARGET libheif)
add_executable(scanspeed_bench ${CMAKE_CURRENT_LIST_DIR}/scanspeed_bench.cc)
target_link_libraries(scanspeed_bench PRIVATE testsupport_images PkgConfig::HEIF)
target_compile_definitions(scanspeed_bench PRIVATE
  TWINSPOT_BIN="$<TARGET_FILE:twinspot>" ALBUMSWEEP_BIN="$<TARGET_FILE:albumsweep>" CORPUS_DIR="${CORPUS_DIR}")
add_dependencies(scanspeed_bench twinspot albumsweep)
