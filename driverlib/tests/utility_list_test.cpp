// Tests of the intrusive lists: order and navigation through a link that is not at the
// start of the element, removal at both ends and in the middle, and a locked list
// worked on by two system threads at once.
#include <vector>

#include "kernel_fixture.h"
#include "wdm_list.h"
#include "wdm_system_thread.h"

namespace {

class WdmListTest : public sim::kernel::testing::BootedKernel {};

// The link sits behind a payload, as in the library's records.
struct Item {
  ULONG value;
  ULONG pad[3];
  LIST_ENTRY link;
};
const ULONG kLink = FIELD_OFFSET(Item, link);

std::vector<ULONG> Forward(const WdmList& list) {
  std::vector<ULONG> out;
  for (PVOID e = list.Head(); e; e = list.Next(e)) out.push_back(((Item*)e)->value);
  return out;
}

std::vector<ULONG> Backward(const WdmList& list) {
  std::vector<ULONG> out;
  for (PVOID e = list.Tail(); e; e = list.Previous(e)) out.push_back(((Item*)e)->value);
  return out;
}

TEST_F(WdmListTest, InsertsAndWalksThroughTheLinkOffset) {
  Item items[4] = {{0, {}, {}}, {1, {}, {}}, {2, {}, {}}, {3, {}, {}}};
  WdmList list(kLink);
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.Head(), nullptr);
  list.InsertTail(&items[1]);
  list.InsertTail(&items[2]);
  list.InsertHead(&items[0]);
  list.InsertTail(&items[3]);
  EXPECT_EQ(Forward(list), (std::vector<ULONG>{0, 1, 2, 3}));
  EXPECT_EQ(Backward(list), (std::vector<ULONG>{3, 2, 1, 0}));
  EXPECT_EQ(list.Count(), 4u);
  EXPECT_EQ(list.Head(), &items[0]);
}

struct RemoveCase {
  const char* what;
  PVOID (*remove)(WdmList&, Item*);
  ULONG removed;
  std::vector<ULONG> left;
};

TEST_F(WdmListTest, RemovesAtEitherEndOrInTheMiddle) {
  const RemoveCase cases[] = {
      {"head", [](WdmList& l, Item*) { return l.RemoveHead(); }, 0, {1, 2}},
      {"tail", [](WdmList& l, Item*) { return l.RemoveTail(); }, 2, {0, 1}},
      {"middle", [](WdmList& l, Item* i) { l.Remove(&i[1]); return (PVOID)&i[1]; }, 1, {0, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Item items[3] = {{0, {}, {}}, {1, {}, {}}, {2, {}, {}}};
    WdmList list(kLink);
    for (auto& item : items) list.InsertTail(&item);
    PVOID removed = c.remove(list, items);
    EXPECT_EQ(removed, &items[c.removed]);
    EXPECT_EQ(Forward(list), c.left);
    EXPECT_EQ(Backward(list).size(), c.left.size());
    // Removing the same element again leaves the others in place.
    list.Remove(removed);
    EXPECT_EQ(Forward(list), c.left);
  }
}

TEST_F(WdmListTest, RemovingFromAnEmptyListGivesNull) {
  WdmList list(kLink);
  EXPECT_EQ(list.RemoveHead(), nullptr);
  EXPECT_EQ(list.RemoveTail(), nullptr);
  WdmLockedList locked(kLink);
  EXPECT_EQ(locked.RemoveHead(), nullptr);
  EXPECT_TRUE(locked.IsEmpty());
}

// Two system threads each push their own items and pop whatever is at the head; every
// item comes out exactly once and the list ends empty.
struct Hammer {
  WdmLockedList list{kLink};
  Item items[2][2000];
  LONG taken[2][2000];
};

struct HammerArgs {
  Hammer* hammer;
  ULONG side;
};

void Work(PVOID self) {
  auto* args = (HammerArgs*)WdmSystemThread::From(self)->Context;
  Hammer* h = args->hammer;
  for (ULONG i = 0; i < 2000; ++i) {
    Item* item = &h->items[args->side][i];
    if (i % 2) {
      h->list.InsertTail(item);
    } else {
      h->list.InsertHead(item);
    }
    if (i % 3 != 2) {
      auto* got = (Item*)h->list.RemoveHead();
      if (got) InterlockedIncrement(&h->taken[got->pad[0]][got->value]);
    }
  }
}

TEST_F(WdmListTest, LockedListUnderTwoThreads) {
  auto* h = new Hammer();
  for (ULONG side = 0; side < 2; ++side) {
    for (ULONG i = 0; i < 2000; ++i) {
      h->items[side][i].value = i;
      h->items[side][i].pad[0] = side;
    }
  }
  HammerArgs args[2] = {{h, 0}, {h, 1}};
  WdmSystemThread threads[2];
  for (int side = 0; side < 2; ++side) ASSERT_EQ(threads[side].Start(Work, &args[side]), STATUS_SUCCESS);
  for (auto& t : threads) ASSERT_EQ(t.WaitForEnd(), STATUS_SUCCESS);
  while (auto* got = (Item*)h->list.RemoveHead()) h->taken[got->pad[0]][got->value]++;
  EXPECT_TRUE(h->list.IsEmpty());
  for (ULONG side = 0; side < 2; ++side) {
    for (ULONG i = 0; i < 2000; ++i) ASSERT_EQ(h->taken[side][i], 1) << side << "/" << i;
  }
  delete h;
}

}  // namespace
