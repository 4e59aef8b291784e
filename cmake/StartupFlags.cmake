# Compile and link flags that keep the start of a page process cheap.
#
# Every console page is a process per request that loads libcgishare.so before main, so what
# the dynamic loader does for the library - mapping it, reading its relocations, binding its
# symbols, touching its data pages - is paid on every request. bench/README.md has the figures.
#
# - Sections per function and per object, collected by the linker (--gc-sections): the
#   archive of the platform layer and the library's own objects bring only what the exported
#   functions reach.
# - -fno-semantic-interposition and -Bsymbolic-functions: the library's calls to its own
#   exported functions go straight to them instead of through the PLT and a lazy binding each.
#   A page cannot replace a library function by defining one of the same name (it never
#   could on the original platform either). Data is still bound through the global scope, so
#   copy relocations in pages stay correct.
# - -O1 (an optimised symbol hash table), --as-needed (no dependency that nothing uses).
# - Packed relative relocations (DT_RELR, binutils 2.38 / glibc 2.36) where the linker has
#   them: the loader reads a few hundred bytes instead of 24 bytes per relocated pointer.
#
# Lazy binding stays: a page calls a small part of the exported functions, and binding all
# of them at load (-z now) costs a symbol lookup each for nothing.
include(CheckLinkerFlag)
check_linker_flag(CXX "-Wl,-z,pack-relative-relocs" CGISHARE_HAVE_PACKED_RELOCS)

function(cgishare_startup_compile_flags target)
    target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections
                                             -fno-semantic-interposition)
endfunction()

function(cgishare_startup_link_flags target)
    target_link_options(${target} PRIVATE -Wl,-O1 -Wl,--as-needed -Wl,--gc-sections
                                          -Wl,-Bsymbolic-functions)
    if(CGISHARE_HAVE_PACKED_RELOCS)
        target_link_options(${target} PRIVATE -Wl,-z,pack-relative-relocs)
    endif()
endfunction()
