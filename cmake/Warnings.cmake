# Warnings are errors in every target of this project.
function(cgishare_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Werror
        -Wshadow -Wnon-virtual-dtor -Wcast-align -Wunused -Woverloaded-virtual
        -Wnull-dereference -Wformat=2 -Wimplicit-fallthrough -Wmissing-declarations)
    # GCC 12 at -O3 reports overlapping copies inside libstdc++'s own `"text" + std::string`,
    # a false positive that GCC 13 no longer gives; with it, an -O3 build could not be made.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
        target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
endfunction()
