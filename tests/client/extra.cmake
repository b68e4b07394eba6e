# The client tests start the console updater simulator as Updater.exe.
add_dependencies(${VESK_AREA_TARGET} console_updater_simulator)
# Its memory test reads the process counters.
target_link_libraries(${VESK_AREA_TARGET} PRIVATE psapi)
# The client benchmark (scripts/bench/client.sh) is a program of its own, built only on request.
add_executable(client_benchmark EXCLUDE_FROM_ALL ${CMAKE_CURRENT_SOURCE_DIR}/client/bench/client_benchmark_win.cpp)
target_link_libraries(client_benchmark PRIVATE vesk_test_support)
add_dependencies(client_benchmark VESK_Updater console_updater_simulator)
