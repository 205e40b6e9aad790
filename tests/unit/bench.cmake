# The benchmark command (bench/run.sh) as a smoke test of the host build: a
# 256 KiB image, short runs, its table in a temporary file. It checks that
# every figure was produced, never how fast anything was; it takes seconds.
if(NOT UPG_TARGET_MIPSEL AND NOT UPG_SANITIZE AND NOT UPG_FUZZ AND TARGET upgrader AND TARGET simdev
   AND TARGET bench_copies AND TARGET bench_burn_screen AND TARGET bench_romcheck AND TARGET bench_progress)
  add_test(NAME bench_smoke COMMAND bash ${PROJECT_SOURCE_DIR}/bench/run.sh --smoke)
  set_tests_properties(bench_smoke PROPERTIES
    ENVIRONMENT "BENCH_HOST_DIR=${CMAKE_BINARY_DIR};BENCH_NO_BUILD=1"
    TIMEOUT 300)
endif()
