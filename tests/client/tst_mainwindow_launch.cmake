# The suite runs the real key-pair program, copied beside itself at test time.
add_dependencies(${TEST_TARGET} pairgen)
target_compile_definitions(${TEST_TARGET} PRIVATE PAIRGEN_PATH="$<TARGET_FILE:pairgen>")
