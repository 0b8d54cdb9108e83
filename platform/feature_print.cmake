# The image feature print (our own descriptor behind a small interface) and
# its tests.
add_library(platform_feature_print feature_print.cc)
target_include_directories(platform_feature_print PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(platform_feature_print PUBLIC imaging)

add_project_test(platform_feature_print_test
  SOURCES feature_print_test.cc
  LIBS platform_feature_print testsupport_images PkgConfig::VIPS)
