#include "framework/core/postback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// A receiver that records what reaches it.
struct TReceiver {
  std::vector<std::int32_t> Codes;
  std::vector<std::uint64_t> Sequences;
  void OnPosted(const TPostBackRec& rec) {
    Codes.push_back(rec.Code);
    Sequences.push_back(rec.Sequence);
  }
  TPostBackCallback Callback() { return TPostBackCallback::Bind<&TReceiver::OnPosted>(this); }
};

}  // namespace

TEST(PostBack, CallsRunInPostingOrderExactlyOnce) {
  TPostBackQueue queue;
  TReceiver a, b;
  EXPECT_TRUE(queue.Post(1000, 0, a.Callback(), 0, 0));
  EXPECT_TRUE(queue.Post(10001, 0, b.Callback(), PostArgInt(5), 0));
  EXPECT_TRUE(queue.Post(1001, 0, a.Callback(), 0, 0));
  EXPECT_EQ(queue.Count(), 3u);
  EXPECT_EQ(queue.Pump(), 3u);
  EXPECT_EQ(a.Codes, (std::vector<std::int32_t>{1000, 1001}));
  EXPECT_EQ(b.Codes, (std::vector<std::int32_t>{10001}));
  ASSERT_EQ(a.Sequences.size(), 2u);
  EXPECT_LT(a.Sequences[0], b.Sequences[0]);
  EXPECT_LT(b.Sequences[0], a.Sequences[1]);
  EXPECT_EQ(queue.Pump(), 0u);
  EXPECT_EQ(a.Codes.size(), 2u);
}

TEST(PostBack, CancelRemovesOnlyThatObjectsRecords) {
  TPostBackQueue queue;
  TReceiver mine, other;
  queue.Post(1000, 0, mine.Callback(), 0, 0);
  queue.Post(1000, 0, other.Callback(), 0, 0);
  queue.Post(1001, 0, mine.Callback(), 0, 0);
  queue.Cancel(mine.Callback());
  EXPECT_EQ(queue.Count(), 1u);
  queue.Pump();
  EXPECT_TRUE(mine.Codes.empty());
  EXPECT_EQ(other.Codes, (std::vector<std::int32_t>{1000}));

  queue.Post(1000, 0, mine.Callback(), 0, 0);
  queue.Post(1000, 0, other.Callback(), 0, 0);
  queue.CancelObject(&mine);
  queue.Pump();
  EXPECT_TRUE(mine.Codes.empty());
  EXPECT_EQ(other.Codes.size(), 2u);
}

TEST(PostBack, ClearedRecordsAreNeverCalled) {
  TPostBackQueue queue;
  TReceiver r;
  queue.Post(1, 0, r.Callback(), 0, 0);
  queue.Post(2, 0, r.Callback(), 0, 0);
  queue.Clear();
  EXPECT_EQ(queue.Pump(), 0u);
  EXPECT_TRUE(r.Codes.empty());
  EXPECT_TRUE(queue.Post(3, 0, r.Callback(), 0, 0));
  queue.Pump();
  EXPECT_EQ(r.Codes, (std::vector<std::int32_t>{3}));
}

namespace {
struct TPayload {
  std::string Text;
};
struct TPointerReceiver {
  std::string Seen;
  float Flag = 0;
  void OnPosted(const TPostBackRec& rec) {
    std::unique_ptr<TPayload> payload(PostArgAsPointer<TPayload>(rec.Param3));
    Seen = payload->Text;
    Flag = PostArgAsFloat(rec.Param1);
  }
};
}  // namespace

TEST(PostBack, PointerAndFloatArgumentsSurvive) {
  TPostBackQueue queue;
  TPointerReceiver r;
  auto* payload = new TPayload{"carried across threads"};
  const auto callback = TPostBackCallback::Bind<&TPointerReceiver::OnPosted>(&r);
  queue.Post(10002, PostArgPointer(payload), callback, PostArgFloat(-0.75f), 0);
  std::thread gui([&] { queue.Pump(); });
  gui.join();
  EXPECT_EQ(r.Seen, "carried across threads");
  EXPECT_EQ(r.Flag, -0.75f);
}

TEST(PostBack, NothingIsQueuedAfterShutdown) {
  TPostBackQueue queue;
  TReceiver r;
  queue.Post(1, 0, r.Callback(), 0, 0);
  queue.Shutdown();
  EXPECT_TRUE(queue.ShuttingDown());
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_FALSE(queue.Post(2, 0, r.Callback(), 0, 0));
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_EQ(queue.Pump(), 0u);
  EXPECT_TRUE(r.Codes.empty());
}

TEST(PostBack, UndrainedQueueStaysBounded) {
  TPostBackQueue queue(100);
  TReceiver r;
  for (int i = 0; i < 100000; ++i) queue.Post(10001, 0, r.Callback(), PostArgInt(i % 7), 0);
  EXPECT_EQ(queue.Count(), 7u);  // one record per distinct call
  for (int i = 0; i < 5000; ++i) queue.Post(1000, 0, r.Callback(), PostArgInt(i), 0);
  EXPECT_EQ(queue.Count(), 100u);  // a never-repeating poster hits the limit
  // A repeat of an already queued call still counts as delivered.
  EXPECT_TRUE(queue.Post(10001, 0, r.Callback(), PostArgInt(3), 0));
  queue.Pump();
  EXPECT_EQ(r.Codes.size(), 100u);
  // Once drained, the same call is queued again.
  EXPECT_TRUE(queue.Post(10001, 0, r.Callback(), PostArgInt(3), 0));
  EXPECT_EQ(queue.Count(), 1u);
}

TEST(PostBack, QueueGrowsPastItsReserveKeepingOrder) {
  TPostBackQueue queue;
  TReceiver r;
  queue.Post(-1, 0, r.Callback(), 0, 0);
  queue.Pump();  // moves the ring's head off slot 0 before growing
  for (int i = 0; i < 5000; ++i) queue.Post(i, 0, r.Callback(), 0, 0);
  EXPECT_EQ(queue.Pump(), 5000u);
  ASSERT_EQ(r.Codes.size(), 5001u);
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(r.Codes[i + 1], i);
}

namespace {
// Posts and cancels from inside its own call.
struct TReentrant {
  TPostBackQueue* Queue = nullptr;
  TReceiver* Victim = nullptr;
  int Calls = 0;
  TPostBackCallback Callback() { return TPostBackCallback::Bind<&TReentrant::OnPosted>(this); }
  void OnPosted(const TPostBackRec& rec) {
    ++Calls;
    if (rec.Code == 1) {
      Queue->Post(2, 0, Callback(), 0, 0);
      Queue->Cancel(Victim->Callback());
      Queue->Cancel(Callback());  // its own records: must not wait for itself
      Queue->Post(3, 0, Callback(), 0, 0);
    }
  }
};
}  // namespace

TEST(PostBack, CallThatPostsOrCancelsDoesNotDeadlock) {
  TPostBackQueue queue;
  TReceiver victim;
  TReentrant r{&queue, &victim};
  queue.Post(1, 0, r.Callback(), 0, 0);
  queue.Post(7, 0, victim.Callback(), 0, 0);
  std::thread gui([&] { EXPECT_EQ(queue.Pump(), 1u); });  // calls posted during the pump wait
  gui.join();
  EXPECT_EQ(r.Calls, 1);
  EXPECT_TRUE(victim.Codes.empty());
  EXPECT_EQ(queue.Pump(), 1u);  // code 3 (code 2 was cancelled)
  EXPECT_EQ(r.Calls, 2);
}

namespace {
struct TSlowReceiver {
  std::atomic<bool> Entered{false};
  std::atomic<bool> Finished{false};
  void OnPosted(const TPostBackRec&) {
    Entered = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Finished = true;
  }
};
}  // namespace

TEST(PostBack, CancelWaitsForACallInFlight) {
  TPostBackQueue queue;
  TSlowReceiver r;
  const auto callback = TPostBackCallback::Bind<&TSlowReceiver::OnPosted>(&r);
  queue.Post(1, 0, callback, 0, 0);
  std::thread gui([&] { queue.Pump(); });
  while (!r.Entered) std::this_thread::yield();
  queue.Cancel(callback);
  EXPECT_TRUE(r.Finished);  // the object may be freed now
  gui.join();
}

TEST(PostBack, ConcurrentPostersPumpAndCancelStayConsistent) {
  TPostBackQueue queue;
  struct TCounter {
    std::atomic<int> Calls{0};
    void OnPosted(const TPostBackRec&) { ++Calls; }
  } counters[4];
  std::atomic<bool> stop{false};
  std::vector<std::thread> posters;
  for (int t = 0; t < 3; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < 20000; ++i)
        queue.Post(i % 50, 0, TPostBackCallback::Bind<&TCounter::OnPosted>(&counters[(t + i) % 4]), 0, 0);
    });
  std::thread gui([&] {
    while (!stop) queue.Pump();
  });
  for (int i = 0; i < 200; ++i) queue.Cancel(TPostBackCallback::Bind<&TCounter::OnPosted>(&counters[3]));
  for (auto& p : posters) p.join();
  stop = true;
  gui.join();
  queue.Pump();
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_GT(counters[0].Calls + counters[1].Calls + counters[2].Calls, 0);
}

TEST(PostBack, ProcessWideQueueDrainsThroughThePump) {
  TReceiver r;
  PumpPostBacks();
  EXPECT_TRUE(PostBack(1000, 0, r.Callback(), PostArgFloat(1.0f), 0));
  CancelPostBacks(r.Callback());
  EXPECT_EQ(PumpPostBacks(), 0u);
  PostBack(1001, 0, r.Callback(), 0, 0);
  EXPECT_EQ(PumpPostBacks(), 1u);
  EXPECT_EQ(r.Codes, (std::vector<std::int32_t>{1001}));
  PostBack(1002, 0, r.Callback(), 0, 0);
  CancelPostBacksOf(&r);
  ClearPostBacks();
  EXPECT_EQ(PumpPostBacks(), 0u);
}
