# The whole program is run by these tests: it, the console updater simulator and the probe are built first.
# Fixtures: the real zlib1.dll (Wine's user32 loads zlib1.dll from a window program's folder, so a fake one
# would stop the program from starting) and a ZIP archive holding the simulator as Updater.exe.
set(integration_fixtures ${CMAKE_BINARY_DIR}/bin/selfupdate_integration_fixtures)
add_custom_command(
  OUTPUT ${integration_fixtures}/zlib1.dll ${integration_fixtures}/Updater.exe.zip
  COMMAND ${CMAKE_COMMAND} -E make_directory ${integration_fixtures}/zip_content
  COMMAND ${CMAKE_COMMAND} -E copy /usr/x86_64-w64-mingw32/lib/zlib1.dll ${integration_fixtures}/zlib1.dll
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:console_updater_simulator>
          ${integration_fixtures}/zip_content/Updater.exe
  COMMAND ${CMAKE_COMMAND} -E rm -f ${integration_fixtures}/Updater.exe.zip
  COMMAND zip -q -j -X ${integration_fixtures}/Updater.exe.zip ${integration_fixtures}/zip_content/Updater.exe
  DEPENDS console_updater_simulator /usr/x86_64-w64-mingw32/lib/zlib1.dll
  VERBATIM)
add_custom_target(selfupdate_integration_fixtures
                  DEPENDS ${integration_fixtures}/zlib1.dll ${integration_fixtures}/Updater.exe.zip)
add_dependencies(${VESK_AREA_TARGET} VESK_Updater console_updater_simulator selfupdate_integration_fixtures
                 trusted_release_program trusted_release_fixtures selfupdate_probe)
