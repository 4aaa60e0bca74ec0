# Installs the build into a fresh prefix, builds the example host in C against
# the installed files twice, through find_package and through pkg-config, and
# runs each against the simulated station without LD_LIBRARY_PATH: each host
# must find the installed library by itself, and so must the installed ds
# (also once its prefix has moved). Then installs the library and the Python
# package into a virtual environment as the README does, and runs the Python
# example there: the package must find the library under its sys.prefix.
#
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DLIBDIR=... -DEXAMPLE_DIR=...
#         -DGENERATOR=... -DC_COMPILER=... -DPKG_CONFIG=... -DWITH_STATION=...
#         -DEXPECTED=... -DPYTHON=... -DPYTHON_PACKAGE=... -P install_test.cmake

# Runs a command; the test fails with its output when the command fails.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

function(expect_equal what expected actual)
  if(NOT "${actual}" STREQUAL "${expected}")
    message(FATAL_ERROR "${what}:\n  expected: ${expected}\n  actual:   ${actual}")
  endif()
endfunction()

# The host resolves the library to the installed copy, then runs.
function(check_host name path)
  run("ldd ${name}" ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ldd ${path})
  string(REGEX MATCH "brellock-synology-downloadstation.so => [^ ]*" found "${run_output}")
  expect_equal("${name}: the library it loads"
               "brellock-synology-downloadstation.so => ${prefix}/${LIBDIR}/brellock-synology-downloadstation.so"
               "${found}")
  run("${name} against the station"
      ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${WITH_STATION} --expect ${EXPECTED} -- ${path})
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})

run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(file
    ${LIBDIR}/brellock-synology-downloadstation.so
    include/synology_ds.h
    share/doc/brellock-synology-downloadstation/LICENSE
    ${LIBDIR}/cmake/brellock-synology-downloadstation/brellock-synology-downloadstation-config.cmake
    ${LIBDIR}/cmake/brellock-synology-downloadstation/brellock-synology-downloadstation-config-version.cmake
    ${LIBDIR}/pkgconfig/brellock-synology-downloadstation.pc)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

# The CMake package: the example's own CMakeLists.txt, which calls find_package.
run("configuring the CMake host"
    ${CMAKE_COMMAND} -S ${EXAMPLE_DIR} -B ${WORK_DIR}/cmake-host -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH=${prefix})
run("building the CMake host" ${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-host)
check_host("the CMake host" ${WORK_DIR}/cmake-host/tasks)

# pkg-config, finding only the installed file.
set(ENV{PKG_CONFIG_LIBDIR} ${prefix}/${LIBDIR}/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})
run("pkg-config --modversion" ${PKG_CONFIG} --modversion brellock-synology-downloadstation)
expect_equal("pkg-config --modversion" "2.0.0\n" "${run_output}")
run("pkg-config --cflags --libs" ${PKG_CONFIG} --cflags --libs brellock-synology-downloadstation)
string(STRIP "${run_output}" flags)
set(libdir ${prefix}/${LIBDIR})
expect_equal("pkg-config --cflags --libs"
             "-I${prefix}/include ${libdir}/brellock-synology-downloadstation.so -Wl,-rpath,${libdir}"
             "${flags}")
separate_arguments(flags UNIX_COMMAND "${flags}")
file(MAKE_DIRECTORY ${WORK_DIR}/pkg-config-host)
run("building the pkg-config host"
    ${C_COMPILER} -std=c99 -Wall -Wextra -Werror -o ${WORK_DIR}/pkg-config-host/tasks
    ${EXAMPLE_DIR}/tasks.c ${flags})
check_host("the pkg-config host" ${WORK_DIR}/pkg-config-host/tasks)

# The command-line tool: bin/ds loads the library beside it in the prefix.
function(check_tool name path)
  run("ldd ${name}" ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ldd ${path})
  string(REGEX MATCH "brellock-synology-downloadstation.so => ([^ ]*)" found "${run_output}")
  file(REAL_PATH "${CMAKE_MATCH_1}" loaded)
  get_filename_component(tool_prefix ${path} DIRECTORY)
  file(REAL_PATH "${tool_prefix}/../${LIBDIR}/brellock-synology-downloadstation.so" expected)
  expect_equal("${name}: the library it loads" "${expected}" "${loaded}")
  run("${name} version" ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${path} version)
  expect_equal("${name} version" "2.0.0\n" "${run_output}")
  run("${name} against the station" ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${WITH_STATION} -- ${path} ping)
endfunction()

check_tool("the installed ds" ${prefix}/bin/ds)
file(RENAME ${prefix} ${WORK_DIR}/moved-prefix)
check_tool("ds in a moved prefix" ${WORK_DIR}/moved-prefix/bin/ds)

# The Python package in a virtual environment that sees Debian's packages
# (pip builds it offline with their setuptools and wheel), the library
# installed into the same prefix. A copy of the package is built, so that the
# source tree stays clean.
set(venv ${WORK_DIR}/venv)
run("python3 -m venv" ${PYTHON} -m venv --system-site-packages ${venv})
run("cmake --install into the virtual environment" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${venv})
file(COPY ${PYTHON_PACKAGE}/ DESTINATION ${WORK_DIR}/python-package PATTERN build EXCLUDE PATTERN *.egg-info EXCLUDE)
run("pip install" ${venv}/bin/python -m pip install --no-build-isolation --no-index ${WORK_DIR}/python-package)
run("the package's library"
    ${CMAKE_COMMAND} -E env --unset=DS_LIBRARY --unset=PYTHONPATH ${venv}/bin/python -c
    "print(__import__('synology_ds').find_library())")
expect_equal("the library the package finds"
             "${venv}/${LIBDIR}/brellock-synology-downloadstation.so\n" "${run_output}")
get_filename_component(examples ${EXAMPLE_DIR} DIRECTORY)
run("the Python host against the station"
    ${CMAKE_COMMAND} -E env --unset=DS_LIBRARY --unset=PYTHONPATH --unset=LD_LIBRARY_PATH
    ${WITH_STATION} --expect ${EXPECTED} -- ${venv}/bin/python ${examples}/python/tasks.py)
