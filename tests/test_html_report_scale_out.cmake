# The scale-out scripts' batch page: GNU parallel on this machine only and
# collect.sh on a work folder written by hand, no daemons: ctest -R html_report picks these.
set(test_prefix "html_report.")
target_compile_definitions(${name} PRIVATE TESSALOOM_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
