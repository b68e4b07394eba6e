# The launch tests start this program.
add_dependencies(${VESK_AREA_TARGET} vesk_exit_child)
