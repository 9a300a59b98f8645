// Loads libKelvo4.so into a program that defines some of the library's exported
// names itself, and checks that the library keeps to its own state and code.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <vector>

// Exported from this program (-rdynamic) under the library's names. If the
// library's references to them could be interposed, it would read and write
// these instead of its own.
int width = 12345;
int height = 777;
short* in = nullptr;
int smoothCalls = 0;
void smooth(short*, short*) { ++smoothCalls; }

namespace {

// Loaded once and never closed, like a JVM does: the frame buffers belong to
// the library's state until the process ends.
struct Library {
  void* handle = load();
  static void* load() {
    static void* h = dlopen(KELVO4_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    return h;
  }
  template <typename T>
  T get(const char* name) {
    return reinterpret_cast<T>(dlsym(handle, name));
  }
};

TEST(Exports, JniOnLoadReportsVersion14) {
  Library lib;
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  auto onLoad = lib.get<int (*)(void*, void*)>("JNI_OnLoad");
  ASSERT_NE(onLoad, nullptr);
  EXPECT_EQ(onLoad(nullptr, nullptr), 0x00010004);
}

TEST(Exports, LibraryKeepsItsOwnStateBesideSameNamedSymbols) {
  Library lib;
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  auto reinit = lib.get<bool (*)(int, int)>("_Z9reinitDLLii");
  auto setTable = lib.get<void (*)(const float*, int)>("_Z20setQuantizationTablePKfi");
  auto decode = lib.get<void (*)(const signed char*, int, signed char*, int, bool)>("_Z11decodeFramePKaiPaib");
  auto libWidth = lib.get<int*>("width");
  auto libIn = lib.get<short**>("in");
  ASSERT_TRUE(reinit && setTable && decode && libWidth && libIn);
  ASSERT_NE(libWidth, &width);
  ASSERT_NE(libIn, &in);

  ASSERT_TRUE(reinit(16, 16));
  std::vector<float> table(64, 0.0f);
  setTable(table.data(), 64);
  std::vector<signed char> payload(384), output(768, 7);
  decode(payload.data(), 384, output.data(), 768, true);

  EXPECT_EQ(*libWidth, 16);
  EXPECT_NE(*libIn, nullptr);
  EXPECT_EQ(width, 12345);
  EXPECT_EQ(height, 777);
  EXPECT_EQ(in, nullptr);
  // The library's own filter ran: this program's one would leave the frame
  // unfilled and count the call.
  EXPECT_EQ(smoothCalls, 0);
  for (int i = 0; i < 768; i += 3) {
    ASSERT_EQ(output[i], 0) << i;
    ASSERT_EQ(output[i + 1], 0) << i;
    ASSERT_EQ(static_cast<unsigned char>(output[i + 2]), 255) << i;
  }
}

}  // namespace
