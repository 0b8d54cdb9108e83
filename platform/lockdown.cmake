# The lock-down each program applies to itself before reading untrusted data
# (seccomp through libseccomp, Landlock through the kernel's own interface).
pkg_check_modules(SECCOMP REQUIRED IMPORTED_TARGET libseccomp)
add_library(platform_lockdown STATIC ${CMAKE_CURRENT_LIST_DIR}/lockdown.cc)
target_include_directories(platform_lockdown PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(platform_lockdown PRIVATE PkgConfig::SECCOMP)

add_project_test(platform_lockdown_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/lockdown_test.cc
  LIBS platform_lockdown testsupport_images
  LABELS concurrent)

# The programs under strace: locked down before their first read of input.
add_project_test(platform_lockdown_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/lockdown_e2e_test.cc
  LIBS testsupport testsupport_images)
target_compile_definitions(platform_lockdown_e2e_test PRIVATE
  ALBUMSWEEP_BIN="$<TARGET_FILE:albumsweep>" TWINSPOT_BIN="$<TARGET_FILE:twinspot>"
  THERMWATCH_BIN="$<TARGET_FILE:thermwatch>")
add_dependencies(platform_lockdown_e2e_test albumsweep twinspot thermwatch)
