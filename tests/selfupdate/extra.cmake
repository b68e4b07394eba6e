# The self-update tests start these programs as child processes.
add_dependencies(${VESK_AREA_TARGET} start_recorder pending_self_update_runner)
