# Installs the identity server into a scratch prefix and checks what a line engineer relies on:
# the program, the unit naming the installed program and the environment file, and the file.
# Run as: cmake -DBUILD=<build dir> -DPREFIX=<scratch prefix> -P install_check.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD}" --prefix "${PREFIX}"
                        --component idserver RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
set(unit "${PREFIX}/lib/systemd/system/zq-idserver.service")
foreach(f "${PREFIX}/bin/zq-idserver" "${unit}" "${PREFIX}/etc/zq-idserver/zq-idserver.env")
  if(NOT EXISTS "${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(READ "${unit}" text)
foreach(want "ExecStart=${PREFIX}/bin/zq-idserver serve --db \${ZQ_IDSERVER_DB}"
             "EnvironmentFile=${PREFIX}/etc/zq-idserver/zq-idserver.env")
  string(FIND "${text}" "${want}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${unit} lacks: ${want}")
  endif()
endforeach()
# Every setting the unit uses is in the environment file.
file(READ "${PREFIX}/etc/zq-idserver/zq-idserver.env" env)
string(REGEX MATCHALL "ZQ_IDSERVER_[A-Z]+" used "${text}")
foreach(name ${used})
  string(REGEX MATCH "\n${name}=" found "\n${env}")
  if(NOT found)
    message(FATAL_ERROR "the environment file does not set ${name}")
  endif()
endforeach()
execute_process(COMMAND "${PREFIX}/bin/zq-idserver" list-orders --db "${PREFIX}/none.db"
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 1 OR NOT err MATCHES "no store")
  message(FATAL_ERROR "the installed zq-idserver does not run: ${rc} ${err}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
