# The library loader tests load the English resource library by path and from copies.
add_dependencies(platform_library_test cgires_en)
target_compile_definitions(platform_library_test PRIVATE CGIRES_EN="$<TARGET_FILE:cgires_en>")
