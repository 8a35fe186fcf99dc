# The channel-weight tests compare the report's loudness with an independent BS.1770 meter (test-only dependency).
pkg_check_modules(EBUR128 REQUIRED IMPORTED_TARGET libebur128)
target_link_libraries(${name} PRIVATE PkgConfig::EBUR128)
