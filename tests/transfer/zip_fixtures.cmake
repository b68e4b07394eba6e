find_program(VESK_PYTHON3 python3 REQUIRED)
find_program(VESK_ZIP zip REQUIRED)
set(VESK_ZIP_FIXTURES ${CMAKE_CURRENT_BINARY_DIR}/transfer_zip_fixtures)
add_custom_command(
  OUTPUT ${VESK_ZIP_FIXTURES}/stamp
  COMMAND ${VESK_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/make_zip_fixtures.py ${VESK_ZIP_FIXTURES}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make_zip_fixtures.py
  COMMENT "Making ZIP fixtures for the transfer tests"
  VERBATIM)
add_custom_target(${VESK_AREA_TARGET}_zip_fixtures DEPENDS ${VESK_ZIP_FIXTURES}/stamp)
add_dependencies(${VESK_AREA_TARGET} ${VESK_AREA_TARGET}_zip_fixtures)
target_compile_definitions(${VESK_AREA_TARGET} PRIVATE VESK_ZIP_FIXTURES="Z:${VESK_ZIP_FIXTURES}")
