// The JNI glue against a recording JNIEnv: which JNI functions the array
// methods call, in which order, and what they do when an array is null or
// cannot be obtained. Unused slots of the function table are null, so any
// other JNI call crashes the test.
#include <gtest/gtest.h>
#include <jni.h>

#include <string>
#include <vector>

#include "kelvo4/Kelvo4.h"
#include "org_kelvo_Kelvo4_Decoder_KelvoDecoder.h"

namespace {

struct FakeArray {
  std::string name;
  std::vector<signed char> bytes;
  std::vector<float> floats;
  bool refuse = false;  // the VM cannot give access to the elements
};

// The calls made so far, e.g. "len(p) pin(p) unpin(p)": len is GetArrayLength,
// pin/unpin the critical regions, get/release the float elements.
std::string calls;

void record(const std::string& call) { calls += (calls.empty() ? "" : " ") + call; }
FakeArray* fake(jarray a) { return reinterpret_cast<FakeArray*>(a); }

jsize JNICALL getArrayLength(JNIEnv*, jarray a) {
  record("len(" + fake(a)->name + ")");
  return static_cast<jsize>(fake(a)->bytes.size() + fake(a)->floats.size());  // only one of them is filled
}

// A non-null isCopy, a release with another pointer than the one handed out,
// or a release mode other than 0 shows up in the record.
template <typename T>
T* get(const char* what, jarray a, jboolean* isCopy, T* data) {
  record(what + fake(a)->name + (isCopy ? " isCopy)" : ")"));
  return fake(a)->refuse ? nullptr : data;
}
void release(const char* what, jarray a, const void* p, const void* data, jint mode) {
  record(what + fake(a)->name + (p == data ? "" : " foreign") + (mode ? " mode " + std::to_string(mode) : "") + ")");
}

void* JNICALL getCritical(JNIEnv*, jarray a, jboolean* c) { return get("pin(", a, c, fake(a)->bytes.data()); }
void JNICALL releaseCritical(JNIEnv*, jarray a, void* p, jint mode) {
  release("unpin(", a, p, fake(a)->bytes.data(), mode);
}
jfloat* JNICALL getFloats(JNIEnv*, jfloatArray a, jboolean* c) { return get("get(", a, c, fake(a)->floats.data()); }
void JNICALL releaseFloats(JNIEnv*, jfloatArray a, jfloat* p, jint mode) {
  release("release(", a, p, fake(a)->floats.data(), mode);
}

JNIEnv* fakeEnv() {
  static JNINativeInterface_ functions{};
  functions.GetArrayLength = getArrayLength;
  functions.GetFloatArrayElements = getFloats;
  functions.ReleaseFloatArrayElements = releaseFloats;
  functions.GetPrimitiveArrayCritical = getCritical;
  functions.ReleasePrimitiveArrayCritical = releaseCritical;
  static JNIEnv env{&functions};
  return &env;
}
JNIEnv* const env = fakeEnv();

TEST(JniGlue, DecodeFramePinsInOrderAndNothingWhenRejected) {
  constexpr int null = -1;
  const struct {
    int payloadLength, outputLength;
    jboolean convert;
    bool refusePayload, refuseOutput, decodes;
    const char* calls;
  } cases[] = {
      {384, 768, 2, false, false, true, "len(p) len(o) pin(p) pin(o) unpin(p) unpin(o)"},  // any non-zero flag converts
      {384, null, JNI_FALSE, false, false, true, "len(p) pin(p) unpin(p)"},  // output unused without conversion
      {383, 768, JNI_TRUE, false, false, false, "len(p)"},
      {null, 768, JNI_TRUE, false, false, false, ""},
      {384, 769, JNI_TRUE, false, false, false, "len(p) len(o)"},
      {384, null, JNI_TRUE, false, false, false, "len(p)"},
      {384, 768, JNI_TRUE, true, false, false, "len(p) len(o) pin(p)"},
      {384, 768, JNI_TRUE, false, true, false, "len(p) len(o) pin(p) pin(o) unpin(p)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.calls);
    ASSERT_TRUE(reinitDLL(16, 16));
    calls.clear();
    FakeArray payload{
        "p", std::vector<signed char>(c.payloadLength == null ? 0 : c.payloadLength), {}, c.refusePayload};
    FakeArray output{
        "o", std::vector<signed char>(c.outputLength == null ? 768 : c.outputLength, 7), {}, c.refuseOutput};
    short* before = oldfr;
    Java_org_kelvo_Kelvo4_Decoder_KelvoDecoder_decodeFrame(
        env, nullptr, c.payloadLength == null ? nullptr : reinterpret_cast<jbyteArray>(&payload),
        c.outputLength == null ? nullptr : reinterpret_cast<jbyteArray>(&output), c.convert);
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(oldfr != before, c.decodes);
    // The initial frame converts to 0, 0, 255; an ignored call keeps the fill.
    EXPECT_EQ(output.bytes[2], c.decodes && c.convert ? -1 : 7);
  }
}

TEST(JniGlue, SetQuantizationTableIgnoresWrongLengthsNullAndRefusedAccess) {
  auto set = [](FakeArray* t) {
    Java_org_kelvo_Kelvo4_Decoder_KelvoDecoder_setQuantizationTable(env, nullptr, reinterpret_cast<jfloatArray>(t));
  };
  FakeArray table{"t", {}, std::vector<float>(64, 3.9f)};
  calls.clear();
  set(&table);
  EXPECT_EQ(calls, "len(t) get(t) release(t)");
  EXPECT_EQ(quant[63], 3);

  FakeArray shortTable{"t", {}, std::vector<float>(63, 9.0f)};
  FakeArray refused{"t", {}, std::vector<float>(64, 9.0f), true};
  calls.clear();
  set(&shortTable);
  set(nullptr);
  set(&refused);
  EXPECT_EQ(calls, "len(t) len(t) get(t)");
  EXPECT_EQ(quant[0], 3);
}

}  // namespace
