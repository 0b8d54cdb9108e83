# Renders one scdoc page into a gzip-compressed man page, as Debian ships them.
# cmake -DSCDOC=... -DGZIP=... -DVERSION=... -DSOURCE=x.1.scd -DOUTPUT=x.1.gz -P render_man.cmake
cmake_minimum_required(VERSION 3.25)
file(READ "${SOURCE}" text)
string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
get_filename_component(page "${OUTPUT}" NAME_WLE)  # x.1
get_filename_component(dir "${OUTPUT}" DIRECTORY)
set(scd "${dir}/${page}.scd")
set(roff "${dir}/${page}")
file(WRITE "${scd}" "${text}")
execute_process(COMMAND "${SCDOC}" INPUT_FILE "${scd}" OUTPUT_FILE "${roff}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${roff}")
  message(FATAL_ERROR "scdoc failed on ${SOURCE}")
endif()
# -n: no name or time stamp in the header, so the same page gives the same bytes.
execute_process(COMMAND "${GZIP}" -9 -n -f "${roff}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${roff}")
endif()
