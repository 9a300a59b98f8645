# Checks that the library exports exactly the expected dynamic symbols.
# Run with -DNM=<nm> -DLIBRARY=<libKelvo4.so>.
set(expected
  JNI_OnLoad
  Java_org_kelvo_Kelvo4_Decoder_KelvoDecoder_decodeFrame
  Java_org_kelvo_Kelvo4_Decoder_KelvoDecoder_reinitDLL
  Java_org_kelvo_Kelvo4_Decoder_KelvoDecoder_setQuantizationTable
  Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_close
  Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_decode
  Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_decodeArgb
  Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_decodeDirect
  Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_decodeRegion
  Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_decodeRegionArgb
  Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_open
  Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_reinit
  Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_setTable
  Java_org_kelvo_Kelvo4_Decoder_KelvoStreamReader_decompress
  Vrel_Dct16_MMX
  kelvo4_decoder_close kelvo4_decoder_decode kelvo4_decoder_decode_argb kelvo4_decoder_decode_region kelvo4_decoder_frame
  kelvo4_decoder_height kelvo4_decoder_open kelvo4_decoder_reinit kelvo4_decoder_set_table kelvo4_decoder_width
  Vrel_IDct16_MMX
  _Z11decodeFramePKaiPaib
  _Z12internalIDCTPKai
  _Z15Vrel_IDct16_MMXPs
  _Z20setQuantizationTablePKfi
  _Z6smoothPsS_
  _Z7addTilePKaPs
  _Z9decodeYUVPsPa
  _Z9reinitDLLii
  height in oldfr oldoldfr quant width width3)

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
