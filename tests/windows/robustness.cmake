# Robustness tests of the Windows program: the soak and the bad driver input. Every call that
# makes or frees a GDI object, takes or gives back a DC, or creates a window goes through a
# counting wrapper (robustness_support.cpp), as do the message boxes and the beep.
add_executable(robustness_tests
  robustness_support.cpp
  soak_test.cpp
  driver_input_test.cpp
)
target_link_libraries(robustness_tests PRIVATE shell capture sim_device app_resources GTest::gtest)
set(_robust_wrapped CreateDIBSection CreateCompatibleDC CreateCompatibleBitmap CreateSolidBrush
    CreatePen DeleteObject DeleteDC GetDC ReleaseDC BeginPaint EndPaint CreateWindowExA
    CreateWindowExW MessageBoxA MessageBeep)
foreach(call ${_robust_wrapped})
  target_link_options(robustness_tests PRIVATE -Wl,--wrap=__imp_${call})
endforeach()
add_dependencies(robustness_tests wine_desktop_pin)
gtest_discover_tests(robustness_tests TEST_FILTER "-SoakTest.*" DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES TIMEOUT 120)
# The soak reads the Linux /proc entry of its Wine process, so it is started with its pid: exec
# keeps it through wine-run.sh and wine. The short run (3000 frames) is part of the suite; the
# long one is scripts/soak.
add_test(NAME soak.ShortRunOfTheViewer
         COMMAND sh -c "PIXELWELL_UNIX_PID=$$ exec '${CMAKE_BINARY_DIR}/wine-run.sh' \
'$<TARGET_FILE:robustness_tests>' --gtest_filter=SoakTest.*")
# The longest test: started first, so that the others run beside it rather than after it.
set_tests_properties(soak.ShortRunOfTheViewer PROPERTIES TIMEOUT 600 FAIL_REGULAR_EXPRESSION "SKIPPED" COST 100)
