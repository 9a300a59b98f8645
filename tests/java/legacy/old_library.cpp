// Stands in for an old libKelvo4.so: it exports KelvoDecoder's three natives
// only, as stubs. The loader must never pick it.
#define EXPORT extern "C" __attribute__((visibility("default")))
EXPORT void Java_org_kelvo_Kelvo4_Decoder_KelvoDecoder_reinitDLL(void*, void*, int, int) {}
EXPORT void Java_org_kelvo_Kelvo4_Decoder_KelvoDecoder_setQuantizationTable(void*, void*, void*) {}
EXPORT void Java_org_kelvo_Kelvo4_Decoder_KelvoDecoder_decodeFrame(void*, void*, void*, void*, unsigned char) {}
