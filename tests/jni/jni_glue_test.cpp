// The JNI glue against a recording JNIEnv: which JNI functions each native
// method calls, with which arguments and in which order, and what it does when
// an array is null or cannot be obtained. Unused slots of the function table
// are null, so any other JNI call crashes the test.
#include <gtest/gtest.h>
#include <jni.h>

#include <string>
#include <utility>
#include <vector>

#include "Kelvo4.h"
#include "org_kelvo_Kelvo4_Decoder_KelvoDecoder.h"

namespace {

struct FakeArray {
  std::string name;
  std::vector<signed char> bytes;
  std::vector<float> floats;
  bool refuse;  // the VM cannot give access to the elements

  FakeArray(std::string n, std::size_t length, signed char fill = 0)
      : name(std::move(n)), bytes(length, fill), refuse(false) {}
  FakeArray(std::size_t length, float fill, bool refused = false)
      : name("table"), floats(length, fill), refuse(refused) {}
};

std::vector<std::string> calls;

FakeArray* fake(jarray a) { return reinterpret_cast<FakeArray*>(a); }
std::string ptrArg(const void* p) { return p ? "ptr" : "null"; }

jsize JNICALL getArrayLength(JNIEnv*, jarray a) {
  calls.push_back("GetArrayLength " + fake(a)->name);
  return static_cast<jsize>(fake(a)->name == "table" ? fake(a)->floats.size() : fake(a)->bytes.size());
}
void* JNICALL getCritical(JNIEnv*, jarray a, jboolean* isCopy) {
  calls.push_back("GetPrimitiveArrayCritical " + fake(a)->name + " " + ptrArg(isCopy));
  return fake(a)->refuse ? nullptr : fake(a)->bytes.data();
}
void JNICALL releaseCritical(JNIEnv*, jarray a, void* p, jint mode) {
  calls.push_back("ReleasePrimitiveArrayCritical " + fake(a)->name + " " +
                  (p == fake(a)->bytes.data() ? "same" : "other") + " " + std::to_string(mode));
}
jfloat* JNICALL getFloats(JNIEnv*, jfloatArray a, jboolean* isCopy) {
  calls.push_back("GetFloatArrayElements " + fake(a)->name + " " + ptrArg(isCopy));
  return fake(a)->refuse ? nullptr : fake(a)->floats.data();
}
void JNICALL releaseFloats(JNIEnv*, jfloatArray a, jfloat* p, jint mode) {
  calls.push_back("ReleaseFloatArrayElements " + fake(a)->name + " " +
                  (p == fake(a)->floats.data() ? "same" : "other") + " " + std::to_string(mode));
}
jclass JNICALL findClass(JNIEnv*, const char* name) {
  calls.push_back(std::string("FindClass ") + name);
  return reinterpret_cast<jclass>(&calls);
}
jint JNICALL throwNew(JNIEnv*, jclass, const char*) {
  calls.push_back("ThrowNew");
  return 0;
}

struct FakeEnv {
  JNINativeInterface_ table{};
  JNIEnv env{};
  FakeEnv() {
    table.GetArrayLength = getArrayLength;
    table.GetPrimitiveArrayCritical = getCritical;
    table.ReleasePrimitiveArrayCritical = releaseCritical;
    table.GetFloatArrayElements = getFloats;
    table.ReleaseFloatArrayElements = releaseFloats;
    table.FindClass = findClass;
    table.ThrowNew = throwNew;
    env.functions = &table;
    calls.clear();
  }
};

jbyteArray bytes(FakeArray& a) { return reinterpret_cast<jbyteArray>(&a); }

class JniGlue : public ::testing::Test {
 protected:
  FakeEnv fakeEnv;
  JNIEnv* env = &fakeEnv.env;
  FakeArray payload{"payload", 384};
  FakeArray output{"output", 768, 7};

  void SetUp() override {
    ASSERT_TRUE(reinitDLL(16, 16));
    calls.clear();
  }
  void decode(jbyteArray p, jbyteArray o, jboolean convert) {
    Java_org_kelvo_Kelvo4_Decoder_KelvoDecoder_decodeFrame(env, nullptr, p, o, convert);
  }
};

using Calls = std::vector<std::string>;

TEST_F(JniGlue, DecodeFramePinsInOrderAndReleasesWithModeZero) {
  short* previous = oldfr;
  decode(bytes(payload), bytes(output), 2);  // any non-zero flag converts
  EXPECT_EQ(calls, (Calls{"GetArrayLength payload", "GetArrayLength output",
                          "GetPrimitiveArrayCritical payload null", "GetPrimitiveArrayCritical output null",
                          "ReleasePrimitiveArrayCritical payload same 0",
                          "ReleasePrimitiveArrayCritical output same 0"}));
  EXPECT_EQ(oldoldfr, previous);
  EXPECT_EQ(output.bytes[2], -1);  // the initial frame converts to 0, 0, 255

  // Without conversion the output is not looked at; a null one is fine.
  calls.clear();
  decode(bytes(payload), nullptr, JNI_FALSE);
  EXPECT_EQ(calls, (Calls{"GetArrayLength payload", "GetPrimitiveArrayCritical payload null",
                          "ReleasePrimitiveArrayCritical payload same 0"}));
  EXPECT_EQ(oldfr, previous);
}

TEST_F(JniGlue, RejectedDecodePinsNothingAndKeepsFrames) {
  short* current = oldfr;
  FakeArray shortPayload{"payload", 383};
  FakeArray longOutput{"output", 769};
  decode(bytes(shortPayload), bytes(output), JNI_TRUE);
  decode(nullptr, bytes(output), JNI_TRUE);
  decode(bytes(payload), bytes(longOutput), JNI_TRUE);
  decode(bytes(payload), nullptr, JNI_TRUE);
  EXPECT_EQ(calls, (Calls{"GetArrayLength payload", "GetArrayLength payload", "GetArrayLength output",
                          "GetArrayLength payload"}));
  EXPECT_EQ(oldfr, current);
  EXPECT_EQ(output.bytes[0], 7);
}

TEST_F(JniGlue, RefusedPinReleasesWhatWasObtainedAndDoesNotDecode) {
  short* current = oldfr;
  payload.refuse = true;
  decode(bytes(payload), bytes(output), JNI_TRUE);
  EXPECT_EQ(calls, (Calls{"GetArrayLength payload", "GetArrayLength output",
                          "GetPrimitiveArrayCritical payload null"}));
  payload.refuse = false;
  output.refuse = true;
  calls.clear();
  decode(bytes(payload), bytes(output), JNI_TRUE);
  EXPECT_EQ(calls, (Calls{"GetArrayLength payload", "GetArrayLength output",
                          "GetPrimitiveArrayCritical payload null", "GetPrimitiveArrayCritical output null",
                          "ReleasePrimitiveArrayCritical payload same 0"}));
  EXPECT_EQ(oldfr, current);
  EXPECT_EQ(output.bytes[0], 7);
}

TEST_F(JniGlue, SetQuantizationTable) {
  FakeArray table{64, 3.9f};
  auto set = [&](FakeArray* t) {
    Java_org_kelvo_Kelvo4_Decoder_KelvoDecoder_setQuantizationTable(env, nullptr,
                                                                    reinterpret_cast<jfloatArray>(t));
  };
  set(&table);
  EXPECT_EQ(calls, (Calls{"GetArrayLength table", "GetFloatArrayElements table null",
                          "ReleaseFloatArrayElements table same 0"}));
  EXPECT_EQ(quant[63], 3);

  // Wrong lengths, null and a refused access leave the table alone.
  calls.clear();
  FakeArray shortTable{63, 9.0f};
  FakeArray refused{64, 9.0f, true};
  set(&shortTable);
  set(nullptr);
  set(&refused);
  EXPECT_EQ(calls, (Calls{"GetArrayLength table", "GetArrayLength table", "GetFloatArrayElements table null"}));
  EXPECT_EQ(quant[0], 3);
}

TEST_F(JniGlue, ReinitThrowsOnlyForUnsupportedSizes) {
  Java_org_kelvo_Kelvo4_Decoder_KelvoDecoder_reinitDLL(env, nullptr, 8, 8);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(width, 8);
  Java_org_kelvo_Kelvo4_Decoder_KelvoDecoder_reinitDLL(env, nullptr, -1, 8);
  Java_org_kelvo_Kelvo4_Decoder_KelvoDecoder_reinitDLL(env, nullptr, 32768, 21846);  // 3wh = 2^31 + 96
  EXPECT_EQ(calls, (Calls{"FindClass java/lang/IllegalArgumentException", "ThrowNew",
                          "FindClass java/lang/IllegalArgumentException", "ThrowNew"}));
  EXPECT_EQ(width, 8);
  EXPECT_EQ(height, 8);
}

}  // namespace
