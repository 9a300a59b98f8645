# Checks that the library exports exactly the expected dynamic symbols and
# that its soname is its file name.
# Run with -DNM=<nm> -DOBJDUMP=<objdump> -DLIBRARY=<libKelvo4.so>.
set(expected JNI_OnLoad Vrel_Dct16_MMX Vrel_IDct16_MMX height in oldfr oldoldfr quant width width3
  _Z11decodeFramePKaiPaib _Z12internalIDCTPKai _Z15Vrel_IDct16_MMXPs _Z20setQuantizationTablePKfi _Z6smoothPsS_
  _Z7addTilePKaPs _Z9decodeYUVPsPa _Z9reinitDLLii)
foreach(f close decode decode_argb decode_region frame height open reinit set_table width)
  list(APPEND expected kelvo4_decoder_${f})
endforeach()
foreach(m KelvoDecoder_decodeFrame KelvoDecoder_reinitDLL KelvoDecoder_setQuantizationTable KelvoStreamReader_decompress)
  list(APPEND expected Java_org_kelvo_Kelvo4_Decoder_${m})
endforeach()
foreach(m close decode decodeArgb decodeDirect decodeRegion decodeRegionArgb open reinit setTable)
  list(APPEND expected Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_${m})
endforeach()

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(exported)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ ]+)$")
    list(APPEND exported ${CMAKE_MATCH_1})
  endif()
endforeach()

set(missing ${expected})
list(REMOVE_ITEM missing ${exported})
set(extra ${exported})
list(REMOVE_ITEM extra ${expected})
if(missing OR extra)
  message(FATAL_ERROR "libKelvo4.so exports differ\n  missing: ${missing}\n  extra: ${extra}")
endif()
list(LENGTH exported count)
message(STATUS "libKelvo4.so exports exactly the ${count} expected symbols")

execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE headers)
if(NOT headers MATCHES "SONAME +libKelvo4\\.so\n")
  message(FATAL_ERROR "the soname of libKelvo4.so is not libKelvo4.so")
endif()
