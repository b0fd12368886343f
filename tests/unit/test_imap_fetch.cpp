// FETCH items: the item-list parser, ENVELOPE, BODYSTRUCTURE and the
// BODY[section]<partial> writer, checked byte for byte on small messages, with
// every literal's count checked against the bytes that follow it.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "Streams.h"
#include "StringList.h"
#include "qvImapFetch.h"

namespace {

const std::vector<std::string> kMessageM = {
    "From: \"Alice Example\" <alice@example.com>",
    "To: bob@example.org, \"Carol C\" <carol@example.net>",
    "Subject: Hello",
    "Date: Mon, 2 Mar 2026 10:00:00 +0100",
    "Message-ID: <abc123@example.com>",
    "MIME-Version: 1.0",
    "Content-Type: multipart/mixed; boundary=\"XYZ\"",
    "",
    "preamble",
    "--XYZ",
    "Content-Type: text/plain; charset=us-ascii",
    "",
    "Hi Bob,",
    "second line.",
    "--XYZ",
    "Content-Type: application/pdf; name=\"a.pdf\"",
    "Content-Transfer-Encoding: base64",
    "Content-Disposition: attachment; filename=\"a.pdf\"",
    "",
    "JVBERi0xLjQK",
    "--XYZ--",
};

// Outer multipart/mixed holding a multipart/alternative and a part without
// any Content-Type.
const std::vector<std::string> kNested = {
    "From: a@example.com",
    "Subject: nested",
    "MIME-Version: 1.0",
    "Content-Type: multipart/mixed; boundary=\"OUT\"",
    "",
    "--OUT",
    "Content-Type: multipart/alternative; boundary=\"IN\"",
    "",
    "--IN",
    "Content-Type: text/plain",
    "",
    "plain text",
    "--IN",
    "Content-Type: text/html; charset=utf-8",
    "",
    "<p>html</p>",
    "--IN--",
    "",
    "--OUT",
    "",
    "no type here",
    "--OUT--",
};

// A forward: a note, then the forwarded message (itself multipart) as a
// message/rfc822 part, which holds a forwarded message without MIME fields.
const std::vector<std::string> kForward = {
    "From: ann@example.com",
    "Subject: Fwd: Lunch",
    "MIME-Version: 1.0",
    "Content-Type: multipart/mixed; boundary=\"F1\"",
    "",
    "--F1",
    "Content-Type: text/plain; charset=us-ascii",
    "",
    "See below.",
    "--F1",
    "Content-Type: message/rfc822",
    "",
    "From: \"Carol\" <carol@example.com>",
    "Subject: Lunch",
    "MIME-Version: 1.0",
    "Content-Type: multipart/mixed; boundary=\"F2\"",
    "",
    "--F2",
    "Content-Type: text/plain",
    "",
    "At noon?",
    "--F2",
    "Content-Type: message/rfc822",
    "",
    "From: dan@example.com",
    "Subject: Menu",
    "",
    "Soup.",
    "--F2--",
    "--F1--",
};

const std::vector<std::string> kPlain = {"From: alice@example.com", "Subject: plain", "", "Hi Bob,", "second line."};

std::unique_ptr<TStringList> Lines(const std::vector<std::string>& AText) {
  auto list = std::make_unique<TStringList>();
  for (const auto& s : AText) list->Add(s);
  return list;
}

std::string Body(const std::vector<std::string>& AText, const std::string& ASection, const std::string& APartial = "") {
  TStringStream out;
  TqvImap4FetchBody::GetBody(*Lines(AText), "BODY[" + ASection + "]", out, ASection, APartial);
  return out.DataString();
}

std::string Structure(const std::vector<std::string>& AText) {
  TStringStream out;
  TqvImap4FetchBodyStructure::GetBodyStructure(*Lines(AText), out);
  return out.DataString();
}

std::string Envelope(const std::vector<std::string>& AText) {
  TStringStream out;
  TqvImap4FetchEnvelope::GetEnvelope(*Lines(AText), out);
  return out.DataString();
}

// Every "{n}" CRLF must be followed by exactly n bytes before the next token.
void ExpectLiteralsHold(const std::string& AText, size_t ALiteralEnd) {
  const size_t open = AText.find('{');
  ASSERT_NE(open, std::string::npos) << AText;
  const size_t close = AText.find("}\r\n", open);
  ASSERT_NE(close, std::string::npos);
  const size_t n = std::stoul(AText.substr(open + 1, close - open - 1));
  EXPECT_EQ(close + 3 + n, ALiteralEnd) << AText;
}

std::vector<std::string> Names(const std::string& AText) {
  TqvImap4FetchList list;
  list.Parse(AText);
  std::vector<std::string> out;
  for (int i = 0; i < list.GetCount(); ++i) {
    const auto& item = list.GetItem(i);
    out.push_back(item.Name + (item.Section.empty() ? "" : "[" + item.Section + "]") +
                  (item.Partial.empty() ? "" : "<" + item.Partial + ">"));
  }
  return out;
}

}  // namespace

TEST(ImapFetchList, ParsesItemsMacrosAndBodyForms) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Names("BODY"), V{"BODYSTRUCTURE"});
  EXPECT_EQ(Names("FULL UID"), (V{"UID", "FLAGS", "INTERNALDATE", "RFC822.SIZE", "ENVELOPE", "BODYSTRUCTURE"}));
  EXPECT_EQ(Names("fast"), (V{"FLAGS", "INTERNALDATE", "RFC822.SIZE"}));
  EXPECT_EQ(Names("FLAGS BODY.PEEK[HEADER.FIELDS (FROM TO)]<0.100> UID"),
            (V{"FLAGS", "BODY.PEEK[HEADER.FIELDS (FROM TO)]<0.100>", "UID"}));
  // With or without the outer parentheses.
  EXPECT_EQ(Names("(FLAGS UID)"), (V{"FLAGS", "UID"}));
  EXPECT_EQ(Names("BODY.PEEK[HEADER.FIELDS (SUBJECT)]"), V{"BODY.PEEK[HEADER.FIELDS (SUBJECT)]"});
  // An unterminated bracket leaves the bare BODY.
  EXPECT_EQ(Names("BODY[HEADER"), V{"BODYSTRUCTURE"});

  TqvImap4FetchList list;
  list.Parse("body[]");
  ASSERT_EQ(list.GetCount(), 1);
  EXPECT_EQ(list.GetItem(0).Name, "BODY");
  EXPECT_EQ(list.GetItem(0).Section, "");
  EXPECT_TRUE(list.SectionsValid());
}

TEST(ImapFetchList, UnknownSectionWordsAndBadPartialsAreRefused) {
  for (const char* good : {"BODY[]", "BODY[1.2.MIME]", "BODY[TEXT]", "BODY[HEADER.FIELDS.NOT (A B)]", "BODY[2.HEADER]",
                           "BODY.PEEK[]<0.10>", "BODY[header.fields (subject)]"}) {
    TqvImap4FetchList list;
    list.Parse(good);
    EXPECT_TRUE(list.SectionsValid()) << good;
  }
  for (const char* bad : {"BODY[FOO]", "BODY[0]", "BODY[MIME]", "BODY[1.FOO]", "BODY[HEADER.FIELDS]",
                          "BODY[HEADER.FIELDS ()]", "BODY[TEXT.1]", "BODY[]<5>", "BODY[]<x.1>", "BODY[]<0.0>"}) {
    TqvImap4FetchList list;
    list.Parse(bad);
    EXPECT_FALSE(list.SectionsValid()) << bad;
  }
  EXPECT_EQ(Body(kMessageM, "FOO"), "BODY[FOO] NIL");
}

TEST(ImapFetchEnvelope, SampleMessagesAndQuoting) {
  EXPECT_EQ(Envelope(kMessageM),
            "ENVELOPE (\"Mon, 2 Mar 2026 10:00:00 +0100\" \"Hello\" (({13}\r\nAlice Example NIL \"alice\" "
            "\"example.com\")) (({13}\r\nAlice Example NIL \"alice\" \"example.com\")) NIL ((NIL NIL \"bob\" "
            "\"example.org\")({7}\r\nCarol C NIL \"carol\" \"example.net\")) NIL NIL NIL \"<abc123@example.com>\")");
  EXPECT_EQ(Envelope(kPlain), "ENVELOPE (NIL \"plain\" ((NIL NIL \"alice\" \"example.com\")) ((NIL NIL \"alice\" "
                              "\"example.com\")) NIL NIL NIL NIL NIL NIL)");

  const std::string env = Envelope({"From: \"Doe, John\" <j@x.example>, nohost", "Subject: He said \"hi\" \\o/",
                                    "Reply-To: r@x.example", "Cc: ,", ""});
  EXPECT_NE(env.find("\"He said \\\"hi\\\" \\\\o/\""), std::string::npos) << env;
  // One address for the quoted comma; an address without "@" is all host.
  EXPECT_NE(env.find("(({9}\r\nDoe, John NIL \"j\" \"x.example\")(NIL NIL NIL \"nohost\"))"), std::string::npos) << env;
  EXPECT_NE(env.find(" ((NIL NIL \"r\" \"x.example\")) NIL NIL NIL NIL NIL)"), std::string::npos) << env;
  // An 8-bit subject travels as a literal.
  EXPECT_NE(Envelope({"Subject: caf\xc3\xa9", ""}).find("{5}\r\ncaf\xc3\xa9"), std::string::npos);
}

TEST(ImapFetchBodyStructure, MultipartNestedAndPlain) {
  EXPECT_EQ(Structure(kMessageM),
            "BODYSTRUCTURE ((\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 23 2 NIL NIL NIL)"
            "(\"application\" \"pdf\" (\"name\" \"a.pdf\") NIL NIL \"base64\" 14 NIL (\"attachment\" (\"filename\" "
            "\"a.pdf\")) NIL) \"mixed\" (\"boundary\" \"XYZ\") NIL NIL)");
  EXPECT_EQ(Structure(kPlain), "BODYSTRUCTURE (\"TEXT\" \"PLAIN\" NIL NIL NIL \"7BIT\" 23 2 NIL NIL NIL)");
  // Charset defaults to us-ascii; a part without a type is text/plain.
  EXPECT_EQ(Structure(kNested),
            "BODYSTRUCTURE (((\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 12 1 NIL NIL NIL)"
            "(\"text\" \"html\" (\"charset\" \"utf-8\") NIL NIL \"7bit\" 13 1 NIL NIL NIL) \"alternative\" "
            "(\"boundary\" \"IN\") NIL NIL)(\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 14 1 NIL "
            "NIL NIL) \"mixed\" (\"boundary\" \"OUT\") NIL NIL)");
  // A MIME message with an empty body still describes one text part.
  EXPECT_EQ(Structure({"MIME-Version: 1.0", "Content-Type: text/plain", "", ""}),
            "BODYSTRUCTURE (\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 0 0 NIL NIL NIL)");
  // A nested multipart of one part still lists it in parentheses.
  const std::string one = Structure({"MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"A\"", "", "--A",
                                     "Content-Type: multipart/alternative; boundary=\"B\"", "", "--B", "", "x",
                                     "--B--", "--A", "", "y", "--A--"});
  EXPECT_NE(one.find("((\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 3 1 NIL NIL NIL) "
                     "\"alternative\""),
            std::string::npos)
      << one;
}

TEST(ImapFetchBodyStructure, ForwardedMessagesCarryEnvelopeStructureAndLines) {
  const std::string s = Structure(kForward);
  EXPECT_EQ(s,
            "BODYSTRUCTURE ((\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 12 1 NIL NIL NIL)"
            "(\"message\" \"rfc822\" NIL NIL NIL \"7bit\" 255 (NIL \"Lunch\" (({5}\r\nCarol NIL \"carol\" "
            "\"example.com\")) (({5}\r\nCarol NIL \"carol\" \"example.com\")) NIL NIL NIL NIL NIL NIL) "
            "((\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 10 1 NIL NIL NIL)"
            "(\"message\" \"rfc822\" NIL NIL NIL \"7bit\" 47 (NIL \"Menu\" ((NIL NIL \"dan\" \"example.com\")) "
            "((NIL NIL \"dan\" \"example.com\")) NIL NIL NIL NIL NIL NIL) (\"TEXT\" \"PLAIN\" NIL NIL NIL \"7BIT\" 7 1 "
            "NIL NIL NIL) 4 NIL NIL NIL) \"mixed\" (\"boundary\" \"F2\") NIL NIL) 17 NIL NIL NIL) \"mixed\" "
            "(\"boundary\" \"F1\") NIL NIL)");

  // A forwarded message with base64 over it cannot be read in place: it is
  // described as an empty message, still in the form clients parse.
  const std::string enc = Structure({"MIME-Version: 1.0", "Content-Type: message/rfc822; name=\"x.eml\"",
                                     "Content-Transfer-Encoding: base64", "Content-Disposition: attachment", "",
                                     "RnJvbTogYUBiDQoNCngNCg=="});
  EXPECT_EQ(enc, "BODYSTRUCTURE (\"message\" \"rfc822\" (\"name\" \"x.eml\") NIL NIL \"base64\" 26 "
                 "(NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL) (\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL "
                 "\"7bit\" 0 0 NIL NIL NIL) 1 NIL (\"attachment\" NIL) NIL)");

  // Forwards inside forwards are described to a fixed depth, then as empty
  // messages: the answer stays bounded and parsable.
  std::vector<std::string> deep;
  for (int i = 0; i < 40; ++i) {
    deep.push_back("Subject: level " + std::to_string(i));
    deep.push_back("Content-Type: message/rfc822");
    deep.push_back("");
  }
  deep.push_back("innermost");
  const std::string d = Structure(deep);
  EXPECT_NE(d.find("\"level 8\""), std::string::npos);
  EXPECT_EQ(d.find("\"level 9\""), std::string::npos);
  EXPECT_NE(d.find("(NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL)"), std::string::npos);
  EXPECT_EQ(std::count(d.begin(), d.end(), '('), std::count(d.begin(), d.end(), ')'));
}

TEST(ImapFetchBody, SectionsInsideForwardedMessages) {
  // The part itself is the whole forwarded message; MIME is the part's header.
  EXPECT_EQ(Body(kForward, "2").substr(0, 15), "BODY[2] {255}\r\n");
  EXPECT_EQ(Body(kForward, "2.MIME"), "BODY[2.MIME] {32}\r\nContent-Type: message/rfc822\r\n\r\n");
  // HEADER and TEXT are the forwarded message's.
  EXPECT_EQ(Body(kForward, "2.HEADER"), "BODY[2.HEADER] {118}\r\nFrom: \"Carol\" <carol@example.com>\r\n"
                                        "Subject: Lunch\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; "
                                        "boundary=\"F2\"\r\n\r\n");
  EXPECT_EQ(Body(kForward, "2.HEADER.FIELDS (SUBJECT)"),
            "BODY[2.HEADER.FIELDS (SUBJECT)] {18}\r\nSubject: Lunch\r\n\r\n");
  EXPECT_EQ(Body(kForward, "2.TEXT").substr(0, 24), "BODY[2.TEXT] {137}\r\n--F2");
  // Numbers pick the forwarded message's parts, down through the next forward.
  EXPECT_EQ(Body(kForward, "2.1"), "BODY[2.1] {10}\r\nAt noon?\r\n");
  EXPECT_EQ(Body(kForward, "2.1.MIME"), "BODY[2.1.MIME] {28}\r\nContent-Type: text/plain\r\n\r\n");
  EXPECT_EQ(Body(kForward, "2.2.HEADER"), "BODY[2.2.HEADER] {40}\r\nFrom: dan@example.com\r\nSubject: Menu\r\n\r\n");
  EXPECT_EQ(Body(kForward, "2.2.TEXT"), "BODY[2.2.TEXT] {7}\r\nSoup.\r\n");
  // A forwarded message that is not multipart has its body as part 1.
  EXPECT_EQ(Body(kForward, "2.2.1"), "BODY[2.2.1] {7}\r\nSoup.\r\n");
  for (const char* section : {"2", "2.MIME", "2.HEADER", "2.TEXT", "2.1", "2.2", "2.2.1", "2.2.HEADER", "2.2.TEXT",
                              "2.2.1.MIME", "2.3", "2.2.2", "1.1"}) {
    const std::string out = Body(kForward, section);
    ExpectLiteralsHold(out, out.size());
  }
}

TEST(ImapFetchBody, SectionsOfTheSampleMessage) {
  const std::string m = Body(kMessageM, "");
  EXPECT_EQ(m.substr(0, 13), "BODY[] {500}\r");
  EXPECT_EQ(m.size(), 14u + 500u);
  EXPECT_EQ(Body(kMessageM, "1"), "BODY[1] {23}\r\nHi Bob,\r\nsecond line.\r\n");
  EXPECT_EQ(Body(kMessageM, "1.MIME"), "BODY[1.MIME] {46}\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n");
  EXPECT_EQ(Body(kMessageM, "2"), "BODY[2] {14}\r\nJVBERi0xLjQK\r\n");
  EXPECT_EQ(Body(kMessageM, "2.MIME").substr(0, 19), "BODY[2.MIME] {133}\r");
  EXPECT_EQ(Body(kMessageM, "HEADER").substr(0, 15), "BODY[HEADER] {2");
  EXPECT_EQ(Body(kMessageM, "HEADER.FIELDS (SUBJECT FROM)"),
            "BODY[HEADER.FIELDS (SUBJECT FROM)] {61}\r\nSubject: Hello\r\nFrom: \"Alice Example\" "
            "<alice@example.com>\r\n\r\n");
  EXPECT_EQ(Body(kMessageM, "HEADER.FIELDS.NOT (MIME-VERSION CONTENT-TYPE)").substr(0, 57),
            "BODY[HEADER.FIELDS.NOT (MIME-VERSION CONTENT-TYPE)] {185}");
  EXPECT_EQ(Body(kMessageM, "HEADER.FIELDS (X-NONE)"), "BODY[HEADER.FIELDS (X-NONE)] NIL");
  // TEXT of a multipart message is everything after the header.
  EXPECT_EQ(Body(kMessageM, "TEXT").substr(0, 17), "BODY[TEXT] {249}\r");
  EXPECT_EQ(Body(kMessageM, "3").substr(0, 14), "BODY[3] {500}\r");

  TStringStream header;
  TqvImap4FetchBody::GetBody(*Lines(kMessageM), "RFC822.HEADER", header, "HEADER");
  EXPECT_EQ(header.DataString().substr(0, 20), "RFC822.HEADER {251}\r");
}

TEST(ImapFetchBody, LiteralCountsEqualTheBytesWritten) {
  for (const auto* text : {&kMessageM, &kNested, &kPlain}) {
    for (const char* section : {"", "1", "2", "3", "1.1", "1.2", "1.MIME", "2.MIME", "1.TEXT", "TEXT", "HEADER",
                                "2.HEADER", "1.2.MIME", "1.1.5"}) {
      const std::string out = Body(*text, section);
      if (out.ends_with(" NIL")) continue;
      ExpectLiteralsHold(out, out.size());
    }
  }
  // The nested multipart as a part: its whole body, boundaries included.
  EXPECT_EQ(Body(kNested, "1"), "BODY[1] {115}\r\n--IN\r\nContent-Type: text/plain\r\n\r\nplain text\r\n--IN\r\n"
                                "Content-Type: text/html; charset=utf-8\r\n\r\n<p>html</p>\r\n--IN--\r\n");
  EXPECT_EQ(Body(kNested, "1.2"), "BODY[1.2] {13}\r\n<p>html</p>\r\n");
}

TEST(ImapFetchBody, PartialFetchSlicesAndEndsEmpty) {
  EXPECT_EQ(Body(kMessageM, "1", "0.2"), "BODY[1]<0> {2}\r\nHi");
  EXPECT_EQ(Body(kMessageM, "1", "3.100"), "BODY[1]<3> {20}\r\nBob,\r\nsecond line.\r\n");
  EXPECT_EQ(Body(kMessageM, "1", "23.10"), "BODY[1]<23> {0}\r\n");
  EXPECT_EQ(Body(kMessageM, "1", "4294967295.10"), "BODY[1]<4294967295> {0}\r\n");
}
