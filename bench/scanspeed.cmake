# Scan speed: twinspot on phone HEIFs vs a single-threaded libheif decode, a
# first HEIF scan, bytes read by a re-scan, a 100,000-photo library, and a
# first scan of a library of mixed sizes (lomiri wallpapers, corpus photos).
#   build/bench/scanspeed_bench [--only heif|heic|rescan|large|mixed] [--runs 5] [--copies 3]
pkg_check_modules(HEIF REQUIRED IMPORTED_TARGET libheif)
add_executable(scanspeed_bench ${CMAKE_CURRENT_LIST_DIR}/scanspeed_bench.cc)
target_link_libraries(scanspeed_bench PRIVATE testsupport_images PkgConfig::HEIF)
target_compile_definitions(scanspeed_bench PRIVATE
  TWINSPOT_BIN="$<TARGET_FILE:twinspot>" ALBUMSWEEP_BIN="$<TARGET_FILE:albumsweep>" CORPUS_DIR="${CORPUS_DIR}")
add_dependencies(scanspeed_bench twinspot albumsweep)
