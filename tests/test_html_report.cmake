# The batch page in a real headless Chromium (Debian package chromium): ctest -R html_report picks these.
set(test_prefix "html_report.")
# The screenshot of a real page lands here, for a person to look at.
target_compile_definitions(${name} PRIVATE TESSALOOM_TEST_OUTPUT_DIR="${CMAKE_CURRENT_BINARY_DIR}")
# Pages rendered in Chromium, some of them over many report lines: up to tens of seconds.
set(test_cost 20)
