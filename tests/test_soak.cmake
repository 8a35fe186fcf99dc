# A long batch on eight workers with a failing denoiser and random stops:
# ctest -R '^soak\.' runs it alone.
set(test_prefix "soak.")
add_library(soak_more_processors SHARED ${CMAKE_CURRENT_SOURCE_DIR}/support/more_processors.c)
add_dependencies(${name} soak_more_processors)
target_compile_definitions(${name} PRIVATE SOAK_MORE_PROCESSORS="$<TARGET_FILE:soak_more_processors>")
# Its first test runs for minutes (more under the sanitizers): started first.
set(test_cost 170)
