# Warnings for the project's own targets (not for GoogleTest built from source).
function(orvane_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wno-unused-parameter)
endfunction()
