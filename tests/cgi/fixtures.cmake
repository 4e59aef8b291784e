# The message page tests write their labels and footer links from the English library.
add_dependencies(cgi_html_page_test cgires_en)
target_compile_definitions(cgi_html_page_test PRIVATE CGIRES_EN="$<TARGET_FILE:cgires_en>")
