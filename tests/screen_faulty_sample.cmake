# The sample run against the database whose server fails: it completes, reports its alerts with
# status 1, and every alert is in the --alerts file, tied to its row and check. On Windows no
# message box may stop it. Run with -DTXHOST=... -DSOURCE=... -DOUT=... [-DEMULATOR=...].
# An output an earlier run left must not pass for this run's.
file(REMOVE ${OUT}/faulty-results.csv ${OUT}/faulty-alerts.jsonl)
execute_process(
  COMMAND ${EMULATOR} ${TXHOST} screen --rules ${SOURCE}/examples/rules.conf
          --connect screener/screener@faulty --out ${OUT}/faulty-results.csv
          --alerts ${OUT}/faulty-alerts.jsonl ${SOURCE}/examples/transactions.csv
  RESULT_VARIABLE status
  ERROR_VARIABLE errors
  TIMEOUT 120)
if(NOT status STREQUAL "1")
  message(FATAL_ERROR "expected exit status 1 (alerts raised), got ${status}:\n${errors}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT}/faulty-alerts.jsonl
                        ${SOURCE}/examples/expected-faulty-alerts.jsonl
                RESULT_VARIABLE different)
if(different)
  message(FATAL_ERROR "${OUT}/faulty-alerts.jsonl differs from examples/expected-faulty-alerts.jsonl")
endif()
