// The entry of txscreen.dll under the real loader: the TLS slot, each thread's block, a refused
// load when no index is free, and the index given back at unload.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "built_library.h"
#include "import_patch_win.h"
#include "txscreen.h"

namespace {

using testing_support::BuiltLibraryPath;

constexpr SIZE_T kBlockSize = 256;

// TLS indexes are handed out lowest first, so the index free just before the load is the one the
// library takes.
DWORD NextFreeTlsIndex() {
  DWORD index = TlsAlloc();
  TlsFree(index);
  return index;
}

bool IsZeroFilledBlock(void* block) {
  if (block == nullptr || LocalSize(block) != kBlockSize) return false;
  const auto* bytes = static_cast<const unsigned char*>(block);
  for (SIZE_T i = 0; i < kBlockSize; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

// Records what the library frees, by calling thread.
struct FreeLog {
  std::mutex mutex;
  std::vector<std::pair<DWORD, void*>> frees;
  void* real = nullptr;
};
FreeLog g_free_log;

HLOCAL WINAPI RecordLocalFree(HLOCAL memory) {
  {
    std::lock_guard<std::mutex> lock(g_free_log.mutex);
    g_free_log.frees.emplace_back(GetCurrentThreadId(), memory);
  }
  return reinterpret_cast<HLOCAL(WINAPI*)(HLOCAL)>(g_free_log.real)(memory);
}

void WatchFrees(HMODULE library) {
  std::lock_guard<std::mutex> lock(g_free_log.mutex);
  g_free_log.frees.clear();
  g_free_log.real = txhost::PatchImport(library, "KERNEL32.dll", "LocalFree",
                                        reinterpret_cast<void*>(&RecordLocalFree));
  ASSERT_NE(g_free_log.real, nullptr);
}

std::vector<void*> FreesBy(DWORD thread) {
  std::lock_guard<std::mutex> lock(g_free_log.mutex);
  std::vector<void*> blocks;
  for (const auto& entry : g_free_log.frees) {
    if (entry.first == thread) blocks.push_back(entry.second);
  }
  return blocks;
}

struct ThreadProbe {
  DWORD slot = 0;
  HANDLE running = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE may_look = nullptr;  // null: look at once
  void* block = nullptr;
  bool zero_filled = false;
  DWORD id = 0;

  ~ThreadProbe() {
    CloseHandle(running);
    if (may_look != nullptr) CloseHandle(may_look);
  }
};

// A thread's attach notifications have all run once its start routine runs.
DWORD WINAPI LookAtSlot(void* argument) {
  auto* probe = static_cast<ThreadProbe*>(argument);
  probe->id = GetCurrentThreadId();
  SetEvent(probe->running);
  if (probe->may_look != nullptr) WaitForSingleObject(probe->may_look, INFINITE);
  probe->block = TlsGetValue(probe->slot);
  probe->zero_filled = IsZeroFilledBlock(probe->block);
  return 0;
}

void Join(HANDLE thread) {
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

TEST(LibraryEntryWinTest, LoadingThreadGetsAZeroFilledBlockAndTheIndexComesBackAtUnload) {
  DWORD slot = NextFreeTlsIndex();
  HMODULE library = LoadLibraryA(BuiltLibraryPath("txscreen").c_str());
  ASSERT_NE(library, nullptr);
  void* block = TlsGetValue(slot);
  EXPECT_TRUE(IsZeroFilledBlock(block));
  WatchFrees(library);
  ASSERT_TRUE(FreeLibrary(library));
  EXPECT_EQ(FreesBy(GetCurrentThreadId()), std::vector<void*>{block});
  EXPECT_EQ(NextFreeTlsIndex(), slot) << "the unload gives the index back";
}

TEST(LibraryEntryWinTest, ThreadStartedAfterTheLoadGetsItsOwnBlockAndFreesItAtExit) {
  DWORD slot = NextFreeTlsIndex();
  HMODULE library = LoadLibraryA(BuiltLibraryPath("txscreen").c_str());
  ASSERT_NE(library, nullptr);
  WatchFrees(library);
  ThreadProbe probe;
  probe.slot = slot;
  HANDLE thread = CreateThread(nullptr, 0, LookAtSlot, &probe, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  Join(thread);
  EXPECT_TRUE(probe.zero_filled) << "a zero-filled 256-byte block in the slot";
  EXPECT_NE(probe.block, TlsGetValue(slot)) << "not the loading thread's block";
  EXPECT_EQ(FreesBy(probe.id), std::vector<void*>{probe.block});
  FreeLibrary(library);
}

TEST(LibraryEntryWinTest, ThreadStartedBeforeTheLoadHasNoBlockAndFreesNothing) {
  ThreadProbe probe;
  probe.slot = NextFreeTlsIndex();
  probe.may_look = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, LookAtSlot, &probe, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(probe.running, INFINITE);
  HMODULE library = LoadLibraryA(BuiltLibraryPath("txscreen").c_str());
  ASSERT_NE(library, nullptr);
  WatchFrees(library);
  SetEvent(probe.may_look);
  Join(thread);
  EXPECT_EQ(probe.block, nullptr);
  EXPECT_TRUE(FreesBy(probe.id).empty());
  FreeLibrary(library);
}

struct Worker {
  HANDLE may_call = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE has_called = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE may_exit = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SharpIncreaseFn rule = nullptr;
  long answers = 0;
  ~Worker() {
    for (HANDLE event : {may_call, has_called, may_exit}) CloseHandle(event);
  }
};

DWORD WINAPI CallThenWait(void* argument) {
  auto* worker = static_cast<Worker*>(argument);
  WaitForSingleObject(worker->may_call, INFINITE);
  for (int i = 0; i < 1000; ++i) worker->answers += worker->rule(900, 500, 400);
  SetEvent(worker->has_called);
  WaitForSingleObject(worker->may_exit, INFINITE);  // alive, but done with the library
  return 0;
}

TEST(LibraryEntryWinTest, UnloadsWhileThreadsThatCalledItAreStillAlive) {
  DWORD slot = NextFreeTlsIndex();
  Worker before, after;
  HANDLE early = CreateThread(nullptr, 0, CallThenWait, &before, 0, nullptr);
  HMODULE library = LoadLibraryA(BuiltLibraryPath("txscreen").c_str());
  ASSERT_NE(library, nullptr);
  auto rule = reinterpret_cast<SharpIncreaseFn>(
      reinterpret_cast<void*>(GetProcAddress(library, "SHARPINCREASE")));
  before.rule = after.rule = rule;
  HANDLE late = CreateThread(nullptr, 0, CallThenWait, &after, 0, nullptr);
  for (Worker* worker : {&before, &after}) {
    SetEvent(worker->may_call);
    WaitForSingleObject(worker->has_called, INFINITE);
  }
  ASSERT_TRUE(FreeLibrary(library));
  EXPECT_EQ(NextFreeTlsIndex(), slot) << "the index comes back with workers still alive";
  for (Worker* worker : {&before, &after}) SetEvent(worker->may_exit);
  Join(early);
  Join(late);
  EXPECT_EQ(before.answers, 1000);
  EXPECT_EQ(after.answers, 1000);
}

TEST(LibraryEntryWinTest, OnlyTxscreenIsRefusedWhenNoTlsIndexIsFree) {
  std::vector<DWORD> taken;
  for (DWORD index; (index = TlsAlloc()) != TLS_OUT_OF_INDEXES;) taken.push_back(index);
  HMODULE refused = LoadLibraryA(BuiltLibraryPath("txscreen").c_str());
  HMODULE second = LoadLibraryA(BuiltLibraryPath("txscreen2").c_str());
  for (DWORD index : taken) TlsFree(index);
  EXPECT_EQ(refused, nullptr);
  EXPECT_NE(second, nullptr) << "txscreen2 needs no slot and always loads";
  if (second != nullptr) FreeLibrary(second);
  ASSERT_GT(taken.size(), 64u);

  HMODULE library = LoadLibraryA(BuiltLibraryPath("txscreen").c_str());
  EXPECT_NE(library, nullptr) << "loads again once an index is free";
  if (library != nullptr) FreeLibrary(library);
}

class VersionResourceTest : public ::testing::TestWithParam<const char*> {};

INSTANTIATE_TEST_SUITE_P(Libraries, VersionResourceTest,
                         ::testing::Values("txscreen", "txscreen2"));

TEST_P(VersionResourceTest, CarriesTheProjectVersionAndItsFileName) {
  std::string path = BuiltLibraryPath(GetParam());
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> data(size);
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, data.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(TXSCREEN_VERSION_MINOR, TXSCREEN_VERSION_MAJOR));
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
  auto text = [&](const char* key) {
    char* value = nullptr;
    UINT value_length = 0;
    std::string query = std::string("\\StringFileInfo\\040904B0\\") + key;
    if (!VerQueryValueA(data.data(), query.c_str(), reinterpret_cast<void**>(&value),
                        &value_length)) {
      return std::string("<none>");
    }
    return std::string(value);
  };
  EXPECT_EQ(text("OriginalFilename"), std::string(GetParam()) + ".dll");
  EXPECT_EQ(text("FileVersion"), TXSCREEN_VERSION);
  EXPECT_EQ(text("ProductVersion"), TXSCREEN_VERSION);
  EXPECT_NE(text("FileDescription"), "<none>");
}

}  // namespace
