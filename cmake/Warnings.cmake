# Our own targets build warning-free with these; third-party code (GoogleTest) keeps its own.
# Only the compilers get them: the resource compiler of the Windows build knows none of them.
function(orbtray_warnings target)
    target_compile_options(${target} PRIVATE
        $<$<COMPILE_LANGUAGE:C,CXX>:-Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wformat=2
                                    -Wno-format-nonliteral>)
endfunction()
