# Our own targets build warning-free with these; third-party code (GoogleTest) keeps its own.
function(orbtray_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor
                                             -Wformat=2 -Wno-format-nonliteral)
endfunction()
