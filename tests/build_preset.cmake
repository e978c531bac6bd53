# Configures one preset of the source tree (again, if it is configured
# already: a quick check then) and builds it, from the source tree's top:
#   cmake -DPRESET=asan -DJOBS=2 -P tests/build_preset.cmake
execute_process(COMMAND "${CMAKE_COMMAND}" --preset "${PRESET}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "configuring preset ${PRESET} failed")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build --preset "${PRESET}" -j "${JOBS}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "building preset ${PRESET} failed")
endif()
