# Warnings and platform flags shared by every target.

set(VANTOR_WARNINGS -Wall -Wextra -Wno-unused-parameter)

if(WIN32)
  # Self-contained executables: no mingw runtime DLLs next to the title.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
endif()

if(VANTOR_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Adds the project's warning set to a target.
function(vantor_warnings target)
  target_compile_options(${target} PRIVATE ${VANTOR_WARNINGS})
endfunction()
