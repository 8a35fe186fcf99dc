# The scale-out merge script is found from the source folder (__FILE__ may be
# relative to the build folder, as with ccache).
target_compile_definitions(${name} PRIVATE TESSALOOM_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
