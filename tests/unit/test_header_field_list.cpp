#include "StringList.h"
#include "qvHeaderFieldList.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> LinesOf(const TStrings& AList) {
  std::vector<std::string> v;
  for (int i = 0; i < AList.Count(); ++i) v.push_back(AList.Strings(i));
  return v;
}

struct THeader {
  TStringList Lines;
  TqvHeaderFieldList List;
  explicit THeader(const std::string& AText, int AWidth = 0) {
    Lines.SetText(AText);
    List.SetCharsPerLine(AWidth);
    List.Parse(0, &Lines);
  }
};

}  // namespace

TEST(HeaderFieldListParse, IndexAndHeaderEnd) {
  THeader h("Received: first\r\n\tcont\r\nReceived: second\r\nno colon line\r\nX-A: 1\r\n\r\nBody: no\r\n");
  EXPECT_EQ(h.List.HeaderEnd(), 5);
  EXPECT_EQ(h.List.FieldCount(), 3);
  EXPECT_EQ(h.List.GetFieldIndex("RECEIVED"), 0);
  EXPECT_EQ(h.List.GetFieldLastLine(0), 1);
  EXPECT_EQ(h.List.GetFieldIndex("body"), -1);
  EXPECT_EQ(h.List.GetFieldName(0), "Received");
  EXPECT_EQ(h.List.GetFieldValue("x-a"), "1");
  THeader empty("\r\nA: b\r\n");
  EXPECT_EQ(empty.List.HeaderEnd(), 0);
  EXPECT_EQ(empty.List.FieldCount(), 0);
  THeader mid("Top: 1\r\n\r\nPart: 2\r\nMore: 3\r\n");
  EXPECT_EQ(mid.List.Parse(2, &mid.Lines), 4);
  EXPECT_EQ(mid.List.GetFieldValue("part"), "2");
  EXPECT_EQ(mid.List.GetFieldLastLine(1), 3);
}

TEST(HeaderFieldListRead, ForeignTabFoldsKeepTheirWhitespace) {
  // Other software folds between words; reading must not join them.
  THeader h("Subject: a\r\n\tb\r\nReceived: from x (y)\r\n\tby z; Mon\r\nX: c\r\n d\r\n", 76);
  EXPECT_EQ(h.List.GetFieldValue("subject"), "a\tb");
  EXPECT_EQ(h.List.GetFieldValue("received"), "from x (y)\tby z; Mon");
  EXPECT_EQ(h.List.GetFieldValue("x"), "c d");
  THeader unfolded("Subject: a\r\n\tb\r\n", 0);
  EXPECT_EQ(unfolded.List.GetFieldValue("subject"), "a\tb");
}

TEST(HeaderFieldListFold, FoldsOnlyBetweenTokensAndReadsBackWhole) {
  THeader h("", 76);
  h.List.Parse(0, &h.Lines);
  // A token longer than the line stays whole on its line.
  const std::string v100(100 - 3, 'x');  // "X: " + 97 = 100 characters
  h.List.AddField("X", v100);
  ASSERT_EQ(h.Lines.Count(), 1);
  EXPECT_EQ(h.List.GetFieldValue("x"), v100);

  // Message IDs are never cut; each fold starts with the blank it was cut at.
  std::string refs;
  for (int i = 0; i < 10; ++i) refs += (i ? " " : "") + std::string("<ref") + std::to_string(i) + "-0123456789abcdef@example.test>";
  h.List.AddField("References", refs);
  ASSERT_GT(h.Lines.Count(), 3);
  std::string joined;
  for (int i = 1; i < h.Lines.Count(); ++i) {
    const std::string line = h.Lines.Strings(i);
    EXPECT_LE(line.size(), 76u) << line;
    if (i > 1) EXPECT_EQ(line.substr(0, 2), " <") << line;
    EXPECT_EQ(line.back(), '>') << line;
    joined += line;
  }
  EXPECT_EQ(joined, "References: " + refs);
  EXPECT_EQ(h.List.GetFieldValue("references"), refs);

  // A long first token, then short ones; TABs are cut points too; the name
  // is never left alone; trailing blanks are not a cut point.
  EXPECT_EQ(TqvHeaderFieldList::FoldAtWhitespace("X: " + std::string(20, 'a') + " bbbbbbbbb\tc", 10),
            (std::vector<std::string>{"X: " + std::string(20, 'a'), " bbbbbbbbb", "\tc"}));
  EXPECT_EQ(TqvHeaderFieldList::FoldAtWhitespace("Subject: " + std::string(20, 'a') + "   ", 10),
            (std::vector<std::string>{"Subject: " + std::string(20, 'a') + "   "}));
  EXPECT_EQ(TqvHeaderFieldList::FoldAtWhitespace("A: b c d e", 6), (std::vector<std::string>{"A: b c", " d e"}));

  // Fixed-width pieces remain for what may be cut anywhere (DKIM's base64).
  const auto pieces = h.List.FoldPieces(std::string(152, 'a'), 76);
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0].size(), 51u);
  EXPECT_EQ(pieces[1].size(), 51u);
  EXPECT_EQ(pieces[2].size(), 50u);
  // A lone special character at the end joins the line before it.
  const auto tail = h.List.FoldPieces(std::string(8, 'a') + ";", 3);
  EXPECT_EQ(tail.back(), "aa;");

  // Lines this list cut at a fixed width in stored messages still read back whole.
  THeader old("X: " + std::string(47, 'x') + "\r\n\t" + std::string(50, 'x') + "\r\n", 76);
  EXPECT_EQ(old.List.GetFieldValue("x"), v100);
}

TEST(HeaderFieldListAdd, FieldsLinesAndEnd) {
  THeader h("From: a@b\r\n\r\nbody\r\n", 76);
  h.List.AddField("Empty", "");
  EXPECT_EQ(h.Lines.Count(), 3);
  h.List.AddEmptyField("Bcc");
  h.List.AddFieldIfMissing("From", "x@y");
  h.List.AddFieldIfMissing("To", "c@d");
  EXPECT_EQ(LinesOf(h.Lines), (std::vector<std::string>{"From: a@b", "Bcc:", "To: c@d", "", "body"}));
  EXPECT_EQ(h.List.InsertLine(99, "Late: 1", false), 4);
  EXPECT_EQ(h.Lines.Strings(3), "Late: 1");
  h.List.RemoveField("bcc");
  EXPECT_EQ(h.List.GetFieldIndex("bcc"), -1);
  EXPECT_EQ(h.List.HeaderEnd(), 3);
  h.List.AddEndOfHeader();
  EXPECT_EQ(h.Lines.Count(), 5);
  THeader noEnd("A: 1\r\n");
  noEnd.List.AddEndOfHeader();
  EXPECT_EQ(LinesOf(noEnd.Lines), (std::vector<std::string>{"A: 1", ""}));
}

TEST(HeaderFieldListAdd, NeverAboveItsOwnHeaderNorLineBreaks) {
  THeader h("Top: 1\r\n\r\nPart: 2\r\n\r\n");
  h.List.Parse(2, &h.Lines);
  h.List.InsertLine(0, "New: 3", false);
  EXPECT_EQ(h.Lines.Strings(2), "New: 3");
  EXPECT_EQ(h.Lines.Strings(0), "Top: 1");
  EXPECT_THROW(h.List.AddField("Subject", "a\r\nBcc: x@y"), EAssertionFailed);
  EXPECT_THROW(h.List.AddField("Subject", "a\nBcc: x@y"), EAssertionFailed);
  EXPECT_THROW(h.List.AddFieldItem("part", "n", "a\rb"), EAssertionFailed);
  TqvHeaderFieldList unbound;
  EXPECT_THROW(unbound.AddField("A", "b"), EAssertionFailed);
}

TEST(HeaderFieldListItems, AddSameLineOrNewLine) {
  THeader h("Content-Type: text/plain\r\n", 76);
  h.List.AddFieldItem("content-type", "charset", "\"us-ascii\"");
  EXPECT_EQ(h.Lines.Strings(0), "Content-Type: text/plain; charset=\"us-ascii\"");
  h.List.AddFieldItem("content-type", "format", true, "flowed");
  EXPECT_EQ(LinesOf(h.Lines),
            (std::vector<std::string>{"Content-Type: text/plain; charset=\"us-ascii\";", "\tformat=flowed"}));
  h.List.Parse(0, &h.Lines);
  h.List.AddEmptyFieldItem(0, "x", false);
  h.List.AddFieldItem(0, "blank", "  ");
  EXPECT_EQ(h.Lines.Strings(1), "\tformat=flowed; x=");
}

TEST(HeaderFieldListItems, LongItemFoldsReadBackExactly) {
  THeader h("Content-Disposition: attachment\r\n", 30);
  const std::string name = "\"" + std::string(60, 'n') + ".txt\"";
  h.List.AddFieldItem("content-disposition", "filename", true, name);
  // One token: whole on its own line.
  ASSERT_EQ(h.Lines.Count(), 2);
  EXPECT_EQ(h.Lines.Strings(1), "\tfilename=" + name);
  h.List.Parse(0, &h.Lines);
  EXPECT_EQ(h.List.GetItem(h.List.GetFieldValue("content-disposition"), "filename"), name.substr(1, name.size() - 2));
  // Blanks inside the value are where it folds.
  const std::string spaced = "\"" + std::string(20, 'n') + " " + std::string(20, 'm') + ".txt\"";
  h.List.AddFieldItem("content-disposition", "title", true, spaced);
  ASSERT_EQ(h.Lines.Count(), 4);
  EXPECT_EQ(h.Lines.Strings(3), " " + std::string(20, 'm') + ".txt\"");
  h.List.Parse(0, &h.Lines);
  EXPECT_EQ(h.List.GetItem(h.List.GetFieldValue("content-disposition"), "title"), spaced.substr(1, spaced.size() - 2));
}

TEST(HeaderFieldListItems, ReadRemoveAndClear) {
  const std::string v = "text/plain; charset=\"iso-8859-1\"; format=flowed";
  THeader h("Content-Type: " + v + "\r\n");
  int pos, len;
  EXPECT_EQ(h.List.GetItemValue(v, "charset", pos, len), "\"iso-8859-1\"");
  EXPECT_EQ(pos, 13);
  EXPECT_EQ(len, 20);
  EXPECT_EQ(h.List.GetItem(v, "CHARSET"), "iso-8859-1");
  EXPECT_EQ(h.List.GetItem("attachment; filename=a.txt", "name"), "a.txt");
  EXPECT_EQ(h.List.GetItem("a; b = 'x;y'", "b"), "x;y");
  EXPECT_EQ(h.List.GetItem(v, "missing"), "");
  EXPECT_EQ(h.List.RemoveItem(v, "format"), "text/plain; charset=\"iso-8859-1\"");
  EXPECT_EQ(h.List.RemoveItem(v, "charset"), "text/plain; format=flowed");
  EXPECT_EQ(h.List.ClearItemValue(v, "charset"), "text/plain; charset=; format=flowed");

  THeader f("Content-Type: text/plain;\r\n\tcharset=x;\r\n\tname=y\r\nX: 1\r\n");
  f.List.RemoveFieldItem("content-type", "name");
  EXPECT_EQ(LinesOf(f.Lines), (std::vector<std::string>{"Content-Type: text/plain;", "\tcharset=x", "X: 1"}));
  f.List.ClearFieldItemValue(0, "charset");
  EXPECT_EQ(f.Lines.Strings(1), "\tcharset=");
  EXPECT_EQ(f.List.GetFieldIndex("x"), 1);
}
