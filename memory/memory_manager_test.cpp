#include "memory/memory_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "memory/buffer_pool.h"
#include "memory/child_process_for_test.h"

// The out-of-memory test asks for an impossible block on purpose; the
// sanitizers' allocators must answer it with null, as the C library does.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }

namespace tarn {
namespace {

const int kProbePassed = 42;

typedef MemoryManager<StatMemoryHeap<JEMalloc> > StatManager;
typedef MemoryManager<MemoryHeap<JEMalloc> > PlainManager;

// Keeps the compiler from eliding a new/delete pair.
void escape(void* pointer) { asm volatile("" : : "r"(pointer) : "memory"); }

MemoryStatistics statistics() {
  MemoryStatistics record{0, 0};
  memory_manager()->getStatistics(record);
  return record;
}

bool statistics_heap_expected() { return std::getenv("n8_dont_use_memory_stat") == nullptr; }

// Statistics, hooks and handler are process-wide: every test that touches
// them puts them back.
class StatManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!statistics_heap_expected()) GTEST_SKIP() << "plain heap selected by the environment";
    ASSERT_NE(dynamic_cast<StatManager*>(memory_manager()), nullptr);
  }
  void TearDown() override {
    memory_manager()->enableStatistics(false);
    memory_manager()->setHooks(nullptr, nullptr);
    memory_manager()->setOutOfMemoryHandler(nullptr);
  }
};

TEST_F(StatManagerTest, NewAndDeleteMoveTheCountersOnlyWhileStatisticsAreOn) {
  memory_manager()->enableStatistics(true);
  const MemoryStatistics before = statistics();
  // The vector and its elements, both through the wrapped operator (from a
  // template instantiated here, not from inside the C++ runtime).
  std::vector<int>* numbersVector = new std::vector<int>(100, 1);
  escape(numbersVector);
  const MemoryStatistics during = statistics();
  EXPECT_EQ(during.count - before.count, 2);
  EXPECT_GE(during.bytes - before.bytes, static_cast<std::int64_t>(sizeof(std::vector<int>) + 400));
  delete numbersVector;
  const MemoryStatistics after = statistics();
  EXPECT_EQ(after.count, before.count);
  EXPECT_EQ(after.bytes, before.bytes);

  int* numbers = new int[1000];
  escape(numbers);
  const MemoryStatistics array = statistics();
  EXPECT_EQ(array.count - after.count, 1);
  EXPECT_EQ(array.bytes - after.bytes,
            static_cast<std::int64_t>(memory_manager()->heap()->usableSize(numbers)));
  delete[] numbers;

  memory_manager()->enableStatistics(false);
  const MemoryStatistics off = statistics();
  int* quiet = new int(3);
  escape(quiet);
  delete quiet;
  const MemoryStatistics stillOff = statistics();
  EXPECT_EQ(stillOff.count, off.count);
  EXPECT_EQ(stillOff.bytes, off.bytes);

  // addStatistics counts only while statistics are on, and takes negatives.
  memory_manager()->addStatistics(MemoryStatistics{5, 500});
  EXPECT_EQ(statistics().count, off.count);
  memory_manager()->enableStatistics(true);
  memory_manager()->addStatistics(MemoryStatistics{5, 500});
  memory_manager()->addStatistics(MemoryStatistics{-2, -200});
  EXPECT_EQ(statistics().count, off.count + 3);
  EXPECT_EQ(statistics().bytes, off.bytes + 300);
  memory_manager()->addStatistics(MemoryStatistics{-3, -300});
}

std::atomic<bool> g_refuse{false};
std::atomic<int> g_allocation_calls{0};
std::atomic<std::size_t> g_released_size{0};

bool refusing_hook(std::size_t) {
  ++g_allocation_calls;
  return !g_refuse.load();
}
void release_hook(std::size_t size) { g_released_size = size; }

bool new_int_throws_bad_alloc() {
  g_refuse = true;
  try {
    int* number = new int(7);
    g_refuse = false;
    escape(number);
    delete number;
    return false;
  } catch (const std::bad_alloc&) {
    g_refuse = false;
    return true;
  }
}

TEST_F(StatManagerTest, HooksSeeUsableSizesAndARefusalMakesNewThrow) {
  memory_manager()->setHooks(refusing_hook, release_hook);
  g_allocation_calls = 0;
  EXPECT_TRUE(new_int_throws_bad_alloc());
  EXPECT_EQ(g_allocation_calls.load(), 1);

  g_refuse = true;
  void* refused = details::alloc_nothrow(64);
  g_refuse = false;
  EXPECT_EQ(refused, nullptr);

  char* block = new char[200];
  escape(block);
  const std::size_t usable = memory_manager()->heap()->usableSize(block);
  EXPECT_GE(usable, 200u);
  delete[] block;
  EXPECT_EQ(g_released_size.load(), usable);
}

TEST_F(StatManagerTest, BufferPoolCannotGrowWhenTheHeapRefusesAChunk) {
  BufferPool pool(8192);
  memory_manager()->setHooks(refusing_hook, nullptr);
  g_refuse = true;
  EXPECT_THROW(pool.alloc(), std::bad_alloc);
  g_refuse = false;
  EXPECT_EQ(pool.chunkCount(), 0u);
  EXPECT_EQ(pool.freeCount(), 0u);
  void* block = pool.alloc();
  EXPECT_NE(block, nullptr);
  pool.free(block);
}

std::atomic<int> g_handler_calls{0};
void count_handler() { ++g_handler_calls; }

TEST_F(StatManagerTest, ImpossibleRequestCallsTheHandlerOnceThenThrows) {
  memory_manager()->setOutOfMemoryHandler(count_handler);
  g_handler_calls = 0;
  volatile std::size_t huge = std::size_t(1) << 60;
  EXPECT_THROW(escape(new char[huge]), std::bad_alloc);
  EXPECT_EQ(g_handler_calls.load(), 1);
  EXPECT_EQ(details::alloc_nothrow(huge), nullptr);
  EXPECT_EQ(g_handler_calls.load(), 2);
}

// A policy whose malloc fails a set number of times before it succeeds.
struct FlakyMalloc {
  static int failures;
  static int calls;
  static void* malloc(std::size_t size) {
    ++calls;
    if (failures > 0) {
      --failures;
      return nullptr;
    }
    return std::malloc(size);
  }
  static void free(void* pointer) { std::free(pointer); }
  static std::size_t usableSize(void* pointer) { return ::malloc_usable_size(pointer); }
};
int FlakyMalloc::failures = 0;
int FlakyMalloc::calls = 0;

TEST(StatMemoryHeap, OutOfMemoryHandlerRunsOnceAndTheAllocationIsRetriedOnce) {
  StatMemoryHeap<FlakyMalloc> heap;
  FlakyMalloc::failures = 1;
  FlakyMalloc::calls = 0;
  EXPECT_EQ(heap.alloc(16), nullptr);  // no handler: no retry
  EXPECT_EQ(FlakyMalloc::calls, 1);

  heap.setOutOfMemoryHandler(count_handler);
  g_handler_calls = 0;
  FlakyMalloc::failures = 1;
  FlakyMalloc::calls = 0;
  void* block = heap.alloc(16);
  EXPECT_NE(block, nullptr);
  EXPECT_EQ(g_handler_calls.load(), 1);
  EXPECT_EQ(FlakyMalloc::calls, 2);
  heap.free(block);

  g_handler_calls = 0;
  FlakyMalloc::failures = 2;
  FlakyMalloc::calls = 0;
  EXPECT_EQ(heap.alloc(16), nullptr);
  EXPECT_EQ(g_handler_calls.load(), 1);
  EXPECT_EQ(FlakyMalloc::calls, 2);
}

TEST(StatMemoryHeap, CountsUsableSizesOfLiveBlocks) {
  StatMemoryHeap<JEMalloc> heap;
  void* before = heap.alloc(10);
  heap.enableStatistics(true);
  void* a = heap.alloc(10);
  void* b = heap.alloc(1000);
  MemoryStatistics record{0, 0};
  heap.getStatistics(record);
  EXPECT_EQ(record.count, 2);
  EXPECT_EQ(record.bytes, static_cast<std::int64_t>(heap.usableSize(a) + heap.usableSize(b)));
  heap.free(a);
  heap.free(b);
  heap.free(nullptr);
  heap.getStatistics(record);
  EXPECT_EQ(record.count, 0);
  EXPECT_EQ(record.bytes, 0);
  heap.enableStatistics(false);
  heap.free(before);
}

TEST(PlainMemoryManager, KeepsNoStatisticsAndIgnoresHooks) {
  PlainManager manager;
  manager.enableStatistics(true);
  manager.setHooks(refusing_hook, release_hook);
  manager.addStatistics(MemoryStatistics{4, 4});
  g_refuse = true;
  void* block = manager.heap()->alloc(32);
  g_refuse = false;
  ASSERT_NE(block, nullptr);
  EXPECT_GE(manager.heap()->usableSize(block), 32u);
  EXPECT_EQ(manager.heap()->goodSize(33), 33u);
  manager.heap()->free(block);
  manager.heap()->free(nullptr);
  MemoryStatistics record{1, 1};
  manager.getStatistics(record);
  EXPECT_EQ(record.count, 0);
  EXPECT_EQ(record.bytes, 0);
}

TEST(MemoryManager, ExistsWithItsPoolsAndDeletingNullDoesNothing) {
  IMemoryManager* manager = memory_manager();
  ASSERT_NE(manager, nullptr);
  create_memory_manager();  // a second call changes nothing
  EXPECT_EQ(memory_manager(), manager);
  BufferPool* pools = buffer_pools();
  ASSERT_NE(pools, nullptr);
  EXPECT_EQ(pools[0].blockSize(), 8192u);
  EXPECT_EQ(pools[1].blockSize(), 16384u);
  EXPECT_EQ(pools[2].blockSize(), 32768u);
  int* nothing = nullptr;
  delete nothing;
  delete[] nothing;
  details::free(nullptr);
}

// Run in a child process by the selection test below.
TEST(MemoryManagerProbe, DISABLED_ReportsTheHeapKind) {
  const char* expected = std::getenv("OVN8_EXPECT_HEAP");
  ASSERT_NE(expected, nullptr);
  if (std::string(expected) == "plain") {
    ASSERT_NE(dynamic_cast<PlainManager*>(memory_manager()), nullptr);
  } else {
    ASSERT_NE(dynamic_cast<StatManager*>(memory_manager()), nullptr);
  }
  std::_Exit(kProbePassed);
}

TEST(MemoryManager, EnvironmentChoosesTheHeapAtStartEvenWhenEmpty) {
  const std::string probe = "MemoryManagerProbe.DISABLED_ReportsTheHeapKind";
  const std::string variable = "n8_dont_use_memory_stat";
  EXPECT_EQ(tarn_test::run_test_in_child(probe, {variable}, {"OVN8_EXPECT_HEAP=stat"}), kProbePassed);
  EXPECT_EQ(tarn_test::run_test_in_child(probe, {variable}, {variable + "=", "OVN8_EXPECT_HEAP=plain"}),
            kProbePassed);
  EXPECT_EQ(tarn_test::run_test_in_child(probe, {variable}, {variable + "=1", "OVN8_EXPECT_HEAP=plain"}),
            kProbePassed);
  // The probe really tells the kinds apart.
  EXPECT_NE(tarn_test::run_test_in_child(probe, {variable}, {"OVN8_EXPECT_HEAP=plain"}), kProbePassed);
}

}  // namespace
}  // namespace tarn
