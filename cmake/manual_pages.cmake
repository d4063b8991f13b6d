# The manual pages of the programs, made from their own --help and --version by help2man (one
# source: what the programs print), compressed as Debian installs manual pages, and installed
# into share/man/man1. A cross-build, which cannot run its programs, and a sanitized build make
# none.
find_program(HELP2MAN help2man)
find_program(GZIP gzip)
if(HELP2MAN AND GZIP AND NOT CMAKE_CROSSCOMPILING AND NOT VELDRA_SANITIZE)
  set(veldra_manual_pages)
  set(veldra_programs veldra-predict veldra-train)
  set(veldra-predict_name "predict soil properties from infrared spectra with BART models")
  set(veldra-train_name "calibrate a soil property's BART model from spectra and lab values")
  set(veldra_name "the window program: predict, calibrate and look at results")
  if(VELDRA_WITH_GUI)
    list(APPEND veldra_programs veldra)
  endif()
  foreach(program ${veldra_programs})
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
              ${HELP2MAN} --no-info --no-discard-stderr --section 1 --name "${${program}_name}"
              --output ${page} $<TARGET_FILE:${program}>
      COMMAND ${GZIP} -9nf ${page}
      DEPENDS ${program}
      COMMENT "Manual page of ${program}"
      VERBATIM)
    list(APPEND veldra_manual_pages ${page}.gz)
  endforeach()
  add_custom_target(manual_pages ALL DEPENDS ${veldra_manual_pages})
  install(FILES ${veldra_manual_pages} DESTINATION share/man/man1)
endif()
