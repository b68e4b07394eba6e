# The manifest parsing benchmark (scripts/bench/manifest_parse.sh) is a program of its own, built only on
# request.
add_executable(manifest_parse_bench EXCLUDE_FROM_ALL ${CMAKE_CURRENT_SOURCE_DIR}/integrity/bench/manifest_parse_bench.cpp)
target_link_libraries(manifest_parse_bench PRIVATE vesk_test_support psapi)
