# A host run from a directory holding a planted oci.dll must load the client library from PATH,
# where an installation is, and never the planted one. The layout keeps oci.dll out of the
# program's directory, so that only the search order decides. Run with -DTXHOST=... -DLIBRARY=...
# -DCLIENT=... -DPLANTED=... -DOUT=... -DEMULATOR=... and OCISIM_DATABASES set.
file(REMOVE_RECURSE ${OUT})
foreach(dir app libs client cwd)
  file(MAKE_DIRECTORY ${OUT}/${dir})
endforeach()
file(COPY ${TXHOST} DESTINATION ${OUT}/app)
file(COPY ${LIBRARY} DESTINATION ${OUT}/libs)
file(COPY ${CLIENT} DESTINATION ${OUT}/client)
file(COPY ${PLANTED} DESTINATION ${OUT}/cwd)
get_filename_component(program ${TXHOST} NAME)
get_filename_component(library ${LIBRARY} NAME)
string(REPLACE "/" "\\" client_dir "Z:${OUT}/client")
set(ENV{WINEPATH} "${client_dir}")
execute_process(
  COMMAND ${EMULATOR} ${OUT}/app/${program} call --connect screener/screener@sample
          ${OUT}/libs/${library} TESTDATE MON 2026-12-07
  WORKING_DIRECTORY ${OUT}/cwd
  RESULT_VARIABLE status
  OUTPUT_VARIABLE answer
  ERROR_VARIABLE errors
  TIMEOUT 60)
if(EXISTS ${OUT}/cwd/planted-oci-was-loaded)
  message(FATAL_ERROR "the oci.dll planted in the working directory was loaded")
endif()
if(NOT status STREQUAL "0" OR NOT answer MATCHES "^1\r?\n$")
  message(FATAL_ERROR "expected the answer 1 with status 0, got ${status}: ${answer}${errors}")
endif()
