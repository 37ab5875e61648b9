# Starting an acceleration runs the key-pair program found beside the suite; the suite copies the real
# one there, behind a wrapper that keeps the keys it printed.
add_dependencies(${TEST_TARGET} pairgen)
target_compile_definitions(${TEST_TARGET} PRIVATE PAIRGEN_PATH="$<TARGET_FILE:pairgen>")
