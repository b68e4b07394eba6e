# Reads the sample release that the release tool publishes earlier in the same ctest run.
set_tests_properties(published_release PROPERTIES FIXTURES_REQUIRED vesk_sample_release)
