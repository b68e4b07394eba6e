# Fixtures made at build time: a ZIP archive holding libcurl.dll (made by the native zip tool, so the
# program's own reader is tested against an independent writer) and the probe program.
set(selfupdate_fixtures ${CMAKE_BINARY_DIR}/bin/selfupdate_fixtures)
add_custom_command(
  OUTPUT ${selfupdate_fixtures}/libcurl.dll.zip
  COMMAND ${CMAKE_COMMAND} -E make_directory ${selfupdate_fixtures}/zip_payload
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/selfupdate/fixture_zip_payload.txt
          ${selfupdate_fixtures}/zip_payload/libcurl.dll
  COMMAND ${CMAKE_COMMAND} -E rm -f ${selfupdate_fixtures}/libcurl.dll.zip
  COMMAND zip -q -j -X ${selfupdate_fixtures}/libcurl.dll.zip ${selfupdate_fixtures}/zip_payload/libcurl.dll
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/selfupdate/fixture_zip_payload.txt
  VERBATIM)
add_custom_target(selfupdate_unit_fixtures DEPENDS ${selfupdate_fixtures}/libcurl.dll.zip)
add_dependencies(${VESK_AREA_TARGET} selfupdate_unit_fixtures selfupdate_probe)
