# The signing call's thunk on 32-bit x86 Windows (GNU assembler, AT&T syntax).
#
#   int OrvaneSignCallThunk(SignAppFn signApp, uint8_t* image, uint32_t start, uint32_t end)
#   (__cdecl)
#
# A signing library may be __cdecl (the caller removes the three arguments) or __stdcall (the
# library removes them), and a badly built one may leave ebx, esi, edi or ebp changed.  The
# thunk saves those four registers on its stack and the stack pointer in a static slot, which
# it can reach afterwards without any register; it then calls the entry with the three
# arguments on a 16-byte aligned stack, and puts everything back from the slot, whatever the
# entry did to esp and the registers.  The caller (sign_call_win32_x86.cpp) lets one call at a
# time use the slot.

        .text
        .globl  _OrvaneSignCallThunk
        .def    _OrvaneSignCallThunk; .scl 2; .type 32; .endef
        .p2align 4
_OrvaneSignCallThunk:
        pushl   %ebp
        pushl   %ebx
        pushl   %esi
        pushl   %edi
        movl    %esp, _orvane_sign_call_saved_esp
        movl    %esp, %ebp              # the arguments: signApp at 20(%ebp), then image,
                                        # start and end at 24, 28 and 32
        andl    $-16, %esp              # aligned at the call once the 3 arguments are pushed
        subl    $4, %esp
        pushl   32(%ebp)                # end
        pushl   28(%ebp)                # start
        pushl   24(%ebp)                # image
        call    *20(%ebp)
        movl    _orvane_sign_call_saved_esp, %esp
        cld                             # the direction flag as the convention wants it
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret

        .bss
        .p2align 2
_orvane_sign_call_saved_esp:
        .space  4
