# The image feature print (our own descriptor behind a small interface) and
# its tests. Geometric verification uses OpenCV's keypoints, matching and
# RANSAC: only the core, imgproc, features2d and calib3d modules.
find_path(OPENCV_INCLUDE_DIR opencv2/features2d.hpp PATH_SUFFIXES opencv4 REQUIRED)
set(OPENCV_MODULES)
foreach(module core imgproc features2d calib3d)
  find_library(OPENCV_${module}_LIBRARY opencv_${module} REQUIRED)
  list(APPEND OPENCV_MODULES ${OPENCV_${module}_LIBRARY})
endforeach()

add_library(platform_feature_print feature_print.cc colour_difference.cc)
target_include_directories(platform_feature_print PUBLIC ${PROJECT_SOURCE_DIR})
target_include_directories(platform_feature_print SYSTEM PRIVATE ${OPENCV_INCLUDE_DIR})
target_link_libraries(platform_feature_print PUBLIC imaging PRIVATE ${OPENCV_MODULES})

add_project_test(platform_feature_print_test
  SOURCES feature_print_test.cc colour_difference_test.cc
  LIBS platform_feature_print testsupport_images PkgConfig::VIPS)
