# These tests start the real program, so it must be built first; they copy it from its build location.
add_dependencies(${VESK_AREA_TARGET} VESK_Updater)
target_compile_definitions(${VESK_AREA_TARGET} PRIVATE VESK_UPDATER_EXE="Z:$<TARGET_FILE:VESK_Updater>")
