# The entry of the stand-in signing library that breaks the rules a caller may rely on
# (32-bit x86, GNU assembler): a __stdcall SignApp (it removes its three arguments from the
# stack) that signs like the others and then returns with ebx, esi, edi and ebp changed.

        .text
        .globl  _SignApp@12
        .def    _SignApp@12; .scl 2; .type 32; .endef
        .p2align 4
_SignApp@12:
        pushl   12(%esp)                # end
        pushl   12(%esp)                # start (one push later, at the same offset)
        pushl   12(%esp)                # image
        call    _KespSignImage
        addl    $12, %esp
        movl    $0x0BADF00D, %ebx
        movl    $0x0BADF00D, %esi
        movl    $0x0BADF00D, %edi
        movl    $0x0BADF00D, %ebp
        ret     $12
