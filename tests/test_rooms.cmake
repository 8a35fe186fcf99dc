add_dependencies(${name} tessaloom-denoise)
target_compile_definitions(${name} PRIVATE TESSALOOM_DENOISE_EXE="$<TARGET_FILE:tessaloom-denoise>")
# Whole spoken takes through the engine, the denoiser and the declipper: the long
# ones have their own COST in long_tests.cmake, the rest take seconds.
set(test_cost 10)
