# The folder photo library: a folder tree of images and videos as the photo
# library, and its tests.
add_library(platform_folder_library
  folder_library.cc
  folder_library_meta.cc
  heif_header.cc
  jpeg_header.cc
  folder_library_names.cc
  folder_library_open.cc
  folder_library_storage.cc
  reader_process.cc)
target_link_libraries(platform_folder_library PUBLIC platform_photo_library PRIVATE jsonlines imaging PkgConfig::VIPS Threads::Threads)

add_project_test(platform_folder_library_test
  SOURCES folder_library_test.cc
  LIBS platform_folder_library imaging testsupport testsupport_images testsupport_camera_files PkgConfig::VIPS)
add_project_test(platform_folder_library_concurrent_test
  SOURCES folder_library_concurrent_test.cc
  LIBS platform_folder_library testsupport_images
  LABELS concurrent)
# The reader process that reads where storage can hang; forks, so each test
# runs in a process of its own (as ctest runs them).
add_project_test(platform_folder_reader_test
  SOURCES folder_reader_test.cc
  LIBS platform_folder_library platform_lockdown testsupport_images
  LABELS concurrent)
