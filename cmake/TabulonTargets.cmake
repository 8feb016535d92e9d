# Per-target settings shared by every target of the project.

function(tabulon_set_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /permissive- /utf-8)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow)
  endif()
endfunction()

function(tabulon_enable_sanitizers target)
  if(TABULON_SANITIZE AND NOT MSVC)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

function(tabulon_enable_thread_sanitizer target)
  if(TABULON_SANITIZE_THREAD AND NOT MSVC)
    target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=thread)
  endif()
endfunction()

function(tabulon_configure_target target)
  tabulon_set_warnings(${target})
  tabulon_enable_sanitizers(${target})
  tabulon_enable_thread_sanitizer(${target})
endfunction()
