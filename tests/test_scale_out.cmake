# GNU parallel over a real sshd on this machine: ctest -R 'scale|ssh' picks these.
set(test_prefix "scale_out.ssh.")
# The scripts under test and the daemons' helpers are found from the source
# folder (__FILE__ may be relative to the build folder, as with ccache).
target_compile_definitions(${name} PRIVATE TESSALOOM_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
