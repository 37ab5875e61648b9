# The suite copies the real key-pair program beside itself at test time.
add_dependencies(${TEST_TARGET} pairgen)
target_compile_definitions(${TEST_TARGET} PRIVATE PAIRGEN_PATH="$<TARGET_FILE:pairgen>")
