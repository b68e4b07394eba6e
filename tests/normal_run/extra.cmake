# These tests run the real program with the console updater simulator beside it.
add_dependencies(${VESK_AREA_TARGET} VESK_Updater console_updater_simulator)
