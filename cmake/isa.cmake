# Vector code, one file per instruction set, for the library's ISA folders and
# the encoder's alike:
#
#   kelvo4_isa_sources(<target> <isa> <file>...)
#
# adds the files to target, built for isa (mmx, sse, sse2, ssse3, avx2,
# neon). On x86-64 MMX, SSE and SSE2, and on aarch64 NEON, are the baseline
# and the files need no flag. Every other file is above the baseline: it gets
# its instruction set here and nowhere else, its functions run only after
# cpuFlags() has said yes, its helpers have internal linkage, and it is
# listed (file, then flag) in the global property KELVO4_ISA_SOURCES, which
# tests/isa builds once more without optimisation.
function(kelvo4_isa_sources target isa)
  if(isa STREQUAL "neon")
    set(flag -mfpu=neon)
  else()
    set(flag -m${isa})
  endif()
  if(CMAKE_SIZEOF_VOID_P EQUAL 8 AND isa MATCHES "^(mmx|sse|sse2|neon)$")
    set(flag "")
  endif()
  foreach(file IN LISTS ARGN)
    get_filename_component(file ${file} ABSOLUTE)
    target_sources(${target} PRIVATE ${file})
    if(flag)
      set_source_files_properties(${file} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS ${flag})
      set_property(GLOBAL APPEND PROPERTY KELVO4_ISA_SOURCES ${file} ${flag})
    endif()
  endforeach()
endfunction()
