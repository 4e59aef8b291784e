# Warnings are errors in every target of this project.
function(cgishare_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Werror
        -Wshadow -Wnon-virtual-dtor -Wcast-align -Wunused -Woverloaded-virtual
        -Wnull-dereference -Wformat=2 -Wimplicit-fallthrough -Wmissing-declarations)
endfunction()
