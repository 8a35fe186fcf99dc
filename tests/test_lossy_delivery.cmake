# The lossy delivery tests meter the decoded files with an independent BS.1770 meter (test-only dependency).
pkg_check_modules(EBUR128 REQUIRED IMPORTED_TARGET libebur128)
target_link_libraries(${name} PRIVATE PkgConfig::EBUR128)
