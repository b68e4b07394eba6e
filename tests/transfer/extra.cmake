# ZIP archives for the unpacking and fallback tests, made at build time by the fixture script.
include(${CMAKE_CURRENT_LIST_DIR}/zip_fixtures.cmake)
