# Resource libraries the resource tests bind besides the two real languages: language numbers
# written in each notation strtol accepts, and a library without the string entry.
set(RESOURCE_FIXTURES ${CMAKE_CURRENT_BINARY_DIR}/config/fixtures)
foreach(name lang_octal lang_no_sub lang_decimal)
    cgires_add_library(fixture_cgires_${name} ${CMAKE_CURRENT_SOURCE_DIR}/config/fixtures/${name}.txt
                       CP1252 ${RESOURCE_FIXTURES}/${name})
endforeach()
add_library(fixture_cgires_no_entry MODULE ${CMAKE_CURRENT_SOURCE_DIR}/config/fixtures/no_entry.cpp)
set_target_properties(fixture_cgires_no_entry PROPERTIES
    PREFIX "" OUTPUT_NAME CGIRes SUFFIX ".so"
    LIBRARY_OUTPUT_DIRECTORY ${RESOURCE_FIXTURES}/no_entry)
cgishare_warnings(fixture_cgires_no_entry)

add_dependencies(config_resource_test cgires_en cgires_ja fixture_cgires_lang_octal
                 fixture_cgires_lang_no_sub fixture_cgires_lang_decimal fixture_cgires_no_entry)
target_compile_definitions(config_resource_test PRIVATE
    CGIRES_EN="$<TARGET_FILE:cgires_en>"
    CGIRES_JA="$<TARGET_FILE:cgires_ja>"
    CGIRES_OCTAL="$<TARGET_FILE:fixture_cgires_lang_octal>"
    CGIRES_NO_SUB="$<TARGET_FILE:fixture_cgires_lang_no_sub>"
    CGIRES_DECIMAL="$<TARGET_FILE:fixture_cgires_lang_decimal>"
    CGIRES_NO_ENTRY="$<TARGET_FILE:fixture_cgires_no_entry>")

