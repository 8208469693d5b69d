# Sanitizer builds. VELMORA_SANITIZE holds the -fsanitize= list (presets linux-asan,
# linux-tsan, linux-fuzz); every target is then instrumented, googletest included, except
# those handed to velmora_unsanitized().
set(VELMORA_SANITIZE "" CACHE STRING
    "Sanitizers for every target, as for -fsanitize= (empty: none)")

set(VELMORA_SANITIZER_COMPILE_OPTIONS)
set(VELMORA_SANITIZER_LINK_OPTIONS)
if(VELMORA_SANITIZE)
  set(VELMORA_SANITIZER_COMPILE_OPTIONS
    -fsanitize=${VELMORA_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  set(VELMORA_SANITIZER_LINK_OPTIONS -fsanitize=${VELMORA_SANITIZE})
  add_compile_options(${VELMORA_SANITIZER_COMPILE_OPTIONS})
  add_link_options(${VELMORA_SANITIZER_LINK_OPTIONS})
endif()

# Builds target without instrumentation: plug-ins that fault on purpose would otherwise be
# stopped by the sanitizer's report before the library's fault guard ever saw the fault.
function(velmora_unsanitized target)
  foreach(property COMPILE_OPTIONS LINK_OPTIONS)
    get_target_property(options ${target} ${property})
    if(options)
      list(REMOVE_ITEM options ${VELMORA_SANITIZER_COMPILE_OPTIONS})
      set_target_properties(${target} PROPERTIES ${property} "${options}")
    endif()
  endforeach()
endfunction()
