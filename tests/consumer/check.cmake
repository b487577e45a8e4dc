# The consumer check: the installed tree built against and run, as another module of the unit
# would (check.sh); on the target lane staged and run under the emulator. Not in sanitizer builds:
# their libraries need the sanitizers' runtimes, which no module links.
if(KIV_SANITIZE)
  return()
endif()
if(CMAKE_CROSSCOMPILING)
  set(KIV_CONSUMER_TARGET ${CMAKE_TOOLCHAIN_FILE} ${CMAKE_CROSSCOMPILING_EMULATOR})
endif()
add_test(NAME consumer_check
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/check.sh ${CMAKE_BINARY_DIR} ${CMAKE_C_COMPILER} ${KIV_CONSUMER_TARGET})
set_tests_properties(consumer_check PROPERTIES TIMEOUT 300)
