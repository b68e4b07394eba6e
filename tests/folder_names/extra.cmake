# The whole program in folders of every kind of name: it, the console updater simulator, the launcher that
# sets the temporary folder, and the fixtures of the self-update tests.
target_sources(${VESK_AREA_TARGET} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/selfupdate_integration/program_run_win.cpp)
target_include_directories(${VESK_AREA_TARGET} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/selfupdate_integration)
add_dependencies(${VESK_AREA_TARGET} VESK_Updater console_updater_simulator selfupdate_integration_fixtures
                 vesk_temp_launcher)
