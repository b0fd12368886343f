// Our ENVELOPE and BODYSTRUCTURE answers against a reference IMAP server's,
// recorded by bench/imap_fetch_golden.py for the sample messages under
// tests/data. Both answers are parsed as IMAP data and compared field by
// field; the differences we keep on purpose are listed where they are allowed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Streams.h"
#include "StringList.h"
#include "qvImapFetch.h"
#include "qvTextUtils.h"

namespace {

namespace fs = std::filesystem;
const fs::path kData = fs::path(VX_TEST_DATA_DIR);

struct TNode {
  enum TKind { Nil, Atom, String, List } Kind = Nil;
  std::string Text;
  std::vector<TNode> Items;
  [[nodiscard]] bool IsList() const { return Kind == List; }
  [[nodiscard]] const TNode& operator[](size_t i) const {
    static const TNode kNil;
    return i < Items.size() ? Items[i] : kNil;
  }
};

// A strict reader of IMAP data: NIL, atoms, quoted strings with "\" escapes,
// literals whose count must hold, and parenthesised lists.
class TReader {
 public:
  explicit TReader(std::string AText) : FText(std::move(AText)) {}
  TNode Value() {
    TNode n;
    if (At('(')) {
      ++FPos;
      n.Kind = TNode::List;
      while (!At(')')) {
        if (FPos >= FText.size()) throw std::runtime_error("unterminated list");
        n.Items.push_back(Value());
        if (At(' ')) ++FPos;
      }
      ++FPos;
    } else if (At('"')) {
      n.Kind = TNode::String;
      for (++FPos; !At('"'); ++FPos) {
        if (FPos >= FText.size() || FText[FPos] == '\r' || FText[FPos] == '\n') throw std::runtime_error("bad quoted");
        if (FText[FPos] == '\\') ++FPos;
        n.Text += FText[FPos];
      }
      ++FPos;
    } else if (At('{')) {
      const size_t close = FText.find("}\r\n", FPos);
      if (close == std::string::npos) throw std::runtime_error("bad literal");
      const size_t len = std::stoul(FText.substr(FPos + 1, close - FPos - 1));
      if (close + 3 + len > FText.size()) throw std::runtime_error("literal runs past the end");
      n.Kind = TNode::String;
      n.Text = FText.substr(close + 3, len);
      FPos = close + 3 + len;
    } else {
      const size_t end = FText.find_first_of(" ()", FPos);
      n.Text = FText.substr(FPos, end - FPos);
      FPos = end == std::string::npos ? FText.size() : end;
      if (n.Text.empty()) throw std::runtime_error("empty atom at " + std::to_string(FPos));
      n.Kind = n.Text == "NIL" ? TNode::Nil : TNode::Atom;
    }
    return n;
  }
  [[nodiscard]] bool AtEnd() const { return FPos == FText.size(); }

 private:
  [[nodiscard]] bool At(char c) const { return FPos < FText.size() && FText[FPos] == c; }
  std::string FText;
  size_t FPos = 0;
};

std::string ReadFile(const fs::path& APath) {
  std::ifstream f(APath, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The sample as our store reads it: lines cut at CR LF or LF.
std::unique_ptr<TStringList> SampleLines(const fs::path& APath) {
  auto lines = std::make_unique<TStringList>();
  std::string text = ReadFile(APath);
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines->Add(line);
      line.clear();
    } else {
      line += text[i];
    }
  }
  if (!line.empty()) lines->Add(line);
  return lines;
}

TNode Parse(const std::string& AText, const std::string& APrefix) {
  EXPECT_TRUE(AText.starts_with(APrefix)) << AText;
  TReader r(AText.substr(APrefix.size()));
  TNode n = r.Value();
  EXPECT_TRUE(r.AtEnd()) << "trailing bytes in " << AText;
  return n;
}

bool Same(const TNode& A, const TNode& B) {
  if (A.Kind != B.Kind || A.Text != B.Text || A.Items.size() != B.Items.size()) return false;
  for (size_t i = 0; i < A.Items.size(); ++i)
    if (!Same(A.Items[i], B.Items[i])) return false;
  return true;
}

std::string Show(const TNode& A) {
  if (A.Kind == TNode::Nil) return "NIL";
  if (A.Kind != TNode::List) return "\"" + A.Text + "\"";
  std::string s = "(";
  for (const auto& i : A.Items) s += Show(i) + " ";
  return s + ")";
}

bool SameText(const TNode& A, const TNode& B) { return A.Kind == B.Kind && qvtext::SameText(A.Text, B.Text); }

// A parameter's value from a ("name" "value" ...) list, or NIL.
TNode Param(const TNode& AList, const std::string& AName) {
  for (size_t i = 0; i + 1 < AList.Items.size(); i += 2)
    if (qvtext::SameText(AList[i].Text, AName)) return AList[i + 1];
  return TNode{};
}

void CompareEnvelope(const TNode& ours, const TNode& ref);

// AInside: the part is followed by a boundary, whose leading line break we count
// in the part (the sizes the message parser records); the reference does not.
void CompareBody(const TNode& AOurs, const TNode& ARef, bool AInside, const std::string& AWhere) {
  SCOPED_TRACE(AWhere + " ours " + Show(AOurs) + " ref " + Show(ARef));
  ASSERT_TRUE(AOurs.IsList() && ARef.IsList());
  const bool multi = ARef[0].IsList();
  ASSERT_EQ(AOurs[0].IsList(), multi);
  if (multi) {
    size_t n = 0;
    while (ARef[n].IsList()) ++n;
    ASSERT_TRUE(AOurs[n - 1].IsList() && !AOurs[n].IsList()) << "part count";
    for (size_t i = 0; i < n; ++i) CompareBody(AOurs[i], ARef[i], true, AWhere + "." + std::to_string(i + 1));
    EXPECT_TRUE(SameText(AOurs[n], ARef[n])) << "subtype";
    EXPECT_TRUE(Same(Param(AOurs[n + 1], "boundary"), Param(ARef[n + 1], "boundary")));
    EXPECT_TRUE(Same(Param(AOurs[n + 1], "type"), Param(ARef[n + 1], "type")));
    return;
  }
  if (qvtext::SameText(ARef[0].Text, "message") && qvtext::SameText(ARef[1].Text, "rfc822")) {
    ASSERT_TRUE(SameText(AOurs[0], ARef[0]) && SameText(AOurs[1], ARef[1])) << "type";
    EXPECT_TRUE(Same(AOurs[2], ARef[2])) << "parameters";
    EXPECT_TRUE(SameText(AOurs[5], ARef[5])) << "encoding";
    // Whether the reference counts the line break before the next boundary
    // in a forwarded message depends on that message's own structure; we
    // always do, as for every other part.
    const long extra = AInside ? (std::stol(AOurs[6].Text) - std::stol(ARef[6].Text)) / 2 : 0;
    EXPECT_TRUE(extra == 0 || extra == 1) << "size";
    EXPECT_EQ(std::stol(AOurs[6].Text), std::stol(ARef[6].Text) + 2 * extra) << "size";
    EXPECT_EQ(std::stol(AOurs[9].Text), std::stol(ARef[9].Text) + extra) << "lines";
    CompareEnvelope(AOurs[7], ARef[7]);
    // A forwarded message without MIME fields has the fixed upper-case text form.
    if (AOurs[8][0].Text == "TEXT") {
      EXPECT_EQ(std::stol(AOurs[8][6].Text), std::stol(ARef[8][6].Text) + 2 * extra) << "inner size";
      EXPECT_EQ(std::stol(AOurs[8][7].Text), std::stol(ARef[8][7].Text) + extra) << "inner lines";
    } else {
      CompareBody(AOurs[8], ARef[8], extra == 1, AWhere + ".message");
    }
    EXPECT_TRUE(Same(AOurs[11], ARef[11])) << "disposition";
    return;
  }
  EXPECT_TRUE(SameText(AOurs[0], ARef[0])) << "type";
  EXPECT_TRUE(SameText(AOurs[1], ARef[1])) << "subtype";
  const bool text = qvtext::SameText(ARef[0].Text, "text");
  if (text && AOurs[2].IsList()) {
    EXPECT_TRUE(SameText(Param(AOurs[2], "charset"), Param(ARef[2], "charset")));
  }
  if (ARef[3].Kind != TNode::Nil) {
    EXPECT_TRUE(Same(AOurs[3], ARef[3])) << "content id";
  }
  // The message model reads no "8bit" transfer encoding: such parts answer "7bit".
  if (!(qvtext::SameText(ARef[5].Text, "8bit") && qvtext::SameText(AOurs[5].Text, "7bit"))) {
    EXPECT_TRUE(SameText(AOurs[5], ARef[5])) << "encoding";
  }
  const long extra = AInside ? 1 : 0;
  EXPECT_EQ(std::stol(AOurs[6].Text), std::stol(ARef[6].Text) + 2 * extra) << "size";
  if (text) {
    EXPECT_EQ(std::stol(AOurs[7].Text), std::stol(ARef[7].Text) + extra) << "lines";
  }
}

void CompareAddresses(const TNode& AOurs, const TNode& ARef, const std::string& AField) {
  SCOPED_TRACE(AField + " ours " + Show(AOurs) + " ref " + Show(ARef));
  ASSERT_EQ(AOurs.Kind, ARef.Kind);
  ASSERT_EQ(AOurs.Items.size(), ARef.Items.size());
  for (size_t i = 0; i < ARef.Items.size(); ++i) {
    EXPECT_EQ(AOurs[i][0].Text, ARef[i][0].Text) << "name";
    EXPECT_TRUE(Same(AOurs[i][2], ARef[i][2])) << "mailbox";
    EXPECT_TRUE(Same(AOurs[i][3], ARef[i][3])) << "host";
  }
}

void CompareEnvelope(const TNode& ours, const TNode& ref) {
  ASSERT_EQ(ours.Items.size(), 10u);
  EXPECT_TRUE(Same(ours[0], ref[0])) << "date";
  // An absent subject is the empty string here, NIL there.
  if (!(ref[1].Kind == TNode::Nil && ours[1].Text.empty())) {
    EXPECT_TRUE(Same(ours[1], ref[1])) << "subject";
  }
  CompareAddresses(ours[2], ref[2], "from");
  CompareAddresses(ours[3], ref[3], "sender");
  // Reply-To is not defaulted to From: NIL when the field is absent.
  if (ours[4].Kind != TNode::Nil) {
    CompareAddresses(ours[4], ref[4], "reply-to");
  }
  CompareAddresses(ours[5], ref[5], "to");
  CompareAddresses(ours[6], ref[6], "cc");
  CompareAddresses(ours[7], ref[7], "bcc");
  // In-Reply-To is always NIL.
  EXPECT_EQ(ours[8].Kind, TNode::Nil);
  EXPECT_TRUE(Same(ours[9], ref[9])) << "message-id";
}

std::vector<fs::path> Samples() {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(kData / "imap_fetch" / "golden"))
    if (e.path().extension() == ".envelope") out.push_back(e.path().stem());
  std::sort(out.begin(), out.end());
  return out;
}

fs::path SampleFile(const fs::path& AName) {
  const fs::path own = kData / "imap_fetch" / (AName.string() + ".eml");
  return fs::exists(own) ? own : kData / "mime" / (AName.string() + ".eml");
}

}  // namespace

TEST(ImapFetchGolden, EnvelopesMatchTheReference) {
  const auto samples = Samples();
  ASSERT_GE(samples.size(), 10u);
  for (const auto& name : samples) {
    SCOPED_TRACE(name.string());
    TStringStream out;
    TqvImap4FetchEnvelope::GetEnvelope(*SampleLines(SampleFile(name)), out);
    const TNode ours = Parse(out.DataString(), "ENVELOPE ");
    const TNode ref = Parse(ReadFile(kData / "imap_fetch" / "golden" / (name.string() + ".envelope")), "");
    CompareEnvelope(ours, ref);
  }
}

TEST(ImapFetchGolden, BodyStructuresMatchTheReference) {
  for (const auto& name : Samples()) {
    TStringStream out;
    TqvImap4FetchBodyStructure::GetBodyStructure(*SampleLines(SampleFile(name)), out);
    const TNode ours = Parse(out.DataString(), "BODYSTRUCTURE ");
    const TNode ref = Parse(ReadFile(kData / "imap_fetch" / "golden" / (name.string() + ".bodystructure")), "");
    // A message without MIME fields has the fixed upper-case form without a
    // charset; its sizes still match.
    if (ours[0].Text == "TEXT") {
      EXPECT_EQ(ours[6].Text, ref[6].Text) << name;
      EXPECT_EQ(ours[7].Text, ref[7].Text) << name;
      continue;
    }
    CompareBody(ours, ref, false, name.string());
  }
}
