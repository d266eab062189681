# Warnings for the project's own targets (not for GoogleTest built from source).
function(orvane_warnings target)
    # Only for C and C++: a target may hold resource scripts, whose compiler takes no warnings.
    if(MSVC)
        target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:/W4>)
    else()
        target_compile_options(${target} PRIVATE
            $<$<COMPILE_LANGUAGE:C,CXX>:-Wall -Wextra -Wshadow -Wno-unused-parameter>)
    endif()
endfunction()
