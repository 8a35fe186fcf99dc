add_dependencies(${name} tessaloom-denoise)
target_compile_definitions(${name} PRIVATE TESSALOOM_DENOISE_EXE="$<TARGET_FILE:tessaloom-denoise>")
