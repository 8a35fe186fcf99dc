# The suite's long tests, each with about its seconds on a quiet 2-core machine
# in the Release build and under AddressSanitizer + UndefinedBehaviorSanitizer
# (scripts/sanitize.sh), given to CTest as the test's COST. A fresh build folder
# has no timings of its own, and ctest -j starts the costliest tests first: with
# the longest ones begun at once, the suite ends when its work does, not when a
# long test begun last does. A program's test_cost (tests/<name>.cmake) still
# holds for its tests not named here, and Layout.IncludesPointDown has its own
# beside its add_test. Names with the program's test_prefix; a name no longer in
# the suite is passed over.
set(long_tests
  # name                                                                       plain  sanitizers
  "soak.Soak.EightWorkersAFailingDenoiserAndRandomStops                        100    170"
  "soak.Soak.InterruptsBetweenAnOutputsRenameAndItsReportLine                    8     50"
  "soak.Soak.TwoRunsStartedIntoOneFolder                                        12     25"
  "DeliveryFinish.EveryRecordingLandsOnItsTargetUnderTheCeilingWithoutClipping  30    160"
  "Rooms.ClippedTakesAreMeasuredAndRebuilt                                      80    600"
  "Rooms.BackgroundIsNeverLiftedUnderAPreset                                    18    105"
  "Rooms.DeclipperRebuildsAClippedSine                                           2     65"
  "Rooms.MainsHumAt50Or60HzIsFoundAndNotched                                     6     37"
  "Rooms.DenoiseLimitMovesTheNoiseFloor                                          4     19"
  "LossyDelivery.OvershootIsCutWhereItWentOverAndTheLoudnessHolds                8     40"
  "LossyDelivery.DecodedFileMeetsTheCeilingAndTheTarget                          6     27"
  "slurm.SlurmArray.MastersAFolderCountsTheBadFileAndARerunMastersOnlyWhatIsMissing  16  16"
  "TruePeakLimiterReference.EveryBlockLengthIsTheFrameByFrameReferenceBitForBit  2  16"
  "ReportExe.OutputFiguresAgreeWithAnIndependentMeter  4  14"
  "html_report.RenderReportExe.RowsSortByEachKeyAndLaterReportsReplaceEarlierLines  13  13"
  "BatchExe.AFileLargerThanTheRunsMemoryIsMasteredInBlocks                      10     10"
)

set(long_tests_file "${CMAKE_CURRENT_BINARY_DIR}/long_tests_costs.cmake")
set(long_tests_lines "")
foreach(entry IN LISTS long_tests)
  string(REGEX REPLACE " +" ";" fields "${entry}")
  list(GET fields 0 test)
  if(TESSALOOM_SANITIZE)
    list(GET fields 2 cost)
  else()
    list(GET fields 1 cost)
  endif()
  string(APPEND long_tests_lines "set_tests_properties([=[${test}]=] PROPERTIES COST ${cost})\n")
endforeach()
file(CONFIGURE OUTPUT "${long_tests_file}" CONTENT "${long_tests_lines}")
# Read by ctest after the tests each program lists (gtest_discover_tests adds those files first).
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${long_tests_file}")
