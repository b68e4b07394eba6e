# The client tests start the console updater simulator as Updater.exe.
add_dependencies(${VESK_AREA_TARGET} console_updater_simulator)
