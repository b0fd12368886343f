#include "StringList.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Lines(const TStrings& l) {
  std::vector<std::string> v;
  for (int i = 0; i < l.Count(); ++i) v.push_back(l.Strings(i));
  return v;
}

struct TCounted : TObject {
  explicit TCounted(int& freed) : Freed(freed) {}
  ~TCounted() override { ++Freed; }
  int& Freed;
};

TEST(StringListText, SplitsAtEveryLineBreakKind) {
  struct Case {
    std::string in;
    std::vector<std::string> out;
  };
  const Case cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\r\n\r\n", {"a", ""}},
      {"a\nb", {"a", "b"}},
      {"a\rb\r", {"a", "b"}},
      {"a\r\r\nb", {"a", "", "b"}},
      {"a\n\rb", {"a", "", "b"}},
      {"\n", {""}},
  };
  for (const auto& c : cases) {
    TStringList l;
    l.SetText(c.in);
    EXPECT_EQ(Lines(l), c.out) << "input: " << testing::PrintToString(c.in);
  }
}

TEST(StringListText, JoinsWithLineBreakAfterEachLine) {
  TStringList l;
  l.SetText("x\ny");
  EXPECT_EQ(l.Text(), "x\r\ny\r\n");
  l.SetLineBreak("\n");
  EXPECT_EQ(l.Text(), "x\ny\n");
}

TEST(StringListValues, SetReplacesAddsAndDeletes) {
  TStringList l;
  l.SetText("a=1\nB=2\nplain\nk=v=w");
  EXPECT_EQ(l.Values("b"), "2");
  EXPECT_EQ(l.Values("k"), "v=w");
  EXPECT_EQ(l.Values("plain"), "");
  EXPECT_EQ(l.Names(2), "");
  EXPECT_EQ(l.ValueFromIndex(2), "");
  EXPECT_EQ(l.Names(3), "k");

  l.SetValues("A", "9");  // replaced in place
  EXPECT_EQ(l.Strings(0), "A=9");
  l.SetValues("c", "3");  // appended
  EXPECT_EQ(l.Strings(4), "c=3");
  l.SetValues("b", "");  // deleted
  EXPECT_EQ(Lines(l), (std::vector<std::string>{"A=9", "plain", "k=v=w", "c=3"}));
  l.SetValues("missing", "");
  EXPECT_EQ(l.Count(), 4);

  l.SetCaseSensitive(true);
  EXPECT_EQ(l.IndexOfName("a"), -1);
  EXPECT_EQ(l.IndexOfName("A"), 0);
}

TEST(StringListIndexOf, FoldsAsciiCaseOnlyWhenInsensitive) {
  struct Case {
    bool caseSensitive;
    std::string needle;
    int expected;
  };
  const Case cases[] = {
      {false, "HELLO", 0}, {true, "HELLO", -1}, {true, "Hello", 0},
      {false, "\xE4x", -1},  // bytes above ASCII are not folded
      {false, "\xC4X", 1},   {false, "hell", -1},
  };
  for (bool sorted : {false, true}) {
    for (const auto& c : cases) {
      TStringList l;
      l.SetCaseSensitive(c.caseSensitive);
      l.Add("Hello");
      l.Add("\xC4x");
      l.SetSorted(sorted);  // 'H' sorts before 0xC4, so the order stays
      EXPECT_EQ(l.IndexOf(c.needle), c.expected) << c.needle << " sorted=" << sorted;
    }
  }
}

TEST(StringListIndex, OutOfBoundsNamesTheIndex) {
  TStringList l;
  l.Add("a");
  try {
    (void)l.Strings(3);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (3)");
  }
  EXPECT_THROW(l.Delete(-1), EListError);
  EXPECT_THROW(l.Insert(2, "x"), EListError);
  EXPECT_NO_THROW(l.Insert(1, "x"));
}

TEST(StringListSorted, DuplicatesFollowThePolicy) {
  const std::vector<std::string> input = {"b", "a", "B", "c"};
  {
    TStringList l;
    l.SetSorted(true);
    std::vector<int> at;
    for (const auto& s : input) at.push_back(l.Add(s));
    EXPECT_EQ(Lines(l), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(at[2], 1);  // the existing "b"
  }
  {
    TStringList l;
    l.SetSorted(true);
    l.SetDuplicates(dupAccept);
    for (const auto& s : input) l.Add(s);
    EXPECT_EQ(Lines(l), (std::vector<std::string>{"a", "b", "B", "c"}));
  }
  {
    TStringList l;
    l.SetSorted(true);
    l.SetDuplicates(dupError);
    l.Add("b");
    EXPECT_THROW(l.Add("B"), EListError);
    EXPECT_EQ(l.Count(), 1);
    EXPECT_THROW(l.Insert(0, "a"), EListError);
    EXPECT_THROW(l.SetStrings(0, "z"), EListError);
  }
}

TEST(StringListSorted, FindGivesInsertionPointAndSortingIsStable) {
  TStringList l;
  l.SetText("d\nb\nf");
  l.SetSorted(true);
  int index = -1;
  EXPECT_FALSE(l.Find("c", index));
  EXPECT_EQ(index, 1);
  EXPECT_TRUE(l.Find("F", index));
  EXPECT_EQ(index, 2);

  TStringList u;
  u.SetText("ccc\na\nbb\nxx\ny");
  u.CustomSort([](const TStringList& list, int i, int j) {
    return static_cast<int>(list.Strings(i).size()) - static_cast<int>(list.Strings(j).size());
  });
  EXPECT_EQ(Lines(u), (std::vector<std::string>{"a", "y", "bb", "xx", "ccc"}));
}

TEST(StringListChange, FiresOncePerChangeOrPerOuterUpdate) {
  TStringList l;
  int changes = 0, changing = 0;
  l.OnChange = [&](TObject*) { ++changes; };
  l.OnChanging = [&](TObject*) { ++changing; };
  l.Add("a");
  EXPECT_EQ(changes, 1);
  l.BeginUpdate();
  l.Add("b");
  l.BeginUpdate();
  l.Delete(0);
  l.EndUpdate();
  EXPECT_EQ(changes, 1);
  l.EndUpdate();
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(changing, 2);
  l.BeginUpdate();
  l.EndUpdate();
  EXPECT_EQ(changes, 2);
  l.SetText("x\ny\nz");
  EXPECT_EQ(changes, 3);
  l.Clear();
  l.Clear();  // already empty: no change
  EXPECT_EQ(changes, 4);
  EXPECT_EQ(changing, 4);
}

TEST(StringListObjects, OwnerFreesAndBorrowerDoesNot) {
  int freed = 0;
  {
    TStringList owner(true);
    owner.SetSorted(true);
    owner.AddObject("a", std::make_unique<TCounted>(freed));
    owner.AddObject("b", std::make_unique<TCounted>(freed));
    TObject* keep = owner.Objects(1);
    owner.AddObject("B", std::make_unique<TCounted>(freed));  // ignored duplicate
    EXPECT_EQ(freed, 1);
    EXPECT_EQ(owner.Objects(1), keep);

    TStringList copy(true);
    copy.Assign(owner);  // an owner must not adopt another owner's objects
    EXPECT_EQ(copy.Objects(0), nullptr);

    owner.Delete(0);
    EXPECT_EQ(freed, 2);
  }
  EXPECT_EQ(freed, 3);

  TCounted borrowed(freed);
  {
    TStringList l;
    l.AddObject("x", &borrowed);
    EXPECT_EQ(l.IndexOfObject(&borrowed), 0);
    EXPECT_THROW(l.AddObject("y", std::make_unique<TCounted>(freed)), EInvalidOperation);
    EXPECT_EQ(freed, 4);  // the refused object did not leak
  }
  EXPECT_EQ(freed, 4);
}

TEST(StringListAssign, CopiesAndComparesContents) {
  TStringList a, b;
  a.SetText("one\ntwo");
  b.Add("old");
  b.Assign(a);
  EXPECT_TRUE(b.Equals(a));
  b.AddStrings(b);
  EXPECT_EQ(Lines(b), (std::vector<std::string>{"one", "two", "one", "two"}));
  b.Exchange(0, 1);
  EXPECT_EQ(b.Strings(0), "two");
  EXPECT_FALSE(b.Equals(a));
}

}  // namespace

// --- lines as spans of one block

TEST(BlockStringList, SplitsAnAdoptedBlockAsSetTextDoes) {
  for (const std::string in : {"", "a", "a\r\nb\r\n", "a\r\n\r\n", "a\nb", "a\rb\r", "a\r\r\nb", "a\n\rb", "\n",
                               "\r\n\r\n.", "x\r"}) {
    TStringList expected;
    expected.SetText(in);
    TBlockStringList l;
    l.AssignText(in);
    EXPECT_EQ(Lines(l), Lines(expected)) << testing::PrintToString(in);
    EXPECT_EQ(l.Text(), expected.Text()) << testing::PrintToString(in);
  }
  // Long text whose lines end every way, lone CRs far from any LF included.
  uint32_t seed = 5;
  auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
  for (int round = 0; round < 30; ++round) {
    std::string in;
    while (in.size() < 5000) {
      in += std::string(next() % 200, 'x');
      const uint32_t pick = round % 2 ? 1 : next() % 4;
      in += pick == 0 ? "\r\n" : pick == 1 ? "\r" : pick == 2 ? "\n" : "\n\r";
    }
    TStringList expected;
    expected.SetText(in);
    TBlockStringList l;
    l.AssignText(in);
    ASSERT_EQ(Lines(l), Lines(expected)) << round;
  }
}

TEST(BlockStringList, EditsGiveWhatAPlainListGives) {
  // The same edits on both lists, on an adopted block and on one built line
  // by line, past the free slots at the top.
  for (const bool adopted : {true, false}) {
    TStringList plain;
    TBlockStringList block;
    if (adopted) {
      plain.SetText("one\r\ntwo\r\nthree\r\n");
      block.AssignText("one\r\ntwo\r\nthree\r\n");
    } else {
      for (const char* s : {"one", "two", "three"}) {
        plain.Add(s);
        block.Add(s);
      }
    }
    auto both = [&](auto&& edit) {
      edit(static_cast<TStrings&>(plain));
      edit(static_cast<TStrings&>(block));
      ASSERT_EQ(Lines(block), Lines(plain));
    };
    for (int i = 0; i < 10; ++i) both([i](TStrings& l) { l.Insert(0, "top" + std::to_string(i)); });
    both([](TStrings& l) { l.Insert(5, "middle"); });
    both([](TStrings& l) { l.Add("end"); });
    both([](TStrings& l) { l.Delete(0); });
    both([](TStrings& l) { l.Delete(l.Count() - 1); });
    both([](TStrings& l) { l.Delete(3); });
    both([](TStrings& l) { l.SetStrings(1, "put"); });
    both([](TStrings& l) { l.Insert(0, ""); });
    both([](TStrings& l) { l.Exchange(0, 2); });
    EXPECT_THROW(block.Insert(block.Count() + 1, "x"), EListError);
    EXPECT_THROW(block.Delete(block.Count()), EListError);
    EXPECT_THROW((void)block.View(-1), EListError);
    both([](TStrings& l) { l.Clear(); });
    EXPECT_EQ(block.BlockSize(), 0u);
    both([](TStrings& l) { l.Add("again"); });
  }
}

TEST(BlockStringList, CutFrontShortensOneLineOnly) {
  TBlockStringList l;
  l.AssignText("..a\r\n.\r\nb\r\n");
  l.CutFront(0, 1);
  l.CutFront(1, 5);  // no more than the line has
  EXPECT_EQ(Lines(l), (std::vector<std::string>{".a", "", "b"}));
  int changes = 0;
  l.OnChange = [&](TObject*) { ++changes; };
  l.CutFront(1, 1);
  EXPECT_EQ(changes, 0);  // nothing left to cut
  l.CutFront(0, 1);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(l.View(0), "a");
}

TEST(ByteBlock, KeepsItsBytesThroughGrowthAndEdits) {
  TByteBlock b;
  std::string expected;
  // Past the jump to a mapped block and through two of its regrowths.
  const std::string piece(300 * 1024, 'p');
  for (int i = 0; i < 250; ++i) {
    const std::string mark = std::to_string(i);
    b.Append(mark);
    b.Append(piece);
    expected += mark + piece;
  }
  ASSERT_EQ(b.Size(), expected.size());
  EXPECT_TRUE(b.View() == expected);
  b.Prepend("head");
  b.EraseFront(2);
  b.Resize(10);
  EXPECT_EQ(b.View(), "ad0" + std::string(7, 'p'));
  b.EraseFront(100);  // no more than it holds
  EXPECT_EQ(b.Size(), 0u);
  TByteBlock moved = std::move(b);
  moved.Append("x");
  EXPECT_EQ(moved.View(), "x");
  EXPECT_EQ(b.Size(), 0u);
  b.Append("still usable");
  EXPECT_EQ(b.View(), "still usable");
}
