# A real one-node Slurm cluster on this machine: ctest -R slurm picks these.
set(test_prefix "slurm.")
# The scripts under test and the daemons' helpers are found from the source
# folder (__FILE__ may be relative to the build folder, as with ccache).
target_compile_definitions(${name} PRIVATE TESSALOOM_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
# Each test starts a cluster and runs jobs through it: tens of seconds.
set(test_cost 30)
