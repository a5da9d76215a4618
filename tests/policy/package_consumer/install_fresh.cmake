# Installs the policy and client packages of build BUILD into PREFIX and empties the
# consumer's build folder CONSUMER, so that nothing of an earlier run (an
# installed file, a cached search result) hides a fault.
#   cmake -DBUILD=... -DPREFIX=... -DCONSUMER=... -P install_fresh.cmake
file(REMOVE_RECURSE "${PREFIX}" "${CONSUMER}")
foreach(component policy client)
  execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}"
    --component ${component} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
