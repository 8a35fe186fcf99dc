# Compared with an independent true-peak meter (test-only dependency).
pkg_check_modules(EBUR128 REQUIRED IMPORTED_TARGET libebur128)
target_link_libraries(${name} PRIVATE PkgConfig::EBUR128)
