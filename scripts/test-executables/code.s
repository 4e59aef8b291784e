# The code section of every test executable: a start routine that returns 0. The same
# instructions assemble for i386 and x86-64.
        .text
        .globl start
start:
        xorl    %eax, %eax
        ret
