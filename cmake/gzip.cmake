# gadgetdfu_gzip(SOURCE OUTPUT): OUTPUT becomes SOURCE compressed the way
# Debian installs documentation (gzip -9n: best compression, no name and no
# time stamp, so the same text gives the same bytes). Done at configure time;
# a change of SOURCE configures again.
function(gadgetdfu_gzip source output)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  get_filename_component(_dir ${output} DIRECTORY)
  file(MAKE_DIRECTORY ${_dir})
  execute_process(COMMAND gzip -9nc ${source} OUTPUT_FILE ${output} RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${source} failed (${_rc})")
  endif()
endfunction()
