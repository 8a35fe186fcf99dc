# A library preloaded into the engine to make chosen files misbehave (a file
# cut while it is read, a full disk, no descriptor left); see the shim's header.
if(NOT TARGET tessaloom_io_fault_shim)
  add_library(tessaloom_io_fault_shim SHARED ${CMAKE_CURRENT_SOURCE_DIR}/support/io_fault_shim.c)
  target_link_libraries(tessaloom_io_fault_shim PRIVATE dl)
  set_target_properties(tessaloom_io_fault_shim PROPERTIES C_VISIBILITY_PRESET default)
  # Preloaded into programs that are not instrumented too (env, prlimit).
  target_compile_options(tessaloom_io_fault_shim PRIVATE -fno-sanitize=all)
  target_link_options(tessaloom_io_fault_shim PRIVATE -fno-sanitize=all)
endif()
add_dependencies(${name} tessaloom_io_fault_shim)
target_compile_definitions(${name} PRIVATE IO_FAULT_SHIM="$<TARGET_FILE:tessaloom_io_fault_shim>")
