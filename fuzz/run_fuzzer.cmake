# Runs one fuzz target for SECONDS from a fresh copy of its seed corpus in WORK,
# so the checked-in seeds never change; a crash leaves its input in WORK/artifacts.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(GLOB seeds ${SEEDS}/*)
if(NOT seeds)
  message(FATAL_ERROR "no seeds in ${SEEDS}")
endif()
file(COPY ${seeds} DESTINATION ${WORK}/corpus)
execute_process(COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048
                        -print_final_stats=1 -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(GLOB found ${WORK}/artifacts/*)
  message(FATAL_ERROR "${FUZZER} failed (${result}); inputs: ${found}")
endif()
