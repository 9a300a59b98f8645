// The per-thread list of thread_local destructors that the portable Linux
// library keeps where glibc (before 2.18) has none of its own.
#ifdef KELVO4_PORTABLE_BUILD
#include <gtest/gtest.h>

#include <thread>
#include <vector>

extern "C" int kelvo4_thread_exit_list(void (*destructor)(void*), void* object);

namespace {

std::vector<int> ran;
int objects[3] = {1, 2, 3};

void record(void* object) { ran.push_back(*static_cast<int*>(object)); }
void recordAndAddOne(void* object) {
  record(object);
  kelvo4_thread_exit_list(record, &objects[2]);  // as a destructor that touches another thread_local
}

TEST(ThreadExitList, RunsAtThreadExitLastRegisteredFirstThenThoseAddedMeanwhile) {
  ran.clear();
  std::thread([] {
    ASSERT_EQ(kelvo4_thread_exit_list(record, &objects[0]), 0);
    ASSERT_EQ(kelvo4_thread_exit_list(recordAndAddOne, &objects[1]), 0);
    EXPECT_TRUE(ran.empty());
  }).join();
  EXPECT_EQ(ran, (std::vector<int>{2, 1, 3}));
}

}  // namespace
#endif
