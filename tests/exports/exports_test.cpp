// Loads libKelvo4.so (Kelvo4.dll) into a program that defines some of the
// library's exported names itself, and checks that the library keeps to its
// own state and code; on Windows also that the DLL loads with what every
// Windows has and gives its data by name.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <string>
#include <thread>
#include <vector>

// Exported from this program (-rdynamic) under the library's names. If the
// library's references to them could be interposed, it would read and write
// these instead of its own.
int width = 12345;
short* in = nullptr;
int smoothCalls = 0;
void smooth(short*, short*) { ++smoothCalls; }

namespace {

// Loaded once and never closed, like a JVM does: the frame buffers belong to
// the library's state until the process ends.
template <typename T>
T symbol(const char* name) {
#ifdef _WIN32
  static HMODULE library = LoadLibraryA(KELVO4_LIBRARY);
  EXPECT_NE(library, nullptr) << "LoadLibrary error " << GetLastError();
  return library ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(library, name))) : nullptr;
#else
  static void* library = dlopen(KELVO4_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  EXPECT_NE(library, nullptr) << dlerror();
  return library ? reinterpret_cast<T>(dlsym(library, name)) : nullptr;
#endif
}

TEST(Exports, LibraryKeepsItsOwnStateBesideSameNamedSymbols) {
  auto reinit = symbol<bool (*)(int, int)>("_Z9reinitDLLii");
  auto setTable = symbol<void (*)(const float*, int)>("_Z20setQuantizationTablePKfi");
  auto decode = symbol<void (*)(const signed char*, int, signed char*, int, bool)>("_Z11decodeFramePKaiPaib");
  auto libWidth = symbol<int*>("width");
  auto libIn = symbol<short**>("in");
  ASSERT_TRUE(reinit && setTable && decode && libWidth && libIn);
  ASSERT_NE(libWidth, &width);

  ASSERT_TRUE(reinit(16, 16));
  std::vector<float> table(64, 0.0f);
  setTable(table.data(), 64);
  std::vector<signed char> payload(384), output(768, 7);
  decode(payload.data(), 384, output.data(), 768, true);

  EXPECT_EQ(*libWidth, 16);
  EXPECT_NE(*libIn, nullptr);
  EXPECT_EQ(width, 12345);
  EXPECT_EQ(in, nullptr);
  // The library's own filter ran: this program's one would leave the frame
  // unfilled and count the call.
  EXPECT_EQ(smoothCalls, 0);
  for (int i = 0; i < 768; ++i) ASSERT_EQ(output[i], i % 3 == 2 ? -1 : 0) << i;
}

// A failure inside the library unwinds through the library's own C++ runtime
// (linked in on Linux) and comes back as a status and a message, kept per
// thread, on a thread that then ends.
TEST(Exports, FailureInsideTheLibraryBecomesAStatus) {
  auto open = symbol<int (*)(void**, const char*, int)>("kelvo4_stream_open_file");
  auto error = symbol<const char* (*)(const void*)>("kelvo4_stream_error");
  ASSERT_TRUE(open && error);
  int status = 0;
  std::string message;
  std::thread([&] {
    void* stream = &status;
    status = open(&stream, KELVO4_LIBRARY, 2);  // a library, not a stream
    message = error(nullptr);
    if (stream) status = 0;
  }).join();
  EXPECT_NE(status, 0);
  EXPECT_NE(message.find(KELVO4_LIBRARY), std::string::npos) << message;
}

}  // namespace
