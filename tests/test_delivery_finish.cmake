# The finish is measured with libebur128 (tests/support/IndependentMeter.h), an independent meter.
if(NOT TARGET PkgConfig::EBUR128)
  pkg_check_modules(EBUR128 REQUIRED IMPORTED_TARGET libebur128)
endif()
target_link_libraries(${name} PRIVATE PkgConfig::EBUR128)
# Every recording of the corpus through the engine: tens of seconds, a minute under the sanitizers.
set(test_cost 60)
