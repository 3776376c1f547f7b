# Checks that the documents quote the examples as they stand. Installs the build into a fresh
# prefix, builds the example C host and C child against the installed tree (through pkg-config,
# then through find_package) and runs them together; then runs the installed kestravo-host on the
# shell child example and the statically linked child.
# Programs are built with the build's sanitizer flags: an instrumented library needs them.
# Arguments: BUILD_DIR SOURCE_DIR WORK_DIR LIBDIR C_COMPILER GENERATOR [SANITIZE]
cmake_minimum_required(VERSION 3.18)

set(prefix ${WORK_DIR}/prefix)
set(examples ${SOURCE_DIR}/examples)
set(flags "")
if(SANITIZE)
  set(flags -fsanitize=${SANITIZE} -fno-omit-frame-pointer)
endif()
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/pc)

# Runs a command; fails the test unless it exits 0. Its output is left in `out`.
macro(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
  if(NOT rc STREQUAL "0")
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
endmacro()

function(expect pattern)
  if(NOT out MATCHES "${pattern}")
    message(FATAL_ERROR "expected '${pattern}' in:\n${out}")
  endif()
endfunction()

# Runs the host with the child and checks that it started and stopped it.
macro(run_pair what host child)
  run("${what}" ${host} ${child})
  expect("child 0 runs as pid [0-9]+\nchild 0 stopped: 0\n")
  message(STATUS "${what}: ${out}")
endmacro()

# The documents quote these files (the C ones without their first comment line): keep them equal.
foreach(pair README.md:host.c docs/writing-a-child.md:stop_child.c docs/writing-a-child.md:child.sh)
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 document)
  list(GET pair 1 example)
  file(READ ${SOURCE_DIR}/${document} quoted)
  file(READ ${examples}/${example} text)
  if(example MATCHES "\\.c$")
    string(REGEX REPLACE "^/\\*[^\n]*\\*/\n" "" text "${text}")
  endif()
  string(FIND "${quoted}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${document} does not quote examples/${example} as it stands")
  endif()
endforeach()

run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(file bin/kestravo-host bin/kestravo-run bin/kestravo-wait-stop include/kestravo.h include/kestravo_child.h
        ${LIBDIR}/libkestravo.so ${LIBDIR}/libkestravo_child.so ${LIBDIR}/libkestravo_child.a
        ${LIBDIR}/pkgconfig/kestravo.pc ${LIBDIR}/pkgconfig/kestravo-child.pc
        ${LIBDIR}/cmake/Kestravo/KestravoConfig.cmake)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
run("readelf" readelf -d ${prefix}/${LIBDIR}/libkestravo.so)
expect("SONAME.*libkestravo\\.so\\.[0-9]+\\]")

# pkg-config
set(pkg ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig pkg-config)
foreach(module kestravo kestravo-child)
  run("pkg-config ${module}" ${pkg} --cflags --libs ${module})
  separate_arguments(${module}_flags UNIX_COMMAND "${out}")
endforeach()
run("pkg-config libdir" ${pkg} --variable=libdir kestravo)
string(STRIP "${out}" libdir)
run("compile host (pkg-config)" ${C_COMPILER} ${flags} ${examples}/host.c -o ${WORK_DIR}/pc/host
    ${kestravo_flags} -Wl,-rpath,${libdir})
run("compile child (pkg-config)" ${C_COMPILER} ${flags} ${examples}/stop_child.c -o ${WORK_DIR}/pc/child
    ${kestravo-child_flags} -Wl,-rpath,${libdir})
run_pair("pkg-config pair" ${WORK_DIR}/pc/host ${WORK_DIR}/pc/child)

# find_package
string(REPLACE ";" " " flag_text "${flags}")
run("configure consumer" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install/consumer -B ${WORK_DIR}/fp
    -G ${GENERATOR} -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_PREFIX_PATH=${prefix}
    -DEXAMPLES=${examples} "-DCMAKE_C_FLAGS=${flag_text}" "-DCMAKE_EXE_LINKER_FLAGS=${flag_text}")
run("build consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/fp)
run_pair("find_package pair" ${WORK_DIR}/fp/host ${WORK_DIR}/fp/child)
run_pair("find_package pair, static child" ${WORK_DIR}/fp/host ${WORK_DIR}/fp/child_static)

# The installed kestravo-host finds the installed library through its run path; the shell child
# finds the installed kestravo-wait-stop in PATH. The children speak the protocol themselves.
# Its state goes where it is told, never beside it in bin.
file(MAKE_DIRECTORY ${WORK_DIR}/state)
run("installed kestravo-host" ${CMAKE_COMMAND} -E env "PATH=${prefix}/bin:$ENV{PATH}" KESTRAVO_STATE_DIR=${WORK_DIR}/state
    ${prefix}/bin/kestravo-host --native --for 2 -- ${examples}/child.sh ::: ${WORK_DIR}/fp/child_static)
expect("library [^\n]*/${LIBDIR}/libkestravo\\.so\\.[0-9]+,")
expect("hpid 0  pid [0-9]+  stopped on its stop event")
expect("hpid 1  pid [0-9]+  stopped on its stop event")
expect("graceful stops   2 \\(on the stop signal: 0, on the stop event: 2; killed after the grace: 0")
message(STATUS "installed kestravo-host:\n${out}")
# An ordinary program runs through the installed kestravo-run beside it.
run("installed kestravo-host, adapter" ${prefix}/bin/kestravo-host --state-dir ${WORK_DIR}/state --for 1 -- sleep 1000)
expect("hpid 0  pid [0-9]+  ended on SIGTERM")
expect("state file ${WORK_DIR}/state/kestravo.xml")
if(EXISTS ${prefix}/bin/kestravo.xml OR EXISTS ${prefix}/bin/kestravo.log)
  message(FATAL_ERROR "kestravo-host wrote beside itself in ${prefix}/bin")
endif()
