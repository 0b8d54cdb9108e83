# thermwatch: the survey over a generated 500-key hwmon tree, and the program end to end.
add_executable(thermwatch_bench ${CMAKE_CURRENT_LIST_DIR}/thermwatch_bench.cc)
target_link_libraries(thermwatch_bench PRIVATE thermwatch_lib testsupport_images benchmark::benchmark)
target_compile_definitions(thermwatch_bench PRIVATE THERMWATCH_BIN="$<TARGET_FILE:thermwatch>")
add_dependencies(thermwatch_bench thermwatch)
