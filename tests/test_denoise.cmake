target_link_libraries(${name} PRIVATE tessaloom_denoise_core)
