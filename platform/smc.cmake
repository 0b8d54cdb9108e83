# Controller ports of thermwatch: the applesmc driver's files, the hwmon
# virtual controller, and a scripted fake for tests.
add_library(platform_smc STATIC
  ${CMAKE_CURRENT_LIST_DIR}/smc_port.cc
  ${CMAKE_CURRENT_LIST_DIR}/applesmc_port.cc
  ${CMAKE_CURRENT_LIST_DIR}/hwmon_port.cc
  ${CMAKE_CURRENT_LIST_DIR}/smc_port_fake.cc)
target_include_directories(platform_smc PUBLIC ${PROJECT_SOURCE_DIR})

add_project_test(platform_smc_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/smc_port_test.cc
  LIBS platform_smc testsupport_images)
