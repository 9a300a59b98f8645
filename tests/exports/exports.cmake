# Checks that the library exports exactly the expected dynamic symbols and
# that its soname is its file name; for Kelvo4.dll, that it exports them
# by name (a 32-bit one the __stdcall functions by two) and imports nothing
# but DLLs every Windows has.
# Run with -DNM=<nm> -DOBJDUMP=<objdump> -DLIBRARY=<libKelvo4.so or Kelvo4.dll>.
set(expected JNI_OnLoad Vrel_Dct16_MMX Vrel_IDct16_MMX height in oldfr oldoldfr quant width width3
  _Z11decodeFramePKaiPaib _Z12internalIDCTPKai _Z15Vrel_IDct16_MMXPs _Z20setQuantizationTablePKfi _Z6smoothPsS_
  _Z7addTilePKaPs _Z9decodeYUVPsPa _Z9reinitDLLii)
foreach(f close decode decode_argb decode_into decode_region error frame height open open_with payload_length reinit
    set_table width)
  list(APPEND expected kelvo4_decoder_${f})
endforeach()
foreach(f close damage error get_info key_frames next next_into open_callback open_callback_limited
    open_callback_with open_file open_file_limited open_file_with peek position seek)
  list(APPEND expected kelvo4_stream_${f})
endforeach()
list(APPEND expected kelvo4_version)
foreach(m KelvoDecoder_decodeFrame KelvoDecoder_reinitDLL KelvoDecoder_setQuantizationTable)
  list(APPEND expected Java_org_kelvo_Kelvo4_Decoder_${m})
endforeach()
foreach(m close decode decodeArgb decodeDirect decodeRegion decodeRegionArgb open payloadLength reinit setTable
    sizeSupported)
  list(APPEND expected Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_${m})
endforeach()
foreach(m close damage info keyFrames nextArgb nextArgbInto nextRgb openFile openStream position seekTo)
  list(APPEND expected Java_org_kelvo_Kelvo4_Decoder_KelvoStreamReader_${m})
endforeach()

get_filename_component(file ${LIBRARY} NAME)
set(dll OFF)
if(file MATCHES "\\.dll$")
  set(dll ON)
endif()
if(dll)
  # objdump -p lists the export table's names as "[   N] NAME" lines.
  execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
  set(pattern "^\t\\[ *[0-9]+\\] ([^ ]+)$")
else()
  execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
  set(pattern "^[0-9a-fA-F]* *[A-Za-z] ([^ ]+)$")
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "listing the symbols of ${LIBRARY} failed")
endif()
# The names that PATTERN's first group takes from the lines of LISTING.
function(names_in listing pattern out)
  string(REGEX MATCHALL "[^\n]+" lines "${listing}")
  set(names)
  foreach(line IN LISTS lines)
    if(line MATCHES "${pattern}")
      list(APPEND names ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()
names_in("${listing}" "${pattern}" exported)
if(dll AND listing MATCHES "\nMagic[\t ]+010b")
  # A 32-bit DLL: every __stdcall function (JNI_OnLoad and the native
  # methods) also as _NAME@N, N the bytes of its arguments, a VM's first guess.
  set(stdcall ${expected})
  list(FILTER stdcall INCLUDE REGEX "^(Java_|JNI_OnLoad$)")
  foreach(name IN LISTS stdcall)
    set(decorated ${exported})
    list(FILTER decorated INCLUDE REGEX "^_${name}@[0-9]+$")
    if(NOT decorated)
      message(FATAL_ERROR "${file}: ${name} is not exported as _${name}@N too")
    endif()
    list(REMOVE_ITEM exported ${decorated})
  endforeach()
  list(LENGTH stdcall count)
  message(STATUS "${file} exports its ${count} __stdcall functions as _NAME@N too")
endif()

set(missing ${expected})
list(REMOVE_ITEM missing ${exported})
set(extra ${exported})
list(REMOVE_ITEM extra ${expected})
if(missing OR extra)
  message(FATAL_ERROR "${file} exports differ\n  missing: ${missing}\n  extra: ${extra}")
endif()
list(LENGTH exported count)
message(STATUS "${file} exports exactly the ${count} expected symbols")

if(dll)
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${listing}")
  string(REPLACE "DLL Name: " "" imports "${imports}")
  set(foreign ${imports})
  list(REMOVE_ITEM foreign KERNEL32.dll msvcrt.dll)
  if(foreign)
    message(FATAL_ERROR "${file} needs DLLs that Windows does not have: ${foreign}")
  endif()
  message(STATUS "${file} imports only ${imports}")
  return()
endif()

execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE headers)
if(NOT headers MATCHES "SONAME +libKelvo4\\.so\n")
  message(FATAL_ERROR "the soname of libKelvo4.so is not libKelvo4.so")
endif()

# What the library holds is what decodes: no zstd compressor, no coefficient
# encoder, none of the tools' platform functions, defined or called. The
# full symbol table where the library has one (it names local functions
# too), and the dynamic one besides.
execute_process(COMMAND ${NM} ${LIBRARY} OUTPUT_VARIABLE all ERROR_QUIET)
execute_process(COMMAND ${NM} -D ${LIBRARY} OUTPUT_VARIABLE dynamic)
# One pattern a line (CMake's expressions take at most nine groups).
set(forbidden
  "ZSTD_(compress|createCCtx|freeCCtx|CCtx_|CCtxParams_|createCDict|freeCDict|estimateC|sizeof_C|copyCCtx)"
  "ZSTD_[A-Za-z_]*CStream" "ZSTD_(flushStream|endStream|minCLevel|maxCLevel|defaultCLevel|getCParams|adjustCParams)"
  "ZDICT_" "(HUF|FSE)_(compress|buildCTable|writeCTable|writeNCount|normalizeCount|optimalTableLog)" "HIST_count"
  "CoefficientEncoder" "coefficients(13estimatedBits|10difference)E"
  "_GLOBAL__N_1[0-9]+(writeBlock|levelOf|costTable)E"
  "2os[0-9]+(onInterrupt|holdInterrupts|releaseInterrupts|startTool|createTemporary|moveOver|syncFile)E"
  "2os[0-9]+(removeFile|removeDirectory|makeDirectory|temporaryFolder|processId|sameFile|resolvedPath)E"
  "2os[0-9]+(writable|isTerminal|appendsOnly)E")
names_in("${all}\n${dynamic}" "^[0-9a-fA-F]* *[A-Za-z] ([^ ]+)$" names)
set(found)
foreach(pattern IN LISTS forbidden)
  set(matching ${names})
  list(FILTER matching INCLUDE REGEX "${pattern}")
  list(APPEND found ${matching})
endforeach()
if(found)
  list(REMOVE_DUPLICATES found)
  list(JOIN found "\n  " found)
  message(FATAL_ERROR "${file} holds or calls what only writing or the tools use:\n  ${found}")
endif()
message(STATUS "${file} holds no compressor, coefficient encoder or tool function")
