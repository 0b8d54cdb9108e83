# Tests of the thumbnail and similarity verification modes.

# In process, against the scripted fake library.
add_project_test(albumsweep_modes_test
  SOURCES thumb_mode_test.cc simverify_mode_test.cc scan_test_support.cc
  LIBS albumsweep_lib fake_photo_library testsupport testsupport_images)

# End to end: the albumsweep binary against folder libraries and files.
add_project_test(albumsweep_modes_e2e_test
  SOURCES modes_e2e_test.cc
  LIBS testsupport testsupport_images)
target_compile_definitions(albumsweep_modes_e2e_test PRIVATE ALBUMSWEEP_BIN="$<TARGET_FILE:albumsweep>")
add_dependencies(albumsweep_modes_e2e_test albumsweep)
