# Run by CTest with -P: configures the small project in icon-scope-check
# afresh (which checks the icon's properties) and builds its bundle target
# alone, which must make the icon through the rule in the subfolder.
# Takes SOURCE, BINARY, GENERATOR and CXX.
file(REMOVE_RECURSE ${BINARY})
execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -G ${GENERATOR} -DCMAKE_CXX_COMPILER=${CXX}
    RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "configuring ${SOURCE} failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} --target app RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "building the bundle target failed")
endif()
if(NOT EXISTS ${BINARY}/rule/AppIcon.icns)
    message(FATAL_ERROR "building the bundle target did not make its icon")
endif()
