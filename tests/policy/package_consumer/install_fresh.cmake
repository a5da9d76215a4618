# Installs the policy package of build BUILD into PREFIX, removing whatever an
# earlier run left there.   cmake -DBUILD=... -DPREFIX=... -P install_fresh.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}"
  --component policy COMMAND_ERROR_IS_FATAL ANY)
