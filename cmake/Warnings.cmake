# Warnings for the project's own targets (not for GoogleTest built from source).
function(orvane_warnings target)
    # Only for C and C++: a target may hold resource scripts, whose compiler takes no warnings.
    target_compile_options(${target} PRIVATE
        $<$<COMPILE_LANGUAGE:C,CXX>:-Wall -Wextra -Wshadow -Wno-unused-parameter>)
endfunction()
