# The suite also starts the real program, to see it come up with arguments it does not know.
add_dependencies(${TEST_TARGET} Zumvari)
target_compile_definitions(${TEST_TARGET} PRIVATE ZUMVARI_PROGRAM="$<TARGET_FILE:Zumvari>")
