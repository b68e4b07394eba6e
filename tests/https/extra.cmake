# The HTTPS tests run a python3 TLS file server as a Unix process beside them, with certificates made at
# build time by the openssl tool, and make their test CA trusted with the CA installer program.
find_program(VESK_PYTHON3 python3 REQUIRED)
find_program(VESK_OPENSSL openssl REQUIRED)
set(https_certs ${CMAKE_CURRENT_BINARY_DIR}/https_certs)
set(https_archive ${CMAKE_CURRENT_BINARY_DIR}/https_archive)
add_custom_command(
  OUTPUT ${https_certs}/ca.der
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/make_test_certs.sh ${https_certs}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make_test_certs.sh
  COMMENT "Making the certificates for the HTTPS tests"
  VERBATIM)
# The archive the fallback download unpacks: Updater.exe with known text.
file(WRITE ${https_archive}/content/Updater.exe "Updater.exe as packed for the HTTPS tests\n")
add_custom_command(
  OUTPUT ${https_archive}/Updater.exe.zip
  COMMAND ${CMAKE_COMMAND} -E rm -f ${https_archive}/Updater.exe.zip
  COMMAND zip -q -j -X ${https_archive}/Updater.exe.zip ${https_archive}/content/Updater.exe
  DEPENDS ${https_archive}/content/Updater.exe
  VERBATIM)
add_custom_target(${VESK_AREA_TARGET}_fixtures DEPENDS ${https_certs}/ca.der ${https_archive}/Updater.exe.zip)
add_dependencies(${VESK_AREA_TARGET} ${VESK_AREA_TARGET}_fixtures vesk_test_ca_installer)
target_compile_definitions(${VESK_AREA_TARGET} PRIVATE
  VESK_HTTPS_CERTS="Z:${https_certs}"
  VESK_HTTPS_ARCHIVE="Z:${https_archive}"
  VESK_PYTHON3_WIN="Z:${VESK_PYTHON3}"
  VESK_TLS_TEST_SERVER="Z:${CMAKE_CURRENT_LIST_DIR}/tls_test_server.py"
  VESK_TEST_CA_INSTALLER="Z:$<TARGET_FILE:vesk_test_ca_installer>")
