# The suite's long tests, each with its seconds in a run of the whole suite on a
# 2-core machine (under load: what counts is how they compare) in the Release
# build and under AddressSanitizer + UndefinedBehaviorSanitizer
# (scripts/sanitize.sh), given to CTest as the test's COST. A fresh build folder
# has no timings of its own, and ctest -j starts the costliest tests first: with
# the longest ones begun at once, the suite ends when its work does, not when a
# long test begun last does. A program's test_cost (tests/<name>.cmake) still
# holds for its tests not named here, and Layout.IncludesPointDown has its own
# beside its add_test. Names with the program's test_prefix; a name no longer in
# the suite is passed over.
set(long_tests
  # name                                                                               plain  sanitizers
  "Rooms.ClippedTakesAreMeasuredAndRebuilt                                             190    600"
  "soak.Soak.EightWorkersAFailingDenoiserAndRandomStops                                180    310"
  "DeliveryFinish.EveryRecordingLandsOnItsTargetUnderTheCeilingWithoutClipping          30    300"
  "LossyDelivery.OvershootIsCutWhereItWentOverAndTheLoudnessHolds                       17    150"
  "Rooms.BackgroundIsNeverLiftedUnderAPreset                                            19     94"
  "Rooms.DeclipperRebuildsAClippedSine                                                   4     89"
  "soak.Soak.InterruptsBetweenAnOutputsRenameAndItsReportLine                           16     65"
  "slurm.SlurmArray.MastersAFolderCountsTheBadFileAndARerunMastersOnlyWhatIsMissing     32     40"
  "LossyDelivery.DecodedFileMeetsTheCeilingAndTheTarget                                 19     34"
  "ReportExe.OutputFiguresAgreeWithAnIndependentMeter                                    5     26"
  "soak.Soak.TwoRunsStartedIntoOneFolder                                                15     25"
  "Rooms.MainsHumAt50Or60HzIsFoundAndNotched                                             6     23"
  "TruePeakLimiterReference.EveryBlockLengthIsTheFrameByFrameReferenceBitForBit          2     21"
  "html_report.RenderReportExe.RowsSortByEachKeyAndLaterReportsReplaceEarlierLines      28     20"
  "BatchExe.AFileLargerThanTheRunsMemoryIsMasteredInBlocks                              18     18"
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
