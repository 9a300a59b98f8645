# Kelvo4.def for 32-bit Windows: exports.def with each __stdcall function
# (the native methods and JNI_OnLoad, decorated NAME@N by the compiler, N the
# bytes of their arguments) exported by the two names a 32-bit VM looks up:
# _NAME@N, as other compilers export it, and the plain NAME. N is read from
# the compiled objects, whose signatures the javac headers fix.
# Run with -DNM=<nm> -DIN=<exports.def> -DOUT=<the .def to write> -DOBJECTS=<the JNI objects>.
execute_process(COMMAND ${NM} -g --defined-only ${OBJECTS} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "listing the symbols of ${OBJECTS} failed")
endif()
file(STRINGS ${IN} lines)
set(out)
foreach(line IN LISTS lines)
  if(line MATCHES "^  ((Java_|JNI_OnLoad)[A-Za-z0-9_]*)$")
    set(name ${CMAKE_MATCH_1})
    # i686 symbols carry a leading underscore: _NAME@N is NAME@N to the linker.
    if(NOT symbols MATCHES " _${name}@([0-9]+)\n")
      message(FATAL_ERROR "${OBJECTS} define no __stdcall ${name}")
    endif()
    string(APPEND out "  ${name} = ${name}@${CMAKE_MATCH_1}\n  _${name}@${CMAKE_MATCH_1} = ${name}@${CMAKE_MATCH_1}\n")
  else()
    string(APPEND out "${line}\n")
  endif()
endforeach()
file(WRITE ${OUT}.new "${out}")
file(COPY_FILE ${OUT}.new ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.new)
