// The worker-thread base: runs at once, on a 4 MiB stack, with a stop flag, and frees itself
// when it is self-releasing.

#include "agent/WorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>

#include "tests/support/TestSupport.h"

namespace brenlow {
namespace {

using test::WaitFor;

class ProbeWorker : public TWorkerThread {
 public:
  using Body = std::function<void(ProbeWorker&)>;

  static std::shared_ptr<ProbeWorker> StartReleasing(Body body, std::atomic<int>* destroyed) {
    std::shared_ptr<ProbeWorker> worker(new ProbeWorker(std::move(body), destroyed));
    StartSelfReleasing(worker);
    return worker;
  }
  static ProbeWorker* StartForever(Body body) {
    auto* worker = new ProbeWorker(std::move(body), nullptr);
    worker->StartUnreleased();
    return worker;
  }
  ~ProbeWorker() override {
    if (destroyed_) ++*destroyed_;
  }

 protected:
  void Execute() override { body_(*this); }

 private:
  ProbeWorker(Body body, std::atomic<int>* destroyed)
      : body_(std::move(body)), destroyed_(destroyed) {}
  Body body_;
  std::atomic<int>* destroyed_;
};

// Bytes reserved for the calling thread's stack: the regions of the one allocation that holds
// this function's frame.
size_t ReservedStack() {
  MEMORY_BASIC_INFORMATION region{};
  VirtualQuery(&region, &region, sizeof(region));
  const void* allocation = region.AllocationBase;
  const char* address = static_cast<const char*>(allocation);
  size_t total = 0;
  while (VirtualQuery(address, &region, sizeof(region)) == sizeof(region) &&
         region.AllocationBase == allocation) {
    total += region.RegionSize;
    address += region.RegionSize;
  }
  return total;
}

TEST(WorkerThread, RunsAtOnceOnAFourMebibyteStackWithAStopFlag) {
  std::atomic<size_t> reserved{0};
  std::atomic<DWORD> threadId{0};
  std::atomic<bool> sawStop{false};
  std::atomic<int> destroyed{0};
  auto worker = ProbeWorker::StartReleasing(
      [&](ProbeWorker& self) {
        reserved = ReservedStack();
        threadId = GetCurrentThreadId();
        while (!self.StopRequested()) Sleep(5);
        sawStop = true;
      },
      &destroyed);
  EXPECT_FALSE(worker->StopRequested());
  ASSERT_TRUE(WaitFor([&] { return reserved.load() != 0; }, 10000)) << "the body never ran";
  EXPECT_GE(reserved.load(), size_t{4} * 1024 * 1024);
  EXPECT_EQ(threadId.load(), worker->ThreadId());
  EXPECT_NE(threadId.load(), GetCurrentThreadId());
  worker->RequestStop();
  EXPECT_TRUE(worker->StopRequested());
  EXPECT_TRUE(WaitFor([&] { return sawStop.load(); }, 10000));
}

// The thread's own reference keeps the worker alive while its body runs and frees it after,
// also when the body throws; observers hold it only weakly.
TEST(WorkerThread, SelfReleasingWorkerIsFreedWhenItsBodyEnds) {
  std::atomic<int> destroyed{0};
  std::atomic<bool> release{false};
  std::weak_ptr<ProbeWorker> calm = ProbeWorker::StartReleasing(
      [&](ProbeWorker&) {
        while (!release) Sleep(5);
      },
      &destroyed);
  std::weak_ptr<ProbeWorker> throwing = ProbeWorker::StartReleasing(
      [&](ProbeWorker&) {
        while (!release) Sleep(5);
        throw std::runtime_error("body failed");
      },
      &destroyed);
  Sleep(50);
  EXPECT_FALSE(calm.expired());
  EXPECT_FALSE(throwing.expired());
  EXPECT_EQ(destroyed.load(), 0);
  release = true;
  EXPECT_TRUE(WaitFor([&] { return destroyed.load() == 2; }, 10000));
  EXPECT_TRUE(calm.expired());
  EXPECT_TRUE(throwing.expired());
}

TEST(WorkerThread, UnreleasedWorkerRunsWithoutAnOwner) {
  std::atomic<int> runs{0};
  ProbeWorker::StartForever([&](ProbeWorker&) { ++runs; });
  EXPECT_TRUE(WaitFor([&] { return runs.load() == 1; }, 10000));
}

}  // namespace
}  // namespace brenlow
