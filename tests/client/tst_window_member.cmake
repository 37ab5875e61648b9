# Starting an acceleration runs the key-pair program found beside the suite; the suite copies the real one there.
add_dependencies(${TEST_TARGET} pairgen)
target_compile_definitions(${TEST_TARGET} PRIVATE PAIRGEN_PATH="$<TARGET_FILE:pairgen>")
